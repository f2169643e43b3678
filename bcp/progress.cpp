#include "bcp/progress.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "class/class.h"
#include "platform/platform.h"

namespace {

const int CELLS = 50;

// How long one drawing step may pump while it waits for the repaint code.
// The repaint just asked for queues CMD_REPAINT at once when the window can
// be painted, so the wait normally ends with the codes already queued. A
// window that is hidden is never painted and nothing else promises a
// CMD_REPAINT, so it is not waited for at all; and a visible one gets a
// short, fixed time, so a stuck or busy desktop costs an operation at most
// this much per cell (50 cells per bar) instead of hanging it in the middle
// of writing a device.
const uint32_t REPAINT_WAIT_MS = 200;

// A view of one bar's state inside its owner.
struct bar {
  int& max;
  int& pos;
  int& opos;
  tbox** box;
  ttext* complete;
};

// Cells for a step count, in wide arithmetic so that no maximum or count can
// overflow. Below zero the bar is empty; above 50 the count is kept (the
// percentage goes on rising with extra steps) but bounded so that twice it
// still fits an int.
int cells_for(int pos, int max) {
  long long n = (long long)pos * CELLS / (max ? max : 1);
  if (n < 0) return 0;
  return (int)std::min<long long>(n, INT_MAX / 2);
}

int saturating_add(int a, int b) {
  long long s = (long long)a + b;
  return (int)std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, s));
}

void paint_cells(tbox** box, int from, int to, tcolor* color) {
  from = std::max(from, 0);
  to = std::min(to, CELLS);
  for (int i = from; i < to; i++) box[i]->color(color);
}

void make_cells(tbox** box, int y) {
  for (int i = 0; i < CELLS; i++) box[i] = new tbox(4 + 4 * i, y, 2, 10, &cGRAY);
}

void free_cells(tbox** box) {
  for (int i = CELLS - 1; i >= 0; i--) delete box[i];
}

void repaint_and_pump() {
  void* w = THWND;
  plat::invalidate(w, nullptr, true);
  plat::update_window(w);
  if (w && plat::is_visible(w)) {
    uint32_t start = plat::tick();
    // After the end of the session every read yields CMD_CLOSE and no
    // repaint will come.
    while (!END_SESSION && getkey() != CMD_REPAINT && plat::tick() - start < REPAINT_WAIT_MS) {
    }
  }
  // The codes may all have come from the queue, without the pump ever
  // waiting, which is where drawing reaches the screen otherwise.
  plat::present();
}

void show(bar b, int cells) {
  *b.complete << (double)cells * 2;
  repaint_and_pump();
}

bool bar_step(bar b) {
  b.pos = saturating_add(b.pos, 1);
  int n = cells_for(b.pos, b.max);
  if (n <= b.opos) return true;
  paint_cells(b.box, b.opos, n, &cGREEN);
  b.opos = n;
  show(b, n);
  return true;
}

void bar_set(bar b, int n) {
  b.pos = n;
  int m = cells_for(n, b.max);
  if (m == b.opos) return;
  paint_cells(b.box, m > b.opos ? b.opos : 0, m, &cGREEN);
  b.opos = m;
  paint_cells(b.box, m, CELLS, &cGRAY);
  show(b, m);
}

int nonzero(int n) { return n ? n : 1; }

}  // namespace

// ---- _progress ------------------------------------------------------------------

// Under a dialog sink (a program without windows) no window opens: the
// sink hears of the steps instead, and nothing starts the video subsystem.
_progress::_progress(const char* title, int max)
    : MAX(nonzero(max)), POS(0), OPOS(0), WIN(nullptr), BOX{}, TITLE(nullptr), COMPLETE(nullptr), TEMP(nullptr) {
  if (DIALOG_SINK) {
    DIALOG_SINK->progress_open(title ? title : "", MAX);
    return;
  }
  WIN = new twindow(235, 38, 0);
  // Made in the reverse order of their destruction: the element registry
  // is a stack.
  TITLE = new ttext(4, 3, title);
  COMPLETE = new ttext(-34, 19, 0.0, 3, 20);
  TEMP = new ttext(-14, 19, "%");
  make_cells(BOX, 21);
  set_cursor(plat::load_cursor(IDC_WAIT));
  // The operation that follows blocks without pumping, and a bar of many
  // steps may not draw for a while: put the window on screen now.
  plat::present();
}

_progress::~_progress() {
  if (!WIN) {
    if (DIALOG_SINK) DIALOG_SINK->progress_close();
    return;
  }
  free_cells(BOX);
  delete TEMP;
  delete COMPLETE;
  delete TITLE;
  delete WIN;
  set_cursor(plat::load_cursor(IDC_ARROW));
}

bool _progress::step() {
  if (!WIN) {
    POS = saturating_add(POS, 1);
    if (DIALOG_SINK) DIALOG_SINK->progress_step(POS, MAX);
    return true;
  }
  return bar_step(bar{MAX, POS, OPOS, BOX, COMPLETE});
}

void _progress::set(int n) {
  if (!WIN) {
    POS = n;
    if (DIALOG_SINK) DIALOG_SINK->progress_step(POS, MAX);
    return;
  }
  bar_set(bar{MAX, POS, OPOS, BOX, COMPLETE}, n);
}

_progress& _progress::operator=(int n) {
  set(n);
  return *this;
}

_progress& _progress::operator+=(int n) {
  set(saturating_add(POS, n));
  return *this;
}

void _progress::max(int n) { MAX = nonzero(n); }

// ---- _dprogress -----------------------------------------------------------------

_dprogress::_dprogress(const char* title, int max1, int max2)
    : MAX1(nonzero(max1)), MAX2(nonzero(max2)), POS1(0), POS2(0), OPOS1(0), OPOS2(0) {
  WIN = new twindow(235, 58, 0);
  TITLE = new ttext(4, 3, title);
  COMPLETE1 = new ttext(-34, 19, 0.0, 3, 20);
  COMPLETE2 = new ttext(-34, 39, 0.0, 3, 20);
  TEMP1 = new ttext(-14, 19, "%");
  TEMP2 = new ttext(-14, 39, "%");
  make_cells(BOX1, 21);
  make_cells(BOX2, 41);
  set_cursor(plat::load_cursor(IDC_WAIT));
  plat::present();
}

_dprogress::~_dprogress() {
  free_cells(BOX2);
  free_cells(BOX1);
  delete TEMP2;
  delete TEMP1;
  delete COMPLETE2;
  delete COMPLETE1;
  delete TITLE;
  delete WIN;
  set_cursor(plat::load_cursor(IDC_ARROW));
}

bool _dprogress::step1() { return bar_step(bar{MAX1, POS1, OPOS1, BOX1, COMPLETE1}); }
bool _dprogress::step2() { return bar_step(bar{MAX2, POS2, OPOS2, BOX2, COMPLETE2}); }
void _dprogress::set1(int n) { bar_set(bar{MAX1, POS1, OPOS1, BOX1, COMPLETE1}, n); }
void _dprogress::set2(int n) { bar_set(bar{MAX2, POS2, OPOS2, BOX2, COMPLETE2}, n); }

_dprogress& _dprogress::operator=(int n) {
  set1(n);
  return *this;
}

void _dprogress::max1(int n) { MAX1 = nonzero(n); }
void _dprogress::max2(int n) { MAX2 = nonzero(n); }
