// The two scroll bars: one track, laid out along either axis.
#include "class/grid.h"

#include <algorithm>

#include "platform/platform.h"

int GL_ID = 1000000;

namespace {

const int BAR = tscrollbar::THICKNESS;

// Moves an arrow button and its parts by the bar's offsets. Set directly:
// tbut::move would paint at every step of a relayout.
void shift_button(tbut* b, int dx, int dy) {
  b->XSM = dx;
  b->YSM = dy;
  if (b->BMP) {
    b->BMP->XSM = dx;
    b->BMP->YSM = dy;
  }
  if (b->BRD) {
    b->BRD->XSM = dx;
    b->BRD->YSM = dy;
  }
}

void place(tobject* o, int x, int y, int len, int down) {
  o->X = x;
  o->Y = y;
  o->LEN = len;
  o->DOWN = down;
}

void paint_part(tobject* o, void* dc) {
  if (o->VISIBLE) o->paint(dc);
}

// Thumb length and start along a track of length track starting at start.
void thumb(int start, int track, int max, int pos, int* a, int* from) {
  if (track < 0) track = 0;
  if (max < 2) {
    *a = track;
    *from = start;
    return;
  }
  int len = track / max;
  if (len < 16) len = track <= 16 ? track - 2 : 16;
  if (len < 0) len = 0;
  *a = len;
  *from = start + pos * (track - len) / (max - 1);
}

// The position a dragged thumb asks for; false when it asks for nothing
// new (the same position, or past an end the bar already sits on).
bool drag_position(int pointer, int start, int track, int a, int max, int pos, int* out) {
  if (track - a <= 0) return false;
  int p = (pointer - start - a / 2) * max / (track - a);
  if (p < 0) p = 0;
  if (p > max - 1) p = max - 1;
  if (p == pos) return false;
  *out = p;
  return true;
}

tsbutton* arrow(int x, int y, int picture, int code) {
  tsbutton* b = new tsbutton(x, y, picture, nullptr, 0, 0, code, nullptr, 2, nullptr, &cLGRAY);
  b->off();
  return b;
}

}  // namespace

// ---- making and unmaking ------------------------------------------------------------

tscrollbar::tscrollbar(orientation o, int x, int y, int length, int key, int back_picture, int forward_picture)
    : KEY(key),
      KEY_BASE(GL_ID),
      STEP(4),
      MAX(0),
      POS(0),
      PMT(0),
      AXIS(o),
      TRACK(nullptr),
      BEFORE(nullptr),
      AFTER(nullptr) {
  X = x;
  Y = y;
  LEN = vertical() ? BAR : length;
  DOWN = vertical() ? length : BAR;
  GL_ID += 2;
  int end = length >= 0 ? along(x, y) + length - BAR : length - BAR;
  BPR = arrow(x, y, back_picture, KEY_BASE);
  BNX = arrow(vertical() ? x : end, vertical() ? end : y, forward_picture, KEY_BASE + 1);
}

int tscrollbar::track_length(int length) { return length >= 0 ? length - 2 * BAR : length - BAR; }

// Empty, at the track's start, until the first layout.
void tscrollbar::put_thumb_on(tobject* track) {
  TRACK = track;
  int len = vertical() ? BAR : 0, down = vertical() ? 0 : BAR;
  SBOX = new tbox(track->X, track->Y, len, down, &cLGRAY);
  SBRD = new tborder(track->X + 2, track->Y + 2, len ? len - 4 : 0, down ? down - 4 : 0, 2);
}

void tscrollbar::mark_paging_with(tbox* before, tbox* after) {
  BEFORE = before;
  AFTER = after;
}

// In the reverse order of making: each part leaves the registry as the
// last one in it.
tscrollbar::~tscrollbar() {
  reset_object();
  delete AFTER;
  delete BEFORE;
  delete SBRD;
  delete SBOX;
  delete TRACK;
  delete BNX;
  delete BPR;
  GL_ID -= 2;
}

std::array<tobject*, 5> tscrollbar::track_parts() { return {TRACK, SBOX, SBRD, BEFORE, AFTER}; }

// ---- layout and painting ------------------------------------------------------------

void tscrollbar::place_on_track(tobject* o, int from, int length, int inset) {
  int side = vertical() ? TRACK->x() : TRACK->y();
  if (vertical()) place(o, side + inset, from, BAR - 2 * inset, length);
  else place(o, from, side + inset, length, BAR - 2 * inset);
}

