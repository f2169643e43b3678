// Progress and wait windows: which cells are filled (read from the window's
// pixels), the percentage, the repaint-and-pump step and its bound.
#include <unistd.h>

#include <climits>
#include <string>

#include "bcp/bcp.h"
#include "tests/unit/toolkit.h"

namespace {

uint32_t px(void* hwnd, int x, int y) { return plat::get_pixel(hwnd, x, y); }

// Number of green cells of the bar whose cells start at y, or -1 when the
// green ones are not a run from the first cell, or when anything between or
// after the cells is green.
int green_cells(void* hwnd, int y) {
  int n = 0;
  bool gap = false;
  for (int i = 0; i < 50; i++) {
    int x = 4 + 4 * i;
    bool g = px(hwnd, x, y) == cGREEN.COLOR && px(hwnd, x + 1, y + 9) == cGREEN.COLOR;
    if (!g && px(hwnd, x, y) != cGRAY.COLOR) return -1;
    if (g && gap) return -1;
    if (g) n++;
    else gap = true;
    // The gaps; the percentage begins right after the last cell.
    if (i < 49 && (px(hwnd, x + 2, y + 5) != cLGRAY.COLOR || px(hwnd, x + 3, y + 5) != cLGRAY.COLOR))
      return -1;
  }
  if (px(hwnd, 3, y + 5) != cLGRAY.COLOR || px(hwnd, 202, y + 9) == cGREEN.COLOR || px(hwnd, 4, y - 1) != cLGRAY.COLOR ||
      px(hwnd, 4, y + 10) != cLGRAY.COLOR)
    return -1;
  return n;
}

// Whether code is still waiting in the event ring.
bool pending(int code) {
  for (int i = CURRENT; i != LAST; i = (i + 1) % KEY_RING)
    if (KEY[i].code == code) return true;
  return false;
}

std::string shown(ttext* t) { return t->text(); }

int pointer() { return plat::cursor_id(plat::get_cursor()); }

class Progress : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
  twindow main_{400, 200, "main"};
};

TEST_F(Progress, LayoutAndPointer) {
  {
    _progress p("Прошивка устройства", 256);
    plat::rect r;
    plat::get_client_rect(p.WIN->hwnd, &r);
    EXPECT_EQ(r.right, 235);
    EXPECT_EQ(r.bottom, 38);
    EXPECT_EQ(THWND, p.WIN->hwnd);
    EXPECT_EQ(p.TITLE->x(), 4);
    EXPECT_EQ(p.TITLE->y(), 3);
    EXPECT_EQ(p.COMPLETE->x(), 236 - 34);
    EXPECT_EQ(p.COMPLETE->y(), 19);
    EXPECT_EQ(p.COMPLETE->len(), 20);
    EXPECT_EQ(p.TEMP->x(), 236 - 14);
    EXPECT_EQ(shown(p.TEMP), "%");
    EXPECT_EQ(shown(p.COMPLETE), "  0");
    EXPECT_EQ(green_cells(p.WIN->hwnd, 21), 0);
    EXPECT_EQ(pointer(), IDC_WAIT);
  }
  EXPECT_EQ(pointer(), IDC_ARROW);
  EXPECT_EQ(THWND, main_.hwnd);
}

TEST_F(Progress, OfTwoHundredFiftySixStepsTheFirstCellComesWithTheSixth) {
  _progress p("Прошивка устройства", 256);
  void* h = p.WIN->hwnd;
  pump_for(50);
  set_key(1234, main_.hwnd, 0, 0, 0);
  for (int i = 1; i <= 5; i++) {
    EXPECT_TRUE(p.step());
    EXPECT_EQ(green_cells(h, 21), 0) << "step " << i;
    EXPECT_EQ(shown(p.COMPLETE), "  0");
  }
  EXPECT_TRUE(pending(1234)) << "a step that changes no cell reads no event";
  EXPECT_TRUE(p.step());
  EXPECT_EQ(p.OPOS, 1);
  EXPECT_EQ(green_cells(h, 21), 1);
  EXPECT_EQ(shown(p.COMPLETE), "  2");
  EXPECT_FALSE(pending(1234)) << "codes read while waiting for the repaint are dropped";
  for (int i = 7; i <= 255; i++) p.step();
  EXPECT_EQ(green_cells(h, 21), 49);
  EXPECT_EQ(shown(p.COMPLETE), " 98");
  p.step();
  EXPECT_EQ(green_cells(h, 21), 50);
  EXPECT_EQ(shown(p.COMPLETE), "100");
  // What was drawn survives a repaint of the window.
  plat::invalidate(h, nullptr, true);
  ASSERT_TRUE(pump_until(CMD_REPAINT));
  EXPECT_EQ(green_cells(h, 21), 50);
}

