#include "class/button.h"

#include <cstring>

#include "platform/platform.h"

static char* copy_title(const char* s) {
  size_t n = std::strlen(s);
  char* c = new char[n + 1];
  std::memcpy(c, s, n + 1);
  return c;
}

static bool mouse_code(int code) { return code >= CMD_MOUSE_MOVE && code <= CMD_MOUSE_LUP; }

// An edge-anchored (negative) length keeps its anchor when a part is inset:
// the part's far edge moves in by the inset of that edge alone.
static int inset_len(int len, int near_inset, int far_inset) {
  return len >= 0 ? len - near_inset - far_inset : len - far_inset;
}

tbut::tbut(int x, int y, int ibmp, const char* title, int len, int down, int key, void (*fun)(), char frm,
           tobject* parent, tcolor* color)
    : KEY(key),
      STATUS(1),
      FUN(fun),
      TC(&cBLACK),
      FONT(nullptr),
      XT(0),
      IBMP(0),
      BRD(nullptr),
      BOX(nullptr),
      BMP(nullptr),
      TITLE(nullptr),
      FRM(1),
      face(color ? color : &cLGRAY) {
  X = x;
  Y = y;
  OBJ = parent;
  LEN = DOWN = 0;
  if (ibmp != 0) {
    BMP = new tbitmap(X, Y, ibmp, parent);
    IBMP = ibmp;
    LEN = BMP->LEN;
    DOWN = BMP->DOWN;
    XT = BMP->LEN;
  }
  if (title) {
    FONT = new tfont("MS Sans Serif", 14);
    BOX = new tbox(X + XT, Y, inset_len(len, XT, 0), down, face, parent);
    TITLE = copy_title(title);
    LEN = len;
    DOWN = down;
    FRM = ((IBMP != 0 && frm == 0) || frm == 5) ? 0 : 1;
  }
  if (frm != 5) BRD = new tborder(X + 2, Y + 2, inset_len(LEN, 2, 2), inset_len(DOWN, 2, 2), frm, parent);
  XBT = this->x() + this->len();
  YBT = this->y() + this->down();
  set_object(this);
  if (TITLE) paint(hdc);
}

tbut::~tbut() {
  reset_object();
  delete BRD;
  delete[] TITLE;
  delete BOX;
  delete FONT;
  delete BMP;
}

// ---- parts -----------------------------------------------------------------------

void tbut::repaint_box() {
  if (BOX) BOX->update();
}

void tbut::place_picture(bool pressed) {
  if (!BMP) return;
  int w, h;
  size_bitmap(&w, &h, BMP->BITMAP);
  if (VISIBLE && BMP->VISIBLE) draw_box(hdc, x(), y(), x() + XT, y() + down(), face, OBJ);
  BMP->X = pressed ? X + 1 : X;
  BMP->Y = pressed ? Y + 1 : Y;
  BMP->LEN = pressed ? w - 1 : w;
  BMP->DOWN = pressed ? h - 1 : h;
  BMP->update();
}

void tbut::set_frame(char type) {
  if (BRD) *BRD << type;
}

void tbut::press() {
  STATUS = 3;
  repaint_box();
  place_picture(true);
  paint(hdc);
  set_frame(3);
}

// Back from pressed to the resting look of a raised button.
void tbut::release_look() {
  repaint_box();
  place_picture(false);
  set_frame(2);
}

int tbut::fire() {
  if (FUN) FUN();
  return KEY;
}

// ---- tobject operations ------------------------------------------------------------

void tbut::show(bool redraw) {
  if (VISIBLE) return;
  VISIBLE = true;
  if (BOX) BOX->show(redraw);
  if (BMP) BMP->show(redraw);
  if (BRD) BRD->show(redraw);
  if (redraw) paint(hdc);
}

void tbut::hide(bool redraw) {
  if (!VISIBLE) return;
  VISIBLE = false;
  if (BOX) BOX->hide(false);
  if (BMP) BMP->hide(false);
  if (BRD) {
    BRD->hide(redraw);
  } else if (redraw) {
    // Without a frame nothing else would erase the button.
    plat::rect r = {x(), y(), x() + len(), y() + down()};
    plat::invalidate(hwnd, &r, true);
  }
}

