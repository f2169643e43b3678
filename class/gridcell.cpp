// One cell of the grid: its lines, pictures and colours, and the value of
// its field, shown the way the field's type asks for.
#include "class/grid.h"

#include <algorithm>
#include <cstdio>

#include "class/query.h"
#include "platform/platform.h"

namespace {

// A cell being painted: rows run from top + 18 to top + 32, the cell from
// left to left + w. Pictures narrow the text area (tx, tw) from either end;
// everything is clipped to the grid's background.
struct cell {
  void* dc;
  tobject* clip;
  tfont* font;
  int left, top, w;
  int tx, tw;
  tcolor* text;
  tcolor* back;
};

void write(cell& c, const char* text, unsigned align) {
  if (c.tw > 0) draw_text(c.dc, c.tx, c.top + 18, c.tw, 14, 1, align, text, c.text, c.back, c.font, c.clip);
}

// ---- a function per field type ------------------------------------------------------

// Numbers are grouped and right-aligned, so that a column of them lines up
// at the units; dates and times have one width and stand centred.
void show_string(cell& c, tdbquery* q, int field, int row) { write(c, q->get_string(field, row), DT_LEFT); }
void show_int(cell& c, tdbquery* q, int field, int row) { write(c, put(q->get_int(field, row), 30, 1), DT_RIGHT); }
void show_double(cell& c, tdbquery* q, int field, int row) {
  write(c, put(q->get_double(field, row), 30, 1), DT_RIGHT);
}
void show_char(cell& c, tdbquery* q, int field, int row) { write(c, put(q->get_char(field, row), 18, 1), DT_RIGHT); }
void show_date(cell& c, tdbquery* q, int field, int row) { write(c, q->get_date(field, row).string(), DT_CENTER); }
void show_time(cell& c, tdbquery* q, int field, int row) { write(c, q->get_time(field, row).string(), DT_CENTER); }

void show_hex(cell& c, tdbquery* q, int field, int row) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%X", (unsigned)q->get_int(field, row));
  write(c, buf, DT_RIGHT);
}

// Two percentages in one integer, the first in the low byte, the second in
// the next. The bar is yellow up to the lower of them and green from the
// second on to the first where the first is further; past the second it is
// darker. It takes the whole cell, over any picture.
void show_progress(cell& c, tdbquery* q, int field, int row) {
  unsigned v = (unsigned)q->get_int(field, row);
  int p1 = std::min<int>(v & 0xFF, 100), p2 = std::min<int>((v >> 8) & 0xFF, 100);
  int left = c.left, w = c.w, top = c.top;
  int e1 = left + (w - 4) * p1 / 100 + 2, e2 = left + (w - 4) * p2 / 100 + 2;
  int t = top + 20, bt = top + 30;
  draw_box(c.dc, left, top + 18, left + w, top + 32, c.back, c.clip);
  draw_box(c.dc, left + 2, t, e2, bt, &cLLGRAY, c.clip);
  draw_box(c.dc, e2, t, left + w - 2, bt, &cLGRAY, c.clip);
  draw_line(c.dc, left + 1, top + 19, left + w - 2, top + 19, &cBLACK, c.clip);
  draw_line(c.dc, left + 1, top + 30, left + w - 2, top + 30, &cBLACK, c.clip);
  draw_line(c.dc, left + 1, top + 19, left + 1, top + 30, &cBLACK, c.clip);
  draw_line(c.dc, left + w - 2, top + 19, left + w - 2, top + 30, &cBLACK, c.clip);
  if (e1 < e2) {
    draw_box(c.dc, left + 2, t, e1, bt, &cYELLOW, c.clip);
  } else {
    draw_box(c.dc, left + 2, t, e2, bt, &cYELLOW, c.clip);
    draw_box(c.dc, e2, t, e1, bt, &cGREEN, c.clip);
  }
}

// A type the grid does not know shows an empty cell.
void show_nothing(cell& c, tdbquery*, int, int) { write(c, "", DT_LEFT); }

typedef void (*shower)(cell& c, tdbquery* q, int field, int row);

const struct {
  int type;
  shower show;
} SHOWERS[] = {
    {DB_STRING, show_string}, {DB_INT, show_int},   {DB_DOUBLE, show_double}, {DB_CHAR, show_char},
    {DB_DATE, show_date},     {DB_TIME, show_time}, {DB_HEX, show_hex},       {DB_PROGRESS, show_progress},
};

shower shower_of(int type) {
  for (const auto& s : SHOWERS)
    if (s.type == type) return s.show;
  return show_nothing;
}

// ---- lines, colours, pictures -------------------------------------------------------

// Marked rows are white on blue, darker on the focus row; the focus row
// unmarked is blue on white.
void colours(cell& c, bool marked, bool focus) {
  if (marked && focus) c.text = &cWHITE, c.back = &cDBLUE;
  else if (marked) c.text = &cWHITE, c.back = &cBLUE;
  else if (focus) c.text = &cBLUE, c.back = &cWHITE;
  else c.text = &cBLACK, c.back = &cWHITE;
}

// Pictures are cut to the cell: a wide one must not run into the next
// column, a tall one not into the next row.
void picture(cell& c, int id, bool at_right) {
  void* pic = plat::load_picture(id);
  if (!pic) return;
  int pw, ph;
  size_bitmap(&pw, &ph, pic);
  pw = std::min(pw, c.tw);
  if (pw > 0) {
    int px = at_right ? c.tx + c.tw - pw : c.tx;
    draw_box(c.dc, px, c.top + 18, px + pw, c.top + 32, c.back, c.clip);
    draw_bitmap(c.dc, px, c.top + 18, pw, std::min(ph, 14), pic, c.clip);
    if (!at_right) c.tx += pw;
    c.tw -= pw;
  }
  plat::free_picture(pic);
}

}  // namespace

void tdbgrid::put_rec(void* dc, int row, int col) {
  if (col < 0 || col >= NUM_ELEMENT || row < 0 || row >= BASE->size()) return;
  theaderbutton* b = HEADER->BUT[col];
  int left = b->x(), w = b->len() - 1;
  int bx = BGR->x(), br = bx + BGR->len();
  if (left + w < bx || left >= br) return;
  int top = row_top(row);
  draw_line(dc, left, top + 32, left + w, top + 32, &cLGRAY, BGR);
  draw_line(dc, left + w, top + 18, left + w, top + 32, &cLGRAY, BGR);

  cell c = {dc, BGR, FONT, left, top, w, left, w, nullptr, nullptr};
  bool marked = BASE->select(row), focus = row == POS;
  colours(c, marked, focus);
  if (BMP_ELEMENT[col] != -1) {
    int id = (unsigned char)BASE->get_char((unsigned char)BMP_ELEMENT[col], row);
    if (id) picture(c, id, false);
  }
  if (AUTO_EDIT[col] == 3 && focus) picture(c, marked ? 251 : 250, true);
  int field = (unsigned char)QUERY_ELEMENT[col];
  shower_of(BASE->type_element(field))(c, BASE, field, row);
}
