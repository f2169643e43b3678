#include "class/grid.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "class/query.h"
#include "class/read.h"
#include "platform/platform.h"

namespace {

const int ROW = 15;   // row pitch
const int HEAD = 18;  // header height
const int BAR = tscrollbar::THICKNESS;

bool mouse_code(int code) { return code >= CMD_MOUSE_MOVE && code <= CMD_MOUSE_LUP; }

}  // namespace

// ---- thcnt --------------------------------------------------------------------------

thcnt::thcnt(tobject* parent, int key) : KEY(key), NUM_BUT(0), BUT(), SELECT(-1), CARET(false) {
  OBJ = parent;
  X = parent->X;
  Y = parent->Y;
  LEN = 0;
  DOWN = HEAD;
  set_object(this);
}

thcnt::~thcnt() {
  if (CARET) plat::destroy_caret();
  if (SELECT != -1) set_cursor(IDC_ARROW);
  reset_object();
  for (int i = NUM_BUT - 1; i >= 0; i--) delete BUT[i];
}

int thcnt::x() { return OBJ->x() + XSM + _XSM; }
int thcnt::y() { return OBJ->y() + YSM + _YSM; }
int thcnt::len() {
  int n = 0;
  for (int i = 0; i < NUM_BUT; i++) n += BUT[i]->len();
  return n;
}
int thcnt::down() { return HEAD; }

void thcnt::add(const char* title, int len) {
  if (NUM_BUT >= 50) return;
  int n = NUM_BUT;
  int x = n ? BUT[n - 1]->X + BUT[n - 1]->LEN : OBJ->x();
  // Always a title, if an empty one: the button's title box is its face.
  BUT[n] = new theaderbutton(x, OBJ->Y, title ? title : "", len, KEY + n + 1, OBJ);
  NUM_BUT++;
  if (XSM || _XSM) {
    BUT[n]->XSM = BUT[n]->BOX->XSM = BUT[n]->BRD->XSM = XSM;
    BUT[n]->_XSM = BUT[n]->BOX->_XSM = BUT[n]->BRD->_XSM = _XSM;
    BUT[n]->update();
  }
  if (!VISIBLE) BUT[n]->hide(false);
  if (!ACTIVATE) BUT[n]->off();
}

void thcnt::button_size(int col, int len) {
  if (col < 0 || col >= NUM_BUT || len < 0) return;
  int old_right = x() + this->len();
  theaderbutton* b = BUT[col];
  b->LEN = len;
  b->BOX->LEN = len;
  b->BRD->LEN = len - 4;
  for (int i = col + 1; i < NUM_BUT; i++) {
    theaderbutton* p = BUT[i - 1];
    theaderbutton* c = BUT[i];
    c->X = p->X + p->LEN;
    c->BOX->X = c->X;
    c->BRD->X = c->X + 2;
  }
  if (!VISIBLE) return;
  for (int i = col; i < NUM_BUT; i++) BUT[i]->update();
  // The strip a narrowed header gave up, cells below it included: nothing
  // else paints there any more.
  int new_right = x() + this->len();
  if (new_right < old_right) update_obj(new_right, OBJ->y(), old_right, OBJ->y() + OBJ->down());
}

void thcnt::update_obj(int left, int top, int right, int bottom) {
  if (right > left && bottom > top) OBJ->update_region(left, top, right - left, bottom - top);
}

void thcnt::show(bool redraw) {
  if (VISIBLE) return;
  VISIBLE = true;
  for (int i = 0; i < NUM_BUT; i++) BUT[i]->show(redraw);
}

void thcnt::hide(bool redraw) {
  if (!VISIBLE) return;
  VISIBLE = false;
  end_drag();
  for (int i = 0; i < NUM_BUT; i++) BUT[i]->hide(redraw);
}

void thcnt::on() {
  ACTIVATE = true;
  for (int i = 0; i < NUM_BUT; i++) BUT[i]->on();
}

void thcnt::off() {
  ACTIVATE = false;
  end_drag();
  for (int i = 0; i < NUM_BUT; i++) BUT[i]->off();
}

