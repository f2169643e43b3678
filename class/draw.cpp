#include "class/draw.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

// ---- fonts -------------------------------------------------------------------

tfont::tfont(const char* face, int height, int escapement, int weight, int italic)
    : FONT(plat::create_font(face, height, escapement, weight, italic != 0)) {}

tfont::~tfont() { plat::delete_font(FONT); }

void tfont::modify(const char* face, int height, int escapement, int weight, int italic) {
  plat::delete_font(FONT);
  FONT = plat::create_font(face, height, escapement, weight, italic != 0);
}

int tfont::strlen(const char* text) { return plat::text_width(FONT, text); }
int tfont::strlen(const char* text, int n) { return n <= 0 ? 0 : plat::text_width(FONT, text, n); }

// ---- primitives ----------------------------------------------------------------

namespace {

// Holds the drawing lock for the scope of one primitive.
struct video_lock {
  video_lock() { _VIDEO_CS.enter(); }
  ~video_lock() { _VIDEO_CS.leave(); }
};

void raw_line(void* hdc, int x1, int y1, int x2, int y2, tcolor* color) {
  // The classic line leaves its end point out; a second step of one pixel
  // sets it.
  plat::line(hdc, x1, y1, x2, y2, color->COLOR);
  plat::line(hdc, x2, y2, x2 + 1, y2 + 1, color->COLOR);
}

}  // namespace

void draw_line(void* hdc, int x1, int y1, int x2, int y2, tcolor* color) {
  if (!hdc || !color) return;
  video_lock lock;
  raw_line(hdc, x1, y1, x2, y2, color);
}

void draw_line(void* hdc, int x1, int y1, int x2, int y2, tcolor* color, tobject* parent) {
  if (!hdc || !color) return;
  if (!parent) return draw_line(hdc, x1, y1, x2, y2, color);
  video_lock lock;
  int e = parent->x(), f = parent->y();
  int g = e + parent->len() - 1, h = f + parent->down() - 1;
  auto code = [&](int x, int y) { return (x < e ? 8 : 0) | (x > g ? 4 : 0) | (y < f ? 2 : 0) | (y > h ? 1 : 0); };
  int c1 = code(x1, y1), c2 = code(x2, y2);
  while (c1 || c2) {
    if (c1 & c2) return;
    int c = c1 ? c1 : c2;
    long long x, y;
    // The divisor is never zero: an end point outside an edge has a partner
    // on the other side of it, or both would share that bit.
    if (c & 8) {
      y = y1 + (long long)(y2 - y1) * (e - x1) / (x2 - x1);
      x = e;
    } else if (c & 4) {
      y = y1 + (long long)(y2 - y1) * (g - x1) / (x2 - x1);
      x = g;
    } else if (c & 2) {
      x = x1 + (long long)(x2 - x1) * (f - y1) / (y2 - y1);
      y = f;
    } else {
      x = x1 + (long long)(x2 - x1) * (h - y1) / (y2 - y1);
      y = h;
    }
    if (c == c1) {
      x1 = (int)x;
      y1 = (int)y;
      c1 = code(x1, y1);
    } else {
      x2 = (int)x;
      y2 = (int)y;
      c2 = code(x2, y2);
    }
  }
  raw_line(hdc, x1, y1, x2, y2, color);
}

void draw_box(void* hdc, int left, int top, int right, int bottom, tcolor* color, tobject* parent) {
  if (!hdc || !color) return;
  video_lock lock;
  if (parent) {
    int px = parent->x(), py = parent->y(), pl = parent->len(), pd = parent->down();
    if (right < px || bottom < py || left > px + pl || top > py + pd) return;
    left = std::max(left, px);
    top = std::max(top, py);
    right = std::min(right, px + pl);
    bottom = std::min(bottom, py + pd);
  }
  plat::fill_rect(hdc, left, top, right, bottom, color->COLOR);
}

void size_bitmap(int* len, int* down, void* bitmap) { plat::picture_size(bitmap, len, down); }

