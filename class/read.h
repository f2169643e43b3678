// The line editor: tread turns a ttext into a one-line input field. The
// text's buffer is the field's storage and keeps its length: the field is
// made with as many blanks as it may hold, and what was typed is read back
// with text() (trimmed with rep).
//
// Editing is modal: once it starts (a left press in the field, or the
// field's own code posted by read) the editor runs its own loop on raw codes
// until a key or a click outside ends it; then the pump returns the field's
// code and LKEY says what ended the edit.
#pragma once

#include "class/draw.h"

// Texts of the editor's context menu. The editor shows them with their first
// character replaced by the item's flag ("#" usable, "!" greyed out); the
// select-all text starts with "|" for the separator before it.
extern const char* sSD_CUT;
extern const char* sSD_COPY;
extern const char* sSD_PASTE;
extern const char* sSD_DEL;
extern const char* sSD_SELECT;

class tread : public tobject {
 public:
  ttext* TXT;     // the edited text; not owned
  int KEY;        // the field's code
  int STATUS;     // 1 idle, 2 pointer over the field, 3 editing
  int LKEY;       // the code that ended the last edit (KEY_TAB, KEY_ENTER,
                  // KEY_ESC, CMD_PRESS_OUTSIDE ...)
  bool SELECTED;  // a click starts the edit with everything selected
  bool FROM_START;  // a click starts the edit with the caret at 0

  tread(ttext* text, int key);
  ~tread() override;

  // Posts the field's code; the edit starts when the pump hands it to the
  // field. start >= 0 is the caret position, -2 (or less) selects all.
  void read(int start);

  int x() override;
  int y() override;
  int len() override;
  int down() override;
  void show(bool redraw = true) override;
  void hide(bool redraw = true) override;
  void on() override;
  void off() override;
  int message(int code) override;

 private:
  void edit(int start);
};

// Editing helpers. Each keeps the buffer's length.
// Pixel width of the first n characters as shown (asterisks for a password).
int len_str(ttext* text, int n);
// The caret before character n, shown.
void put_cur(ttext* text, int n);
// Moves p .. L-2 one place right (the last character is lost), blank at p.
void insert_char(ttext* text, int p);
// Moves p+1 .. L-1 one place left, blank at L-1.
void delete_char(ttext* text, int p);
// Closes the selection's gap, blanks at the end; SSEL and ESEL stay.
void remove_selection(ttext* text);
void copy_selection_to_clipboard(ttext* text);
// Inserts the clipboard's text at p, as much as there is room for after p,
// the characters the field accepts only (mode as read_string's). Returns how
// many went in.
int insert_string_from_clipboard(ttext* text, int p, int mode = 0);

// The edit loop. mode 0 takes any character, mode 1 the characters of
// numbers, dates and times (digits, blank, "," "-" "." ":"). start: the
// caret index; -1 the character under the pointer; -2 or less everything
// selected. Returns the code that ended the edit, CMD_PRESS_OUTSIDE for a
// press outside the field (the press is handed on to whatever it was meant
// for).
int read_string(ttext* text, int mode, int start);