TEST_F(Progress, MaximumZeroMeansOneAndStepsBeyondTheMaximumKeepCounting) {
  _progress z("zero", 0);
  EXPECT_EQ(z.MAX, 1);
  z.step();
  EXPECT_EQ(green_cells(z.WIN->hwnd, 21), 50);
  EXPECT_EQ(shown(z.COMPLETE), "100");
  z.max(0);
  EXPECT_EQ(z.MAX, 1);
  EXPECT_EQ(green_cells(z.WIN->hwnd, 21), 50) << "a new maximum redraws nothing";

  _progress p("ten", 10);
  for (int i = 0; i < 10; i++) p.step();
  EXPECT_EQ(shown(p.COMPLETE), "100");
  p.step();
  EXPECT_EQ(p.OPOS, 55);
  EXPECT_EQ(shown(p.COMPLETE), "110");
  EXPECT_EQ(green_cells(p.WIN->hwnd, 21), 50);
  p += 3;
  EXPECT_EQ(p.POS, 14);
  EXPECT_EQ(shown(p.COMPLETE), "140");
}

TEST_F(Progress, SetBackwardsClearsTheCellsAboveAndForwardFillsUpTo) {
  _progress p("set", 100);
  void* h = p.WIN->hwnd;
  p = 60;
  EXPECT_EQ(green_cells(h, 21), 30);
  EXPECT_EQ(shown(p.COMPLETE), " 60");
  p.set(20);
  EXPECT_EQ(p.POS, 20);
  EXPECT_EQ(p.OPOS, 10);
  EXPECT_EQ(green_cells(h, 21), 10);
  EXPECT_EQ(shown(p.COMPLETE), " 20");
  p += 50;
  EXPECT_EQ(green_cells(h, 21), 35);
  EXPECT_EQ(shown(p.COMPLETE), " 70");
  p.set(0);
  EXPECT_EQ(green_cells(h, 21), 0);
  EXPECT_EQ(shown(p.COMPLETE), "  0");
}

// No maximum and no step count may reach outside the 50 cells or overflow.
TEST_F(Progress, AnyMaximumAndAnyCountStayInsideTheCells) {
  const int maxima[] = {0, 1, -1, -7, 3, INT_MAX, INT_MIN};
  const int counts[] = {INT_MIN, -100, -1, 0, 1, 25, 50, 51, 1000, INT_MAX, 7, INT_MIN};
  for (int m : maxima) {
    _progress p("edge", m);
    void* h = p.WIN->hwnd;
    for (int n : counts) {
      p.set(n);
      p.step();
      p += n;
      p += INT_MAX;
      p.step();
      p.set(n);
      int g = green_cells(h, 21);
      ASSERT_GE(g, 0) << "max " << m << " set " << n;
      ASSERT_GE(p.OPOS, 0);
      EXPECT_EQ(g, p.OPOS < 50 ? p.OPOS : 50) << "max " << m << " set " << n;
    }
    p.max(-3);
    for (int i = 0; i < 5; i++) p.step();
    ASSERT_GE(green_cells(h, 21), 0);
  }
}

TEST_F(Progress, TheRepaintWaitIsBounded) {
  _progress p("hidden", 50);
  pump_for(50);
  p.WIN->hide();
  set_key(1234, main_.hwnd, 0, 0, 0);
  uint32_t start = plat::tick();
  for (int i = 0; i < 50; i++) p.step();
  EXPECT_LT(plat::tick() - start, 1000u) << "a hidden window is not waited for";
  EXPECT_EQ(p.OPOS, 50);
  EXPECT_EQ(shown(p.COMPLETE), "100");
  EXPECT_TRUE(pending(1234)) << "nothing was pumped for a hidden window";

  // After the end of the session no repaint code can come.
  p.WIN->show();
  p.set(0);
  END_SESSION = true;
  start = plat::tick();
  for (int i = 0; i < 50; i++) p.step();
  EXPECT_LT(plat::tick() - start, 1000u);
  EXPECT_EQ(p.OPOS, 50);
  END_SESSION = false;
}