void draw_bitmap(void* hdc, int x, int y, int len, int down, void* bitmap, tobject* parent) {
  if (!hdc || !bitmap) return;
  video_lock lock;
  int bw, bh;
  plat::picture_size(bitmap, &bw, &bh);
  if (len < 0) len = bw;
  if (down < 0) down = bh;
  int sx = 0, sy = 0;
  if (parent) {
    int px = parent->x(), py = parent->y(), pl = parent->len(), pd = parent->down();
    if (x > px + pl || y > py + pd) return;
    if (x < px) {
      sx = px - x;
      len -= sx;
      x = px;
    }
    if (y < py) {
      sy = py - y;
      down -= sy;
      y = py;
    }
    if (x + len > px + pl) len = px + pl - x;
    if (y + down > py + pd) down = py + pd - y;
  }
  // Never read past the picture, whatever size the owner asked for.
  len = std::min(len, bw - sx);
  down = std::min(down, bh - sy);
  if (len <= 0 || down <= 0) return;
  plat::draw_picture(hdc, x, y, bitmap, sx, sy, len, down);
}

void draw_bitmap(void* hdc, int x, int y, void* bitmap, tobject* parent) {
  draw_bitmap(hdc, x, y, -1, -1, bitmap, parent);
}

static void text_common(void* hdc, int x, int y, int len, int down, char active, unsigned format,
                        const char* text, tcolor* color, tcolor* background, tfont* font, tobject* parent) {
  if (!hdc || !text || !font) return;
  video_lock lock;
  void* dc = hdc;
  void* fresh = nullptr;
  if (parent) {
    int px = parent->x(), py = parent->y(), pl = parent->len(), pd = parent->down();
    if (x >= px + pl || y >= py + pd || x + len <= px || y + down <= py) return;
    if (x < px || y < py || x + len > px + pl || y + down > py + pd) {
      fresh = plat::get_dc(parent->hwnd);
      plat::rect clip = {px, py, px + pl, py + pd};
      plat::set_clip(fresh, &clip);
      dc = fresh;
    }
  }
  plat::rect r = {x, y, x + len, y + down};
  if (background) {
    if (format & 2) r.right -= 1;
    int l = r.left, t = r.top, rr = r.right, b = r.bottom;
    if (parent) {
      l = std::max(l, parent->x());
      t = std::max(t, parent->y());
      rr = std::min(rr, parent->x() + parent->len());
      b = std::min(b, parent->y() + parent->down());
    }
    plat::fill_rect(dc, l, t, rr, b, background->COLOR);
  }
  if (active) {
    plat::draw_text(dc, r, format, text, -1, color ? color->COLOR : 0, font->FONT);
  } else {
    // Engraved: a white copy one pixel down-right under the grey text.
    plat::rect shadow = {r.left + 1, r.top + 1, r.right + 1, r.bottom + 1};
    plat::draw_text(dc, shadow, format, text, -1, cWHITE.COLOR, font->FONT);
    plat::draw_text(dc, r, format, text, -1, cGRAY.COLOR, font->FONT);
  }
  if (fresh) plat::release_dc(parent->hwnd, fresh);
}

void draw_text(void* hdc, int x, int y, int len, int down, char active, unsigned format, const char* text,
               tcolor* color, tfont* font, tobject* parent) {
  text_common(hdc, x, y, len, down, active, format, text, color, nullptr, font, parent);
}

void draw_text(void* hdc, int x, int y, int len, int down, char active, unsigned format, const char* text,
               tcolor* color, tcolor* background, tfont* font, tobject* parent) {
  text_common(hdc, x, y, len, down, active, format, text, color, background, font, parent);
}

void draw_focus(void* hdc, int left, int top, int right, int bottom, tobject* parent) {
  if (!hdc) return;
  video_lock lock;
  if (parent) {
    left = std::max(left, parent->x());
    top = std::max(top, parent->y());
    right = std::min(right, parent->x() + parent->len());
    bottom = std::min(bottom, parent->y() + parent->down());
  }
  plat::focus_rect(hdc, left, top, right, bottom);
}