void thcnt::move(int dx, int dy) {
  XSM = dx;
  YSM = dy;
  for (int i = 0; i < NUM_BUT; i++) BUT[i]->move(dx, dy);
}

void thcnt::_move(int dx, int dy) {
  _XSM = dx;
  _YSM = dy;
  for (int i = 0; i < NUM_BUT; i++) BUT[i]->_move(dx, dy);
}

// The buttons are registered objects and paint themselves.
void thcnt::paint(void*) {}

void thcnt::update() {
  if (!VISIBLE) return;
  for (int i = 0; i < NUM_BUT; i++) BUT[i]->update();
}

void thcnt::end_drag() {
  if (CARET) {
    plat::destroy_caret();
    CARET = false;
  }
  if (SELECT != -1) {
    set_cursor(IDC_ARROW);
    SELECT = -1;
  }
}

int thcnt::message(int code) {
  if (!mouse_code(code) && code != CMD_POINTER_LEFT) return 0;
  if (code == CMD_POINTER_LEFT || !OBJ->mouse_inside()) {
    if (SELECT == -1) return 0;
    end_drag();
    return -1;
  }
  if (code == CMD_MOUSE_MOVE && !MOUSE_LBUTTON) {
    if (CARET) {
      // The button went up somewhere we did not see.
      plat::destroy_caret();
      CARET = false;
    }
    if (MOUSE_Y - y() < 20) {
      for (int i = 0; i < NUM_BUT; i++) {
        int edge = BUT[i]->x() + BUT[i]->len();
        if (MOUSE_X > edge - 3 && MOUSE_X < edge + 3) {
          if (SELECT != i) set_cursor(100);
          SELECT = i;
          return -1;
        }
      }
    }
    if (SELECT != -1) {
      set_cursor(IDC_ARROW);
      SELECT = -1;
    }
    return 0;
  }
  if (SELECT == -1) return 0;
  switch (code) {
    case CMD_MOUSE_LDOWN:
      plat::create_caret(hwnd, 1, OBJ->down());
      plat::set_caret_pos(MOUSE_X, y());
      plat::show_caret();
      CARET = true;
      return -1;
    case CMD_MOUSE_MOVE:
      if (CARET) plat::set_caret_pos(MOUSE_X, y());
      return -1;
    case CMD_MOUSE_LUP: {
      if (!CARET) return -1;
      plat::destroy_caret();
      CARET = false;
      int left = BUT[SELECT]->x();
      if (MOUSE_X > left + 10) button_size(SELECT, MOUSE_X - left);
      return KEY;
    }
  }
  return 0;
}

// ---- tdbgrid ------------------------------------------------------------------------

tdbgrid::tdbgrid(int x, int y, int len, int down, tdbquery* query, int message)
    : MESSAGE(message),
      UP_POS(0),
      POS(0),
      SIZE_BASE(query->size()),
      BASE(query),
      NUM_ELEMENT(0),
      QUERY_ELEMENT(),
      BMP_ELEMENT(),
      LEN_ELEMENT(),
      LAST_OPERATION(0),
      SELECT_HEADER(255),
      AUTO_EDIT(),
      IN_EDIT(false) {
  X = x;
  Y = y;
  LEN = len;
  DOWN = down;
  FONT = new tfont("MS Sans Serif", 14, 0, 0, 0);
  int ix = x < 0 ? x : x + 2, iy = y < 0 ? y : y + 2;
  int il = len < 0 ? len - 2 : len - 4, id = down < 0 ? down - 2 : down - 4;
  BORDER = new tborder(ix, iy, il, id, (char)254);
  BGR = new tbox(ix, iy, il, id, &cWHITE);
  int vx = len < 0 ? len - 18 : ix + il - BAR;
  int gy = down < 0 ? down - 18 : iy + id - BAR;
  VSB = new tvsb(vx, iy, id - BAR, MESSAGE + 1);
  VSB->hide(true);
  GSB = new tgsb(ix, gy, il - BAR, MESSAGE + 2);
  GSB->hide(true);
  GSB->STEP = 1;
  DBGR = new tbox(vx, gy, BAR, BAR, &cLGRAY);
  DBGR->hide(true);
  HEADER = new thcnt(BGR, MESSAGE);
  BASE->deselect_all();
  set_object(this);
}