// A visible window whose repaint code never arrives (here a full event ring
// drops it) costs each drawing step a short wait, never the operation.
TEST_F(Progress, TheRepaintWaitOfAVisibleWindowIsBounded) {
  _progress p("visible", 50);
  pump_for(50);
  ASSERT_TRUE(plat::is_visible(p.WIN->hwnd));
  alarm(60);  // a wait without bound kills the test instead of hanging it
  for (int n = 1; n <= 3; n++) {
    for (int i = 0; i < KEY_RING; i++) set_key(1234, main_.hwnd, 0, 0, 0);
    uint32_t start = plat::tick();
    EXPECT_TRUE(p.step());
    EXPECT_LT(plat::tick() - start, 5000u) << "step " << n;
    EXPECT_EQ(p.OPOS, n);
    EXPECT_EQ(green_cells(p.WIN->hwnd, 21), n);
    EXPECT_FALSE(pending(1234)) << "the wait pumped what was queued";
  }
  alarm(0);
}

TEST_F(Progress, DoubleBarsMoveIndependently) {
  {
    _dprogress d("two", 256, 0);
    void* h = d.WIN->hwnd;
    plat::rect r;
    plat::get_client_rect(h, &r);
    EXPECT_EQ(r.bottom, 58);
    EXPECT_EQ(d.MAX2, 1);
    EXPECT_EQ(d.COMPLETE2->y(), 39);
    EXPECT_EQ(d.TEMP2->y(), 39);
    for (int i = 0; i < 6; i++) d.step1();
    EXPECT_EQ(green_cells(h, 21), 1);
    EXPECT_EQ(green_cells(h, 41), 0);
    EXPECT_EQ(shown(d.COMPLETE1), "  2");
    EXPECT_EQ(shown(d.COMPLETE2), "  0");
    d.step2();
    EXPECT_EQ(green_cells(h, 41), 50);
    EXPECT_EQ(shown(d.COMPLETE2), "100");
    d = 128;
    EXPECT_EQ(green_cells(h, 21), 25);
    d.max2(4);
    d.set2(1);
    EXPECT_EQ(green_cells(h, 41), 12);
    EXPECT_EQ(shown(d.COMPLETE2), " 24");
    EXPECT_EQ(green_cells(h, 21), 25);
    EXPECT_EQ(pointer(), IDC_WAIT);
  }
  EXPECT_EQ(pointer(), IDC_ARROW);
}

TEST_F(Progress, TitledWaitRunsItsBarInCyclesOfOneHundredOneSteps) {
  _wait w("Подождите");
  void* h = w.WIN->hwnd;
  plat::rect r;
  plat::get_client_rect(h, &r);
  EXPECT_EQ(r.right, 208);
  EXPECT_EQ(r.bottom, 38);
  EXPECT_EQ(pointer(), IDC_WAIT);
  // A queued code before every step keeps the step from waiting for an event.
  auto step = [&] {
    set_key(1000, h, 0, 0, 0);
    return w.step();
  };
  EXPECT_TRUE(step());
  EXPECT_EQ(green_cells(h, 21), 1);
  for (int i = 2; i <= 50; i++) ASSERT_TRUE(step());
  EXPECT_EQ(green_cells(h, 21), 50);
  EXPECT_TRUE(step());
  EXPECT_EQ(px(h, 4, 21), cGRAY.COLOR);
  EXPECT_EQ(px(h, 8, 21), cGREEN.COLOR);
  for (int i = 52; i <= 100; i++) step();
  EXPECT_EQ(green_cells(h, 21), 0);
  EXPECT_EQ(w.P_POS, 50);
  EXPECT_EQ(w.C_POS, 50);
  step();
  EXPECT_EQ(w.P_POS, 0);
  EXPECT_EQ(w.C_POS, 0);
  EXPECT_EQ(green_cells(h, 21), 0);
  step();
  EXPECT_EQ(green_cells(h, 21), 1) << "the next cycle starts";

  // Esc pressed while the bar runs stops it.
  pump_for(50);
  plat::inject_key(h, VK_ESCAPE, true);
  EXPECT_FALSE(w.step());
  EXPECT_TRUE(step());

  // Spoiled positions restart the cycle instead of reaching outside the cells.
  w.P_POS = 77;
  EXPECT_TRUE(step());
  EXPECT_EQ(w.P_POS, 1);
  w.C_POS = -5;
  EXPECT_TRUE(step());
  EXPECT_GE(green_cells(h, 21), 0);
}

}  // namespace
