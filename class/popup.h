// Pop-up lists: small modal windows with a column of items that return the
// index of the chosen one, or -1 when closed without a choice (Esc, the
// close box, a left release outside every item, or the loss of focus).
//
// Item texts carry flags, read in this order: a leading "|" puts a separator
// before the item, then a leading "!" shows the item disabled or a leading
// "#" marks it usable. The flags are not shown.
#pragma once

// A menu of count items, each a picture id (an int) and a text, at the
// screen position x, y; width pixels wide, 20 per item. At most 16 items can
// be chosen.
int popup(int x, int y, int width, int count, ...);
// The same at the mouse pointer.
int popup(int width, int count, ...);

class tobject;

// A list of count texts under a combo field, as wide as the field plus 2,
// 14 per item; x, y are relative to the current window. At most 32 items
// can be chosen.
int wpopup(int x, int y, tobject* field, int count, ...);
// The same just under the field.
int wpopup(tobject* field, int count, ...);

// The forms above with their items in arrays (pictures may be null for
// wpopup_list).
int popup_list(int x, int y, int width, int count, const int* pictures, const char* const* texts);
int wpopup_list(int x, int y, tobject* field, int count, const char* const* texts);

// The screen position of a point of the current window's client area.
void client_to_screen(int* x, int* y);