tdbgrid::~tdbgrid() {
  reset_object();
  delete HEADER;
  delete DBGR;
  delete GSB;
  delete VSB;
  delete BGR;
  delete BORDER;
  delete FONT;
}

// ---- geometry -----------------------------------------------------------------------

int tdbgrid::rows_fit() { return (BGR->down() - HEAD) / ROW; }

bool tdbgrid::row_visible(int row) {
  return row >= UP_POS && row < BASE->size() && (row - UP_POS) * ROW + 33 <= BGR->down();
}

int tdbgrid::row_top(int row) { return BGR->y() + (row - UP_POS) * ROW; }

int tdbgrid::columns_right() {
  if (!NUM_ELEMENT) return BGR->x();
  theaderbutton* b = HEADER->BUT[NUM_ELEMENT - 1];
  return b->x() + b->len();
}

int tdbgrid::columns_beyond(int right) {
  int n = 0;
  for (int i = 0; i < NUM_ELEMENT; i++)
    if (HEADER->BUT[i]->x() + HEADER->BUT[i]->len() > right) n++;
  return n;
}

int tdbgrid::column_at(int x) {
  for (int i = 0; i < NUM_ELEMENT; i++) {
    theaderbutton* b = HEADER->BUT[i];
    if (x >= b->x() && x < b->x() + b->len()) return i;
  }
  return 255;
}

int tdbgrid::len_column(int col) {
  if (col < 0 || col >= NUM_ELEMENT) return 0;
  return HEADER->BUT[col]->len();
}

int tdbgrid::pos() { return POS; }

// ---- columns ------------------------------------------------------------------------

void tdbgrid::add(const char* title, int len, char field, char picture_field) {
  if (NUM_ELEMENT >= 49) return;
  if (NUM_ELEMENT == 0 && !VSB->VISIBLE) BGR->update();
  int n = NUM_ELEMENT;
  QUERY_ELEMENT[n] = field;
  BMP_ELEMENT[n] = picture_field;
  AUTO_EDIT[n] = 0;
  int type = BASE->type_element(field);
  int w = type == DB_DATE ? FONT->strlen("11-11-1998") + 6 : type == DB_TIME ? FONT->strlen("11:11.11") + 6 : len;
  LEN_ELEMENT[n] = w;
  HEADER->add(title, w);
  NUM_ELEMENT++;
  if (!VISIBLE) return;
  int size = BASE->size();
  for (int row = UP_POS; row < size && row_visible(row); row++) put_rec(hdc, row, n);
  update_line(POS);
  update_scrollbar();
}

// ---- painting -----------------------------------------------------------------------

void tdbgrid::put_focus(void* dc) {
  if (!NUM_ELEMENT || !row_visible(POS)) return;
  int top = row_top(POS);
  draw_focus(dc, BGR->x(), top + 18, columns_right() - 1, top + 32, BGR);
}

void tdbgrid::paint_row(void* dc, int row) {
  for (int col = 0; col < NUM_ELEMENT; col++) put_rec(dc, row, col);
  if (row == POS) put_focus(dc);
}

void tdbgrid::paint(void* dc) {
  update_scrollbar();
  HEADER->update();
  int size = BASE->size();
  for (int row = UP_POS; row < size && row_visible(row); row++) paint_row(dc, row);
}

// Everything, background first: rows that scrolled away or were removed and
// columns that moved left must not stay behind.
void tdbgrid::repaint_all() {
  if (!VISIBLE) return;
  BGR->update();
  paint(hdc);
}

void tdbgrid::update_line() { update_line(POS); }

void tdbgrid::update_line(int row) {
  if (row < 0 || row >= BASE->size()) return;
  if (VISIBLE && row_visible(row)) paint_row(hdc, row);
}