// ---- the number rule -----------------------------------------------------------

char* put(double value, int width, int group) {
  static std::string out;
  if (width < 0) width = 0;
  char s[512];
  snprintf(s, sizeof s, "%.6f", value);
  std::string txt = s;
  size_t point = txt.find('.');
  int p = point == std::string::npos ? (int)txt.size() : (int)point;
  if (p > width) {
    out.assign(width, '#');
    return &out[0];
  }
  int keep = std::max(p, width - 2);
  txt = txt.substr(0, std::min((size_t)keep + 1, txt.size()));
  if (txt.find('.') != std::string::npos) {
    while (!txt.empty() && txt.back() == '0') txt.pop_back();
    if (!txt.empty() && txt.back() == '.') txt.pop_back();
  }
  // Right-aligned from the last character to the first; before the point a
  // blank goes in front of every further group of three digits.
  std::string grouped;
  size_t dot = txt.find('.');
  int before = 0;
  for (int i = (int)txt.size() - 1; i >= 0; i--) {
    bool int_part = dot == std::string::npos || i < (int)dot;
    if (int_part) {
      // A leading minus is not a digit: "-123" must not become "- 123".
      if (group && before > 0 && before % 3 == 0 && txt[i] != '-') grouped.insert(grouped.begin(), ' ');
      before++;
    }
    grouped.insert(grouped.begin(), txt[i]);
  }
  const std::string& body = (int)grouped.size() <= width ? grouped : txt;
  out.assign(width, ' ');
  if ((int)body.size() <= width) out.replace(width - body.size(), body.size(), body);
  return &out[0];
}

// ---- tnull, tbox, tbitmap ------------------------------------------------------------

tnull::tnull(int x, int y, int len, int down) {
  X = x;
  Y = y;
  LEN = len;
  DOWN = down;
  set_object(this);
}

tnull::~tnull() { reset_object(); }

tbox::tbox(int x, int y, int len, int down, tcolor* color, tobject* parent) : CL(color) {
  X = x;
  Y = y;
  LEN = len;
  DOWN = down;
  OBJ = parent;
  set_object(this);
  update();
}

tbox::~tbox() { reset_object(); }

void tbox::color(tcolor* c) {
  CL = c;
  update();
}

tbox& tbox::operator<<(tcolor* c) {
  color(c);
  return *this;
}

void tbox::paint(void* dc) { draw_box(dc, x(), y(), x() + len(), y() + down(), CL, OBJ); }

// A missing picture is an empty element: nothing drawn and no size, so a
// layout built around it stays where it was meant to be.
tbitmap::tbitmap(int x, int y, int id, tobject* parent) : BITMAP(plat::load_picture(id)) {
  X = x;
  Y = y;
  size_bitmap(&LEN, &DOWN, BITMAP);
  OBJ = parent;
  XBM = X + LEN;
  YBM = Y + DOWN;
  set_object(this);
  update();
}

tbitmap::~tbitmap() {
  reset_object();
  plat::free_picture(BITMAP);
}

tbitmap& tbitmap::operator<<(int id) {
  // Our pictures may be partly transparent: the old one must not show
  // through the new one, so its place is erased at the next repaint.
  if (VISIBLE && LEN > 0 && DOWN > 0) {
    plat::rect r = {x(), y(), x() + LEN, y() + DOWN};
    plat::invalidate(hwnd, &r, true);
  }
  plat::free_picture(BITMAP);
  BITMAP = plat::load_picture(id);
  size_bitmap(&LEN, &DOWN, BITMAP);
  update();
  return *this;
}

void tbitmap::paint(void* dc) { draw_bitmap(dc, x(), y(), LEN, DOWN, BITMAP, OBJ); }

// ---- tborder -----------------------------------------------------------------------

tborder::tborder(int x, int y, int len, int down, char type, tobject* parent) : TYPE((signed char)type) {
  X = x;
  Y = y;
  LEN = len;
  DOWN = down;
  OBJ = parent;
  set_object(this);
  update();
}