void tbut::on() {
  if (ACTIVATE) return;
  ACTIVATE = true;
  if (BOX) BOX->on();
  if (BMP) {
    BMP->on();
    if (VISIBLE && BMP->VISIBLE) draw_box(hdc, x(), y(), x() + XT, y() + down(), face, OBJ);
    *BMP << IBMP;
  }
  if (BRD) {
    BRD->on();
    BRD->update();
  }
  update();
}

void tbut::off() { disable(2); }

void tbut::disable(char idle_frame) {
  if (!ACTIVATE) return;
  ACTIVATE = false;
  if (STATUS != 1) {
    STATUS = 1;
    repaint_box();
    place_picture(false);
    if (BRD) BRD->TYPE = (signed char)idle_frame;
  }
  if (BOX) BOX->off();
  if (BMP) {
    if (VISIBLE && BMP->VISIBLE) draw_box(hdc, x(), y(), x() + XT, y() + down(), face, OBJ);
    // A picture without a disabled form keeps its own rather than vanishing.
    *BMP << (IBMP + 1);
    if (!BMP->BITMAP) *BMP << IBMP;
    BMP->off();
  }
  if (BRD) {
    BRD->update();
    BRD->off();
  }
  paint(hdc);
}

void tbut::move(int dx, int dy) {
  XSM = dx;
  YSM = dy;
  if (BOX) BOX->move(dx, dy);
  if (BMP) BMP->move(dx, dy);
  if (BRD) BRD->move(dx, dy);
  paint(hdc);
}

void tbut::_move(int dx, int dy) {
  _XSM = dx;
  _YSM = dy;
  if (BOX) BOX->_move(dx, dy);
  if (BMP) BMP->_move(dx, dy);
  if (BRD) BRD->_move(dx, dy);
  paint(hdc);
}

void tbut::update() {
  repaint_box();
  if (BMP) {
    if (VISIBLE && BMP->VISIBLE) draw_box(hdc, x(), y(), x() + XT, y() + down(), face, OBJ);
    BMP->update();
  }
  if (BRD) BRD->update();
  if (VISIBLE) paint(hdc);
}

void tbut::paint(void* dc) {
  if (!TITLE) return;
  tcolor* c = STATUS < 2 ? TC : &cBLUE;
  int left = x() + XT + 4, top = y() + (down() - 14) / 2;
  if (STATUS == 3) {
    left++;
    top++;
  }
  draw_text(dc, left, top, len() - XT - 8, 14, ACTIVATE, FRM, TITLE, c, FONT, OBJ);
}

int tbut::message(int code) {
  if (!mouse_code(code)) return 0;
  if (mouse_inside()) {
    if (code == CMD_MOUSE_MOVE && STATUS == 1) {
      STATUS = 2;
      paint(hdc);
    } else if (code == CMD_MOUSE_LDOWN && STATUS != 3) {
      press();
    } else if (code == CMD_MOUSE_LUP && STATUS == 3) {
      STATUS = 2;
      repaint_box();
      paint(hdc);
      place_picture(false);
      set_frame(2);
      return fire();
    }
    return 0;
  }
  if (STATUS != 1) {
    if (STATUS == 3) release_look();
    STATUS = 1;
    paint(hdc);
  }
  return 0;
}

tbut& tbut::operator<<(const char* title) {
  if (!TITLE || !title) return *this;
  char* c = copy_title(title);
  delete[] TITLE;
  TITLE = c;
  repaint_box();
  paint(hdc);
  if (BRD) BRD->update();
  return *this;
}

tbut& tbut::operator<<(int ibmp) {
  if (!BMP) return *this;
  IBMP = ibmp;
  if (VISIBLE && BMP->VISIBLE) draw_box(hdc, x(), y(), x() + XT, y() + down(), face, OBJ);
  *BMP << (ACTIVATE ? IBMP : IBMP + 1);
  if (!BMP->BITMAP) *BMP << IBMP;
  if (BRD) BRD->update();
  return *this;
}