void tdbgrid::update_rec(int row, int col) {
  if (!VISIBLE || col < 0 || col >= NUM_ELEMENT || !row_visible(row)) return;
  theaderbutton* b = HEADER->BUT[col];
  int bx = BGR->x(), br = bx + BGR->len();
  int left = std::max(b->x(), bx), right = std::min(b->x() + b->len(), br);
  if (right <= left) return;
  // Through a context clipped to the cell, so that the focus rectangle,
  // drawn by inverting, is renewed in this cell only.
  void* dc = plat::get_dc(hwnd);
  if (!dc) return;
  int top = row_top(row);
  plat::rect clip = {left, top + 18, right, top + 33};
  plat::set_clip(dc, &clip);
  put_rec(dc, row, col);
  if (row == POS) put_focus(dc);
  plat::release_dc(hwnd, dc);
}

void tdbgrid::update() {
  int size = BASE->size();
  if (POS >= size) POS = size - 1;
  if (POS < 0) POS = 0;
  repaint_all();
  SIZE_BASE = size;
}

void tdbgrid::reset() {
  POS = 0;
  update();
}

// ---- scroll bars --------------------------------------------------------------------

void tdbgrid::update_scrollbar() {
  int size = BASE->size();
  int right = BGR->x() + BGR->len();
  int hidden = GSB->POS + 1 + columns_beyond(right);
  int vertical = size - (BGR->down() - HEAD) / ROW + 1;
  // Counted from the bar's position: the header stays shifted by it.
  if (vertical > 1 && !VSB->VISIBLE) hidden = GSB->POS + 1 + columns_beyond(right - BAR);
  bool horizontal = hidden > 1;
  if (horizontal && !GSB->VISIBLE) vertical = size - (BGR->down() - 34) / ROW + 1;

  if (vertical > 1) {
    int gap = horizontal ? 0 : BAR;
    if (VSB->_DSM != gap) {
      VSB->_DSM = gap;
      VSB->update();
    }
    if (UP_POS > vertical - 1) UP_POS = vertical - 1;
    VSB->max(vertical);
    *VSB = UP_POS;
    if (!VSB->VISIBLE) {
      BGR->_LSM -= BAR;
      VSB->show(true);
    }
  } else {
    if (VSB->VISIBLE) {
      BGR->_LSM += BAR;
      VSB->hide(true);
      VSB->max(0);
    }
    UP_POS = 0;
  }

  if (horizontal) {
    int gap = vertical > 1 ? 0 : BAR;
    if (GSB->_LSM != gap) {
      GSB->_LSM = gap;
      GSB->update();
    }
    if (!GSB->VISIBLE) {
      BGR->_DSM -= BAR;
      GSB->show(true);
    }
    GSB->max(hidden);
  } else if (GSB->VISIBLE) {
    BGR->_DSM += BAR;
    GSB->hide(true);
    GSB->max(0);
    *GSB = 0;
    HEADER->move(0, 0);
    plat::rect r = {x(), y(), x() + len(), y() + down()};
    plat::invalidate(hwnd, &r, true);
  }

  if (vertical > 1 && horizontal) DBGR->show(true);
  else DBGR->hide(true);
  VSB->STEP = (BGR->down() - HEAD) / ROW - 1;
}

// ---- focus and marks ----------------------------------------------------------------

void tdbgrid::set_pos(int row, bool all) {
  if (row < 0 || row >= BASE->size()) return;
  int old = POS;
  POS = row;
  BASE->set_select(row);
  if (row < UP_POS) {
    UP_POS = row;
    *VSB = UP_POS;
    repaint_all();
  } else if ((row - UP_POS) * ROW + 33 > BGR->down()) {
    UP_POS = row - rows_fit() + 1;
    if (UP_POS < 0) UP_POS = 0;
    *VSB = UP_POS;
    repaint_all();
  } else if (all) {
    repaint_all();
  } else {
    update_line(old);
    update_line(row);
  }
}

void tdbgrid::clear_marks() { BASE->deselect_all(); }

bool tdbgrid::operator=(int row) {
  int size = BASE->size();
  if (row < 0 || row >= size) return false;
  if (BASE->select(row)) BASE->set_select(row);
  else if (POS >= 0 && POS < size && BASE->select(POS)) BASE->set_select(POS);
  bool all = false;
  if (BASE->select()) {
    clear_marks();
    all = true;
  }
  set_pos(row, all);
  return true;
}