// The bar's offsets move every part; growing the bar moves the far arrow
// and lengthens the track.
void tscrollbar::layout() {
  int sx = XSM + _XSM, sy = YSM + _YSM, grow = vertical() ? DSM + _DSM : LSM + _LSM;
  shift_button(BPR, sx, sy);
  shift_button(BNX, vertical() ? sx : sx + grow, vertical() ? sy + grow : sy);
  TRACK->XSM = sx;
  TRACK->YSM = sy;
  (vertical() ? TRACK->DSM : TRACK->LSM) = grow;
  int start = start_of(TRACK), track = std::max(0, extent(TRACK));
  int a, from;
  thumb(start, track, MAX, POS, &a, &from);
  place_on_track(SBOX, from, a, 0);
  place_on_track(SBRD, from + 2, a - 4, 2);
  if (!BEFORE) return;
  place_on_track(BEFORE, start, from - start, 0);
  place_on_track(AFTER, from + a, start + track - from - a, 0);
  BEFORE->CL = state() == PAGING_BACK ? &cBLACK : &cLLGRAY;
  AFTER->CL = state() == PAGING_FORWARD ? &cBLACK : &cLLGRAY;
}

void tscrollbar::paint_track(void* dc) {
  paint_part(TRACK, dc);
  if (BEFORE) {
    paint_part(BEFORE, dc);
    paint_part(AFTER, dc);
  }
  paint_part(SBOX, dc);
  paint_part(SBRD, dc);
}

// The parts were painted before the bar (they are registered first); the
// window may have been resized since the last layout, so the bar lays out
// again and paints its moving parts over them.
void tscrollbar::paint(void* dc) {
  layout();
  paint_track(dc);
}

void tscrollbar::update() {
  layout();
  if (!VISIBLE) return;
  BPR->update();
  BNX->update();
  paint_track(hdc);
}

// ---- position -----------------------------------------------------------------------

int tscrollbar::pos() { return POS; }

void tscrollbar::set_pos(int p) {
  if (p > MAX - 1) p = MAX - 1;
  if (p < 0) p = 0;
  POS = p;
  layout();
  if (VISIBLE) paint_track(hdc);
  test_key();
}

bool tscrollbar::operator++() {
  if (POS >= MAX - 1) return false;
  set_pos(POS + 1);
  return true;
}

bool tscrollbar::operator--() {
  if (POS <= 0) return false;
  set_pos(POS - 1);
  return true;
}

void tscrollbar::max(int n) {
  if (n == MAX) return;
  MAX = n;
  set_pos(POS);
}

void tscrollbar::test_key() {
  if (ACTIVATE && POS > 0) BPR->on();
  else BPR->off();
  if (ACTIVATE && POS < MAX - 1) BNX->on();
  else BNX->off();
}

// ---- show, hide, enable, move -------------------------------------------------------

void tscrollbar::show(bool redraw) {
  if (VISIBLE) return;
  VISIBLE = true;
  BPR->show(false);
  BNX->show(false);
  for (tobject* o : track_parts())
    if (o) o->show(false);
  layout();
  if (redraw) update();
}

void tscrollbar::hide(bool redraw) {
  if (!VISIBLE) return;
  VISIBLE = false;
  set_state(IDLE);
  BPR->hide(false);
  BNX->hide(false);
  for (tobject* o : track_parts())
    if (o) o->hide(false);
  if (redraw) {
    plat::rect r = {x(), y(), x() + len(), y() + down()};
    plat::invalidate(hwnd, &r, true);
  }
}

void tscrollbar::on() {
  ACTIVATE = true;
  for (tobject* o : track_parts())
    if (o) o->on();
  test_key();
}

void tscrollbar::off() {
  ACTIVATE = false;
  set_state(IDLE);
  BPR->off();
  BNX->off();
  for (tobject* o : track_parts())
    if (o) o->off();
}

void tscrollbar::move(int dx, int dy) {
  XSM = dx;
  YSM = dy;
  update();
}

void tscrollbar::_move(int dx, int dy) {
  _XSM = dx;
  _YSM = dy;
  update();
}

// ---- events -------------------------------------------------------------------------

