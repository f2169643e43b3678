#include "class/check.h"

// Pictures of the box.
enum {
  CHECKED = 216,
  CHECKED_DISABLED = 217,
  UNCHECKED = 218,
  UNCHECKED_DISABLED = 219,
  CHECKED_PRESSED = 220,
  UNCHECKED_PRESSED = 222,
  THIRD = 224,
};

tcheck::tcheck(int x, int y, const char* title, int key) { create(x, y, title, key, 0); }

tcheck::tcheck(int x, int y, const char* title, int key, int status) { create(x, y, title, key, status); }

void tcheck::create(int x, int y, const char* title, int key, int status) {
  STATUS = status;
  PR = 0;
  KEY = key;
  INI_KEY = nullptr;
  INI_FILE = nullptr;
  TC = &cBLACK;
  X = x;
  Y = y;
  BMP = new tbitmap(x, y, picture(), nullptr);
  TITLE = new ttext(x + 16, y, title ? title : "", TC, &cLGRAY, -1);
  LEN = TITLE->LEN + 16;
  DOWN = 16;
  XT = x + len();
  YT = y + 16;
  set_object(this);
}

tcheck::~tcheck() {
  reset_object();
  delete TITLE;
  delete BMP;
}

int tcheck::picture() {
  if (!ACTIVATE) return STATUS ? CHECKED_DISABLED : UNCHECKED_DISABLED;
  if (STATUS == 0) return UNCHECKED;
  return STATUS == 1 ? CHECKED : THIRD;
}

void tcheck::show_picture(int id) { *BMP << id; }

void tcheck::title_color(tcolor* color) { TITLE->color(color, &cLGRAY); }

int tcheck::get() { return STATUS; }
bool tcheck::operator==(int status) { return STATUS == status; }
bool tcheck::operator!=(int status) { return STATUS != status; }

tcheck& tcheck::operator!() {
  STATUS = STATUS ? 0 : 1;
  show_picture(picture());
  return *this;
}

tcheck& tcheck::operator<<(int status) {
  STATUS = status;
  show_picture(picture());
  return *this;
}

tcheck& tcheck::operator<<(tcolor* color) {
  TC = color;
  title_color(TC);
  return *this;
}

int tcheck::x() { return BMP->x(); }
int tcheck::y() { return BMP->y(); }
int tcheck::down() { return 16; }

void tcheck::show(bool redraw) {
  if (VISIBLE) return;
  VISIBLE = true;
  BMP->show(redraw);
  TITLE->show(redraw);
}

void tcheck::hide(bool redraw) {
  if (!VISIBLE) return;
  VISIBLE = false;
  BMP->hide(redraw);
  TITLE->hide(redraw);
}

void tcheck::on() {
  if (ACTIVATE) return;
  ACTIVATE = true;
  BMP->on();
  show_picture(picture());
  TITLE->on();
}

void tcheck::off() {
  if (!ACTIVATE) return;
  ACTIVATE = false;
  // A disabled box gets no events, so the pointer's traces go now: the
  // title must not come back blue when the box is enabled again.
  if (PR) TITLE->TC = TC;
  PR = 0;
  BMP->off();
  show_picture(picture());
  TITLE->off();
}

void tcheck::move(int dx, int dy) {
  XSM = dx;
  YSM = dy;
  BMP->move(dx, dy);
  TITLE->move(dx, dy);
}

void tcheck::_move(int dx, int dy) {
  _XSM = dx;
  _YSM = dy;
  BMP->_move(dx, dy);
  TITLE->_move(dx, dy);
}

void tcheck::update() {
  TITLE->update();
  BMP->update();
}

int tcheck::message(int code) {
  if (code < CMD_MOUSE_MOVE || code > CMD_MOUSE_LUP) return 0;
  if (!mouse_inside()) {
    if (PR == 2) show_picture(picture());
    if (PR != 0) title_color(TC);
    PR = 0;
    return 0;
  }
  if (code == CMD_MOUSE_MOVE && PR == 0) {
    title_color(&cBLUE);
    PR = 1;
  } else if (code == CMD_MOUSE_LDOWN) {
    if (PR == 0) title_color(&cBLUE);
    show_picture(STATUS ? CHECKED_PRESSED : UNCHECKED_PRESSED);
    PR = 2;
  } else if (code == CMD_MOUSE_LUP && PR != 0) {
    STATUS = STATUS ? 0 : 1;
    show_picture(picture());
    PR = 1;
    return KEY;
  }
  return 0;
}