bool tdbgrid::operator--() {
  if (POS <= 0) return false;
  bool all = false;
  if (!SHIFT_BUTTON && !CONTROL_BUTTON) {
    if (BASE->select(POS)) BASE->set_select(POS);
    if (BASE->select()) {
      clear_marks();
      all = true;
    }
  }
  set_pos(POS - 1, all);
  return true;
}

bool tdbgrid::operator++() {
  if (POS >= BASE->size() - 1) return false;
  bool all = false;
  if (!SHIFT_BUTTON && !CONTROL_BUTTON) {
    if (BASE->select(POS)) BASE->set_select(POS);
    if (BASE->select()) {
      clear_marks();
      all = true;
    }
  }
  set_pos(POS + 1, all);
  return true;
}

// ---- view scrolling -----------------------------------------------------------------

bool tdbgrid::line_up() {
  if (UP_POS == 0) return false;
  UP_POS--;
  repaint_all();
  return true;
}

bool tdbgrid::line_dn() {
  if (UP_POS + VSB->STEP >= BASE->size() - 1) return false;
  UP_POS++;
  repaint_all();
  return true;
}

bool tdbgrid::page_up() {
  if (UP_POS == 0) return false;
  UP_POS = std::max(0, UP_POS - VSB->STEP);
  repaint_all();
  return true;
}

bool tdbgrid::page_dn() {
  int size = BASE->size(), step = VSB->STEP;
  if (UP_POS + step > size - 2) return false;
  UP_POS += step;
  // The bar's layout then holds the last row at the bottom.
  if (UP_POS + step > size - 1) UP_POS = size - step;
  repaint_all();
  return true;
}

// ---- show, hide, enable -------------------------------------------------------------

// A hidden grid has no bars: the background takes their room back, and
// showing lays them out again.
void tdbgrid::hide(bool redraw) {
  if (!VISIBLE) return;
  VISIBLE = false;
  if (VSB->VISIBLE) {
    VSB->hide(false);
    BGR->_LSM += BAR;
  }
  if (GSB->VISIBLE) {
    GSB->hide(false);
    BGR->_DSM += BAR;
  }
  DBGR->hide(false);
  HEADER->hide(false);
  BGR->hide(false);
  BORDER->hide(false);
  if (redraw) {
    plat::rect r = {x(), y(), x() + len(), y() + down()};
    plat::invalidate(hwnd, &r, true);
  }
}

void tdbgrid::show(bool redraw) {
  if (VISIBLE) return;
  VISIBLE = true;
  BORDER->show(false);
  BGR->show(false);
  HEADER->show(false);
  if (redraw) {
    BORDER->update();
    update();
  }
}

void tdbgrid::on() {
  ACTIVATE = true;
  BORDER->on();
  VSB->on();
  GSB->on();
  BGR->on();
  HEADER->on();
}

void tdbgrid::off() {
  ACTIVATE = false;
  BORDER->off();
  VSB->off();
  GSB->off();
  BGR->off();
  HEADER->off();
}

void tdbgrid::move(int, int) {}
void tdbgrid::_move(int, int) {}

void tdbgrid::resize(int dl, int dd) {
  plat::rect old = {x(), y(), x() + len(), y() + down()};
  plat::invalidate(hwnd, &old, true);
  LSM = dl;
  DSM = dd;
  BGR->LSM = dl;
  BGR->DSM = dd;
  BORDER->LSM = dl;
  BORDER->DSM = dd;
  VSB->XSM = dl;
  VSB->DSM = dd;
  VSB->update();
  GSB->YSM = dd;
  GSB->LSM = dl;
  GSB->update();
  DBGR->XSM = dl;
  DBGR->YSM = dd;
  plat::rect now = {x(), y(), x() + len(), y() + down()};
  plat::invalidate(hwnd, &now, true);
  BORDER->update();
  DBGR->update();
  update();
}

// ---- events -------------------------------------------------------------------------