void tbut::color(tcolor* c) {
  TC = c;
  paint(hdc);
}

// ---- thbutton -----------------------------------------------------------------------

void thbutton::off() { disable(0); }

int thbutton::message(int code) {
  if (!mouse_code(code)) return 0;
  if (mouse_inside()) {
    if (code == CMD_MOUSE_MOVE && STATUS == 1) {
      STATUS = 2;
      set_frame(1);
      paint(hdc);
    } else if (code == CMD_MOUSE_LDOWN && STATUS != 3) {
      STATUS = 3;
      repaint_box();
      place_picture(true);
      set_frame(-1);
      paint(hdc);
    } else if (code == CMD_MOUSE_LUP && STATUS == 3) {
      STATUS = 2;
      // The pressed title sits one pixel off: erase it before the title
      // goes back.
      repaint_box();
      place_picture(false);
      set_frame(1);
      paint(hdc);
      return fire();
    }
    return 0;
  }
  if (STATUS != 1) {
    repaint_box();
    place_picture(false);
    set_frame(0);
    STATUS = 1;
    paint(hdc);
  }
  return 0;
}

// ---- tsbutton -----------------------------------------------------------------------

tsbutton::tsbutton(int x, int y, int ibmp, const char* title, int len, int down, int key, void (*fun)(), char frm,
                   tobject* parent, tcolor* color)
    : tbut(x, y, ibmp, title, len, down, key, fun, frm, parent, color), TIM(0) {}

int tsbutton::message(int code) {
  if (code == CMD_TICK) {
    if (STATUS == 3) {
      if (TIM > 0) {
        TIM--;
      } else {
        if (FUN) FUN();
        // Posted, not returned: the repeat arrives as an event of its own.
        set_key(KEY, hwnd, 0, 0, WM_CHAR);
      }
    }
    return 0;
  }
  if (!mouse_code(code)) return 0;
  if (mouse_inside()) {
    if (code == CMD_MOUSE_MOVE && STATUS == 1) {
      STATUS = 2;
      paint(hdc);
    } else if (code == CMD_MOUSE_LDOWN && STATUS != 3) {
      press();
      TIM = 4;
      return fire();
    } else if (code == CMD_MOUSE_LUP && STATUS == 3) {
      STATUS = 2;
      release_look();
      paint(hdc);
    }
    return 0;
  }
  if (STATUS != 1) {
    if (STATUS == 3) release_look();
    STATUS = 1;
    paint(hdc);
  }
  return 0;
}

// ---- ttbutton -----------------------------------------------------------------------

void ttbutton::off() {
  // A disabled item must not keep the dark highlight.
  if (ACTIVATE && STATUS != 1 && BOX) BOX->CL = &cWHITE;
  tbut::off();
}

void ttbutton::paint(void* dc) {
  if (!TITLE) return;
  tcolor* c = STATUS == 1 ? TC : &cWHITE;
  draw_text(dc, x() + XT + 4, y() + (down() - 14) / 2, len() - XT - 8, 14, ACTIVATE, FRM, TITLE, c, FONT, OBJ);
}

int ttbutton::message(int code) {
  if (!mouse_code(code)) return 0;
  if (mouse_inside()) {
    if (code == CMD_MOUSE_MOVE && STATUS == 1) {
      STATUS = 2;
      if (BOX) BOX->color(&cDBLUE);
      paint(hdc);
    } else if (code == CMD_MOUSE_LDOWN) {
      STATUS = 3;
    } else if (code == CMD_MOUSE_LUP && STATUS == 3) {
      STATUS = 2;
      return fire();
    }
    return 0;
  }
  if (STATUS != 1) {
    STATUS = 1;
    if (BOX) BOX->color(&cWHITE);
    paint(hdc);
  }
  return 0;
}

// ---- theaderbutton --------------------------------------------------------------------

theaderbutton::theaderbutton(int x, int y, const char* title, int len, int key, tobject* parent)
    : tbut(x, y, 0, title, len, 18, key, nullptr, 2, parent, &cLGRAY) {}