int tscrollbar::message(int code) {
  if (MAX < 2) return 0;
  if (code == KEY_BASE) return --*this ? KEY : 0;
  if (code == KEY_BASE + 1) return ++*this ? KEY : 0;
  switch (code) {
    case CMD_MOUSE_LDOWN:
      return press();
    case CMD_TICK:
      return repeat();
    case CMD_MOUSE_MOVE:
      return pointer_moved();
    // A release ends a drag or paging at once: otherwise a press elsewhere
    // before the next move would still count as dragging.
    case CMD_MOUSE_LUP:
    case CMD_POINTER_LEFT:
      end_gesture();
      return 0;
  }
  return 0;
}

// One page towards the side being paged; false when the bar is already at
// that end.
bool tscrollbar::page() {
  int old = POS;
  set_pos(POS + (state() == PAGING_BACK ? -STEP : STEP));
  return POS != old;
}

// On the thumb a drag begins; elsewhere on the track a page, which repeats
// while the button is held (repeat).
int tscrollbar::press() {
  if (SBOX->mouse_inside()) {
    set_state(DRAGGING);
    return 0;
  }
  if (!TRACK->mouse_inside()) return 0;
  PMT = 5;
  set_state(along(MOUSE_X, MOUSE_Y) < start_of(SBOX) ? PAGING_BACK : PAGING_FORWARD);
  if (page()) return KEY;
  // Nothing moved, but the track shows the side being paged.
  paint_track(hdc);
  return 0;
}

// Half a second after the press, then every tenth, for as long as the
// pointer stays on the paging side of the thumb.
int tscrollbar::repeat() {
  gesture g = state();
  bool paging = g == PAGING_BACK || g == PAGING_FORWARD;
  if (!paging || !MOUSE_LBUTTON || !TRACK->mouse_inside() || PMT != 0) return 0;
  int pointer = along(MOUSE_X, MOUSE_Y), from = start_of(SBOX);
  bool side = g == PAGING_BACK ? pointer < from : pointer >= from + extent(SBOX);
  if (!side) return 0;
  PMT = 1;
  return page() ? KEY : 0;
}

int tscrollbar::pointer_moved() {
  // The button went up where the bar did not see it.
  if (state() != IDLE && !MOUSE_LBUTTON) {
    end_gesture();
    return 0;
  }
  if (state() != DRAGGING) return 0;
  int p;
  if (!drag_position(along(MOUSE_X, MOUSE_Y), start_of(TRACK), extent(TRACK), extent(SBOX), MAX, POS, &p)) return 0;
  set_pos(p);
  return KEY;
}

// The whole bar again: a track that showed the paging turns light.
void tscrollbar::end_gesture() {
  if (state() == IDLE) return;
  set_state(IDLE);
  update();
}

// ---- the vertical bar ---------------------------------------------------------------

// The track itself draws nothing: the boxes above and below the thumb do.
tvsb::tvsb(int x, int y, int down, int key) : tscrollbar(VERTICAL, x, y, down, key, 204, 202), SELECTED(IDLE) {
  SB = new tnull(x, y + BAR, BAR, track_length(down));
  put_thumb_on(SB);
  SBU = new tbox(x, y + BAR, BAR, 0, &cLLGRAY);
  SBD = new tbox(x, y + BAR, BAR, 0, &cLLGRAY);
  mark_paging_with(SBU, SBD);
  set_object(this);
  update();
}

tvsb& tvsb::operator=(int p) {
  set_pos(p);
  return *this;
}

tscrollbar::gesture tvsb::state() { return (gesture)SELECTED; }
void tvsb::set_state(gesture g) { SELECTED = g; }

// ---- the horizontal bar -------------------------------------------------------------

tgsb::tgsb(int x, int y, int len, int key)
    : tscrollbar(HORIZONTAL, x, y, len, key, 206, 208), SELECTED(false), PAGING(IDLE) {
  SB = new tbox(x + BAR, y, track_length(len), BAR, &cLLGRAY);
  put_thumb_on(SB);
  set_object(this);
  update();
}

tgsb& tgsb::operator=(int p) {
  set_pos(p);
  return *this;
}

tscrollbar::gesture tgsb::state() { return SELECTED ? DRAGGING : PAGING; }

void tgsb::set_state(gesture g) {
  SELECTED = g == DRAGGING;
  PAGING = g == DRAGGING ? IDLE : g;
}