int tdbgrid::message(int code) {
  if (code == MESSAGE) return columns_resized();
  if (code == MESSAGE + 1) return rows_scrolled();
  if (code == MESSAGE + 2) return columns_scrolled();
  if (!mouse_code(code) || !pointer_over_rows()) return 0;
  switch (code) {
    case CMD_MOUSE_RDOWN:
      return right_press();
    case CMD_MOUSE_LDOWN:
      return left_press();
    // The release is the grid's only when it completes the grid's own click:
    // after a click that did nothing it stays a plain release.
    case CMD_MOUSE_LUP:
      if (LAST_OPERATION != ROW_PRESSED) return 0;
      LAST_OPERATION = ROW_CLICKED;
      return MESSAGE;
  }
  return 0;
}

// The header moved or resized the columns from its SELECT column on; the
// ones before it stay as they were.
int tdbgrid::columns_resized() {
  update_scrollbar();
  int from = std::max(0, HEADER->SELECT);
  int size = BASE->size();
  for (int row = UP_POS; row < size && row_visible(row); row++)
    for (int col = from; col < NUM_ELEMENT; col++) put_rec(hdc, row, col);
  update_line(POS);
  LAST_OPERATION = COLUMN_RESIZED;
  return MESSAGE;
}

int tdbgrid::rows_scrolled() {
  UP_POS = VSB->POS;
  repaint_all();
  LAST_OPERATION = ROWS_SCROLLED;
  return MESSAGE;
}

// The bar's position is the number of columns scrolled out to the left.
int tdbgrid::columns_scrolled() {
  int shift = 0;
  for (int i = 0; i < GSB->POS && i < NUM_ELEMENT; i++) shift += HEADER->BUT[i]->LEN;
  HEADER->move(-shift, 0);
  repaint_all();
  LAST_OPERATION = COLUMNS_SCROLLED;
  return MESSAGE;
}

// Strictly inside the background and below the header.
bool tdbgrid::pointer_over_rows() {
  int bx = BGR->x(), by = BGR->y();
  return MOUSE_X > bx && MOUSE_X < bx + BGR->len() && MOUSE_Y > by + HEAD && MOUSE_Y < by + BGR->down();
}

// The row under the pointer, or -1 below the last row or right of the
// last column.
int tdbgrid::row_under_pointer() {
  int row = std::max(0, (MOUSE_Y - BGR->y() - HEAD) / ROW + UP_POS);
  return row < BASE->size() && MOUSE_X < columns_right() ? row : -1;
}

int tdbgrid::right_press() {
  int row = row_under_pointer();
  SELECT_HEADER = 255;
  LAST_OPERATION = RIGHT_CLICKED;
  if (row >= 0) {
    SELECT_HEADER = (unsigned char)column_at(MOUSE_X);
    *this = row;
  }
  return MESSAGE;
}

// Shift extends the marks to the row, Ctrl toggles the row's mark alone, a
// second click on the marked focus row may edit the cell; a plain click
// makes the row the focus and only mark.
int tdbgrid::left_press() {
  int row = row_under_pointer();
  SELECT_HEADER = 255;
  if (row < 0) {
    if (!BASE->select()) return 0;
    clear_marks();
    repaint_all();
    LAST_OPERATION = MARKS_CLEARED;
    return MESSAGE;
  }
  SELECT_HEADER = (unsigned char)column_at(MOUSE_X);
  if (SHIFT_BUTTON) {
    for (int i = std::min(POS, row) + 1; i < std::max(POS, row); i++)
      if (!BASE->select(i)) BASE->set_select(i);
    set_pos(row, true);
  } else if (CONTROL_BUTTON) {
    set_pos(row, false);
  } else if (row == POS && BASE->select(row) && SELECT_HEADER != 255 && AUTO_EDIT[SELECT_HEADER]) {
    if (AUTO_EDIT[SELECT_HEADER] == 1) {
      LAST_OPERATION = EDIT_STARTED;
      edit(SELECT_HEADER);
    } else {
      LAST_OPERATION = SECOND_CLICK;
    }
    return MESSAGE;
  } else {
    *this = row;
  }
  LAST_OPERATION = ROW_PRESSED;
  return MESSAGE;
}

// ---- in-place editing ---------------------------------------------------------------

