#include "class/mouse.h"

#include "platform/platform.h"

// ---- tmouse ------------------------------------------------------------------

tmouse::tmouse(int x, int y, int len, int down, int code, unsigned mask)
    : KEY(code), MASK(mask), EVENT(CMD_POINTER_LEFT), MX(0), MY(0), TIM(0), PRESS(0) {
  X = x;
  Y = y;
  LEN = len;
  DOWN = down;
  set_object(this);
}

tmouse::~tmouse() { reset_object(); }

int tmouse::message(int code) {
  if (code < CMD_MOUSE_MOVE || code > CMD_MOUSE_LUP) return 0;
  if (!mouse_inside()) {
    if (EVENT != CMD_POINTER_LEFT) {
      EVENT = CMD_POINTER_LEFT;
      if (MASK & MOUSE_LEAVE) set_key(KEY, hwnd, (unsigned)KEY, CMD_POINTER_LEFT, WM_CHAR);
    }
    return 0;
  }
  MX = MOUSE_X - x();
  MY = MOUSE_Y - y();
  if (code == CMD_MOUSE_RDOWN || code == CMD_MOUSE_LDOWN) {
    // A left press after a right one (or the other way round) is two
    // single clicks, not a double one.
    if (PRESS == code && TIM != 0) {
      PRESS = 0;
      bool left = code == CMD_MOUSE_LDOWN;
      EVENT = left ? CMD_MOUSE_LDOUBLE : CMD_MOUSE_RDOUBLE;
      // Through the queue: the press itself stays a press for the
      // elements after this one.
      if (MASK & (left ? MOUSE_LDOUBLE : MOUSE_RDOUBLE)) set_key(KEY, hwnd, (unsigned)KEY, EVENT, WM_CHAR);
      return 0;
    }
    PRESS = code;
    TIM = 4;
  }
  EVENT = code;
  return (MASK & (1u << (code - CMD_MOUSE_MOVE))) ? KEY : 0;
}

// ---- tcbox -------------------------------------------------------------------

tcbox::tcbox(int x, int y, const char* text, int width, int code) : KEY(code) {
  X = x;
  Y = y;
  LEN = width + 14;
  DOWN = 14;
  TXT = new ttext(X, Y, text, &cBLACK, &cWHITE, width);
  MOUSE = new tmouse(X, Y, width, 14, code, MOUSE_LUP);
  BUT = new tbutton(X + width, Y, 210, nullptr, 0, 0, code, nullptr, 2, nullptr, &cLGRAY);
  BRD = new tborder(X, Y, width + 14, 14, (char)254);
  set_object(this);
}

tcbox::~tcbox() {
  reset_object();
  delete BRD;
  delete BUT;
  delete MOUSE;
  delete TXT;
}

tcbox& tcbox::operator<<(const char* text) {
  *TXT << text;
  return *this;
}

tcbox& tcbox::operator<<(double value) {
  *TXT << value;
  return *this;
}

tcbox& tcbox::operator<<(tdate date) {
  *TXT << date;
  return *this;
}

tcbox& tcbox::operator<<(ttime time) {
  *TXT << time;
  return *this;
}

char* tcbox::text() { return TXT->text(); }
double tcbox::digit() { return TXT->digit(); }
tdate tcbox::date() { return TXT->date(); }
ttime tcbox::time() { return TXT->time(); }

void tcbox::show(bool redraw) {
  VISIBLE = true;
  TXT->show(redraw);
  MOUSE->show(redraw);
  BUT->show(redraw);
  BRD->show(redraw);
}

void tcbox::hide(bool redraw) {
  VISIBLE = false;
  TXT->hide(redraw);
  MOUSE->hide(false);
  BUT->hide(redraw);
  BRD->hide(redraw);
}

void tcbox::on() {
  if (ACTIVATE) return;
  ACTIVATE = true;
  BUT->on();
  MOUSE->on();
  TXT->color(&cBLACK, &cWHITE);
}

void tcbox::off() {
  if (!ACTIVATE) return;
  ACTIVATE = false;
  BUT->off();
  MOUSE->off();
  TXT->color(&cBLACK, &cLGRAY);
}

void tcbox::move(int dx, int dy) {
  XSM = dx;
  YSM = dy;
  TXT->move(dx, dy);
  MOUSE->move(dx, dy);
  BUT->move(dx, dy);
  BRD->move(dx, dy);
}

void tcbox::_move(int dx, int dy) {
  _XSM = dx;
  _YSM = dy;
  TXT->_move(dx, dy);
  MOUSE->_move(dx, dy);
  BUT->_move(dx, dy);
  BRD->_move(dx, dy);
}

void tcbox::update() {
  TXT->update();
  BUT->update();
  BRD->update();
}