tborder::tborder(tobject* of, char type, tobject* parent) : TYPE((signed char)type) {
  X = of->X;
  Y = of->Y;
  LEN = of->LEN;
  DOWN = of->DOWN;
  OBJ = parent;
  set_object(this);
  update();
}

tborder::~tborder() { reset_object(); }

tborder& tborder::operator<<(char type) {
  if (VISIBLE && TYPE != (signed char)type) {
    TYPE = (signed char)type;
    update();
  }
  return *this;
}

void tborder::hide(bool redraw) {
  if (!VISIBLE) return;
  VISIBLE = false;
  if (redraw) {
    plat::rect r = {x() - 2, y() - 2, x() + len() + 2, y() + down() + 2};
    plat::invalidate(hwnd, &r, true);
  }
}

void tborder::paint(void* dc) {
  tcolor *in_tl = nullptr, *in_br = nullptr, *out_tl = nullptr, *out_br = nullptr;
  switch (TYPE) {
    case 1: out_tl = &cWHITE; out_br = &cBLACK; break;
    case 2: in_tl = &cLLGRAY; in_br = &cGRAY; out_tl = &cWHITE; out_br = &cBLACK; break;
    case -1: out_tl = &cBLACK; out_br = &cWHITE; break;
    case -2: in_tl = &cGRAY; in_br = &cLLGRAY; out_tl = &cBLACK; out_br = &cWHITE; break;
    case 3:
    case -3: out_tl = &cGRAY; out_br = &cGRAY; break;
    default: return;
  }
  int l = x(), t = y(), w = len(), d = down();
  auto ring = [&](int k, tcolor* tl, tcolor* br) {
    int x0 = l - k, y0 = t - k, x1 = l + w - 1 + k, y1 = t + d - 1 + k;
    draw_line(dc, x0, y0, x1, y0, tl, OBJ);
    draw_line(dc, x0, y0, x0, y1, tl, OBJ);
    draw_line(dc, x1, y0, x1, y1, br, OBJ);
    draw_line(dc, x0, y1, x1, y1, br, OBJ);
  };
  if (in_tl) ring(1, in_tl, in_br);
  ring(2, out_tl, out_br);
}

// ---- ttext ---------------------------------------------------------------------------

static char* copy_text(const char* s) {
  size_t n = s ? std::strlen(s) : 0;
  char* c = new char[n + 1];
  if (n) std::memcpy(c, s, n);
  c[n] = 0;
  return c;
}

void ttext::create(int x, int y, int len, char type, const char* text, tcolor* textcolor, tcolor* background) {
  X = x;
  Y = y;
  TC = textcolor;
  TYPE = type;
  SSEL = ESEL = 0;
  DIGIT = 0;
  FORMAT = type == 1 ? 2 : 0;
  FONT = new tfont("MS Sans Serif", 14);
  DOWN = 14;
  LEN = (len >= 0 && type != 2 && type != 3) ? len : FONT->strlen(text ? text : "");
  PASS_STR = false;
  PASS_TXT = nullptr;
  DIGIT_ONLY = false;
  BOX = new tbox(X, Y, LEN, DOWN, background, nullptr);
  TXT = copy_text(text);
  XT = X + this->len();
  YT = Y + down();
  set_object(this);
  update();
}

ttext::ttext(int x, int y, const char* text, int len) { create(x, y, len, 0, text, &cBLACK, &cLGRAY); }

ttext::ttext(int x, int y, const char* text, tcolor* textcolor, tcolor* background, int len) {
  create(x, y, len, 0, text, textcolor, background);
}

ttext::ttext(int x, int y, double value, int width, int len) {
  create(x, y, len, 1, put(value, width, 1), &cBLACK, &cLGRAY);
  DIGIT = value;
}

ttext::ttext(int x, int y, double value, int width, tcolor* textcolor, tcolor* background, int len) {
  create(x, y, len, 1, put(value, width, 1), textcolor, background);
  DIGIT = value;
}

ttext::ttext(int x, int y, tdate date) : DATE(date) { create(x, y, -1, 2, date.string(), &cBLACK, &cLGRAY); }