namespace {

// The field's value as the editor shows it: the whole width of a string,
// numbers, dates and times in their written form, with one blank after
// them so that the caret can stand behind the last character.
std::string edit_text(tdbquery* q, int field, int row) {
  char buf[64];
  switch (q->type_element(field)) {
    case DB_STRING:
      return q->get_string(field, row);
    case DB_INT:
    case DB_PROGRESS:
      snprintf(buf, sizeof buf, "%-12d", q->get_int(field, row));
      break;
    case DB_DOUBLE:
      snprintf(buf, sizeof buf, "%-24.15g", q->get_double(field, row));
      break;
    case DB_CHAR:
      snprintf(buf, sizeof buf, "%-5d", (int)q->get_char(field, row));
      break;
    case DB_DATE:
      snprintf(buf, sizeof buf, "%s ", q->get_date(field, row).string());
      break;
    case DB_TIME:
      snprintf(buf, sizeof buf, "%s ", q->get_time(field, row).string());
      break;
    case DB_HEX:
      snprintf(buf, sizeof buf, "0x%-9X", (unsigned)q->get_int(field, row));
      break;
    default:
      return "";
  }
  return buf;
}

// A number the text holds, blanks around it allowed; false when it holds
// none (the field then keeps its value).
bool parse_long(const char* text, int base, long long* out) {
  char* end;
  *out = strtoll(text, &end, base);
  if (end == text) return false;
  while (*end == ' ') end++;
  return *end == 0;
}

bool parse_double(std::string text, double* out) {
  for (char& c : text)
    if (c == ',') c = '.';
  char* end;
  *out = strtod(text.c_str(), &end);
  if (end == text.c_str()) return false;
  while (*end == ' ') end++;
  return *end == 0;
}

// Writes what was typed into the field by its type.
void write_back(tdbquery* q, int field, int row, const char* text) {
  long long n;
  double d;
  switch (q->type_element(field)) {
    case DB_STRING:
      q->set_string(text, field, row);
      break;
    case DB_INT:
    case DB_PROGRESS:
      if (parse_long(text, 10, &n)) q->set_int((int)n, field, row);
      break;
    case DB_HEX:
      if (parse_long(text, 16, &n)) q->set_int((int)(unsigned)n, field, row);
      break;
    case DB_CHAR:
      if (parse_long(text, 10, &n)) q->set_char((char)n, field, row);
      break;
    case DB_DOUBLE:
      if (parse_double(text, &d)) q->set_double(d, field, row);
      break;
    case DB_DATE: {
      tdate v = q->get_date(field, row);
      v = text;
      q->set_date(v, field, row);
      break;
    }
    case DB_TIME: {
      ttime v = q->get_time(field, row);
      v = text;
      q->set_time(v, field, row);
      break;
    }
  }
}

}  // namespace

// The editor sits on the focus row's cell, its text selected, so that
// typing replaces the value. Esc (and closing the window) keeps the old
// value; every other way out writes what was typed. A text that is no
// number leaves a numeric field as it was.
void tdbgrid::edit(int col) {
  if (IN_EDIT || !VISIBLE || col < 0 || col >= NUM_ELEMENT || !row_visible(POS)) return;
  int field = (unsigned char)QUERY_ELEMENT[col];
  int type = BASE->type_element(field);
  if (type < DB_STRING || type > DB_HEX) return;
  theaderbutton* b = HEADER->BUT[col];
  int left = std::max(b->x(), BGR->x());
  int right = std::min(b->x() + b->len() - 1, BGR->x() + BGR->len());
  if (right <= left) return;
  int row = POS;
  std::string value = edit_text(BASE, field, row);
  IN_EDIT = true;
  int end;
  {
    ttext t(left, row_top(row) + 18, value.c_str(), &cBLACK, &cWHITE, right - left);
    end = read_string(&t, type == DB_STRING || type == DB_HEX ? 0 : 1, -2);
    if (end != KEY_ESC && end != CMD_CLOSE) {
      write_back(BASE, field, row, t.text());
      BASE->update();
    }
  }
  IN_EDIT = false;
  // The close was the editor's to end on, but the window's owner must
  // still see it.
  if (end == CMD_CLOSE) set_key(CMD_CLOSE, hwnd, 0, 0, 0);
  update();
}