ttext::ttext(int x, int y, tdate date, tcolor* textcolor, tcolor* background) : DATE(date) {
  create(x, y, -1, 2, date.string(), textcolor, background);
}

ttext::ttext(int x, int y, ttime time) : TIME(time) { create(x, y, -1, 3, time.string(), &cBLACK, &cLGRAY); }

ttext::ttext(int x, int y, ttime time, tcolor* textcolor, tcolor* background) : TIME(time) {
  create(x, y, -1, 3, time.string(), textcolor, background);
}

ttext::~ttext() {
  delete[] TXT;
  delete[] PASS_TXT;
  delete FONT;
  reset_object();
  delete BOX;
}

void ttext::set_text(const char* text) {
  char* c = copy_text(text);
  delete[] TXT;
  TXT = c;
}

ttext& ttext::operator<<(const char* text) {
  if (!text) {
    clear();
    return *this;
  }
  FORMAT = 0;
  TYPE = 0;
  set_text(text);
  update();
  return *this;
}

ttext& ttext::operator<<(double value) {
  FORMAT = 2;
  TYPE = 1;
  DIGIT = value;
  set_text(put(value, (int)std::strlen(TXT), 1));
  update();
  return *this;
}

ttext& ttext::operator<<(tdate date) {
  TYPE = 2;
  FORMAT = 0;
  DATE = date;
  set_text(date.string());
  update();
  return *this;
}

ttext& ttext::operator<<(ttime time) {
  TYPE = 3;
  FORMAT = 0;
  TIME = time;
  set_text(time.string());
  update();
  return *this;
}

char* ttext::text() { return TXT; }

char* ttext::pass_text() {
  if (!PASS_STR) return TXT;
  delete[] PASS_TXT;
  PASS_TXT = copy_text(TXT);
  for (char* p = PASS_TXT; *p; p++)
    if (*p != ' ') *p = '*';
  return PASS_TXT;
}

double ttext::digit() { return DIGIT; }
tdate ttext::date() { return DATE; }
ttime ttext::time() { return TIME; }

void ttext::color(tcolor* textcolor, tcolor* background) {
  TC = textcolor;
  BOX->color(background);
  update();
}

void ttext::clear() {
  for (char* p = TXT; *p; p++) *p = ' ';
  update();
}

void ttext::show(bool redraw) {
  if (VISIBLE) return;
  VISIBLE = true;
  BOX->show(redraw);
  if (redraw) update();
}

void ttext::hide(bool redraw) {
  VISIBLE = false;
  BOX->hide(redraw);
}

void ttext::on() {
  if (ACTIVATE) return;
  ACTIVATE = true;
  BOX->on();
  update();
}

void ttext::off() {
  if (!ACTIVATE) return;
  ACTIVATE = false;
  BOX->off();
  update();
}

void ttext::move(int dx, int dy) {
  XSM = dx;
  YSM = dy;
  BOX->move(dx, dy);
  update();
}

void ttext::_move(int dx, int dy) {
  _XSM = dx;
  _YSM = dy;
  BOX->_move(dx, dy);
  update();
}

void ttext::paint(void* dc) {
  char* shown = pass_text();
  draw_text(dc, x(), y(), len(), down(), ACTIVATE, FORMAT, shown, TC, FONT, OBJ);
  if (SSEL < ESEL) {
    int n = (int)std::strlen(shown);
    if (SSEL < 0) SSEL = 0;
    if (ESEL > n - 1) ESEL = n;
    if (SSEL >= ESEL) return;
    int left = x() + FONT->strlen(shown, SSEL);
    int w = FONT->strlen(shown + SSEL, ESEL - SSEL);
    draw_box(dc, left, y(), left + w, y() + down(), &cDBLUE, OBJ);
    std::string sel(shown + SSEL, ESEL - SSEL);
    draw_text(dc, left, y(), w, down(), 1, 0, sel.c_str(), &cWHITE, FONT, OBJ);
  }
}

void ttext::update() {
  BOX->update();
  if (VISIBLE) paint(hdc);
}
