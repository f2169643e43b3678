// Drawing primitives and static elements, checked on the pixels of the
// window surface.
#include <cstring>

#include "tests/unit/toolkit.h"

namespace {

class Drawing : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
  static uint32_t px(twindow& w, int x, int y) { return plat::get_pixel(w.hwnd, x, y); }
};

TEST_F(Drawing, SunkenThickFrameLiesInTheTwoRingsAroundTheElement) {
  twindow w(300, 60, "frame");
  ttext t(114, 8, "value", 140);
  tborder b(&t, (char)254);
  pump_for(50);
  // Outer ring black top-left, white bottom-right; inner ring grey / light grey.
  EXPECT_EQ(px(w, 112, 15), cBLACK.COLOR);
  EXPECT_EQ(px(w, 113, 15), cGRAY.COLOR);
  EXPECT_EQ(px(w, 254, 15), cLLGRAY.COLOR);
  EXPECT_EQ(px(w, 255, 15), cWHITE.COLOR);
  EXPECT_EQ(px(w, 180, 6), cBLACK.COLOR);
  EXPECT_EQ(px(w, 180, 7), cGRAY.COLOR);
  EXPECT_EQ(px(w, 180, 22), cLLGRAY.COLOR);
  EXPECT_EQ(px(w, 180, 23), cWHITE.COLOR);
  // Nothing outside the rings, nothing of the frame inside the element.
  EXPECT_EQ(px(w, 111, 15), cLGRAY.COLOR);
  EXPECT_EQ(px(w, 256, 15), cLGRAY.COLOR);
  EXPECT_EQ(px(w, 180, 5), cLGRAY.COLOR);
  EXPECT_EQ(px(w, 180, 24), cLGRAY.COLOR);
  // The frame repaints with the window.
  plat::invalidate(w.hwnd, nullptr, true);
  ASSERT_TRUE(pump_until(CMD_REPAINT));
  EXPECT_EQ(px(w, 112, 15), cBLACK.COLOR);
  // Raised thin: only the outer ring.
  b << (char)1;
  EXPECT_EQ(px(w, 112, 15), cWHITE.COLOR);
  EXPECT_EQ(px(w, 255, 15), cBLACK.COLOR);
}

TEST_F(Drawing, LinesAreClippedToTheirParent) {
  twindow w(200, 100, "lines");
  tnull clip(50, 20, 40, 30);  // x 50..89, y 20..49
  void* dc = THDC;
  // Crossing the right edge: stops on it.
  draw_line(dc, 60, 30, 150, 30, &cRED, &clip);
  EXPECT_EQ(px(w, 60, 30), cRED.COLOR);
  EXPECT_EQ(px(w, 89, 30), cRED.COLOR);
  EXPECT_EQ(px(w, 90, 30), cLGRAY.COLOR);
  // Wholly outside on one side: nothing.
  draw_line(dc, 0, 5, 199, 10, &cBLUE, &clip);
  for (int x = 0; x < 200; x++) ASSERT_NE(px(w, x, 5), cBLUE.COLOR);
  // A diagonal through the box is cut at both ends, and its end point is set.
  draw_line(dc, 40, 10, 100, 70, &cGREEN, &clip);
  EXPECT_EQ(px(w, 50, 20), cGREEN.COLOR);
  EXPECT_EQ(px(w, 69, 39), cGREEN.COLOR);
  EXPECT_EQ(px(w, 49, 19), cLGRAY.COLOR);
  EXPECT_EQ(px(w, 79, 49), cGREEN.COLOR);
  EXPECT_EQ(px(w, 80, 50), cLGRAY.COLOR);
  // Unclipped lines set their end point too.
  draw_line(dc, 10, 90, 20, 90, &cBLACK);
  EXPECT_EQ(px(w, 20, 90), cBLACK.COLOR);
  EXPECT_EQ(px(w, 21, 90), cLGRAY.COLOR);
}

TEST_F(Drawing, BoxesAndBitmapsStayInsideTheirParent) {
  twindow w(200, 100, "boxes");
  tnull clip(50, 20, 40, 30);
  tbox inside(40, 10, 100, 100, &cYELLOW, &clip);
  EXPECT_EQ(px(w, 50, 20), cYELLOW.COLOR);
  EXPECT_EQ(px(w, 89, 49), cYELLOW.COLOR);
  EXPECT_EQ(px(w, 49, 30), cLGRAY.COLOR);
  EXPECT_EQ(px(w, 91, 30), cLGRAY.COLOR);
  tbitmap tick(10, 60, 232);
  EXPECT_EQ(tick.LEN, 25);
  EXPECT_EQ(tick.DOWN, 20);
  EXPECT_EQ(XBM, 35);
  EXPECT_EQ(YBM, 80);
  tbitmap missing(100, 60, 9999);
  EXPECT_EQ(missing.LEN, 0) << "a missing picture is an empty element";
  // A picture larger than its parent never draws past it.
  tnull small(145, 65, 5, 5);
  tbitmap cut(130, 50, 230, &small);
  int coloured = 0;
  for (int y = 50; y < 100; y++)
    for (int x = 140; x < 200; x++)
      if (px(w, x, y) != cLGRAY.COLOR) {
        EXPECT_TRUE(x >= 145 && x < 150 && y >= 65 && y < 70) << x << "," << y;
        coloured++;
      }
  EXPECT_GT(coloured, 0);
}

TEST_F(Drawing, NumberRule) {
  EXPECT_STREQ(put(1234.5, 8, 1), " 1 234.5");
  EXPECT_STREQ(put(1234.5, 3, 1), "###");
  EXPECT_STREQ(put(2.50, 5, 1), "  2.5");
  EXPECT_STREQ(put(3.0, 4, 1), "   3");
  EXPECT_STREQ(put(1234567, 9, 1), "1 234 567");
  // Grouping that does not fit falls back to plain digits.
  EXPECT_STREQ(put(1234567, 7, 1), "1234567");
  EXPECT_STREQ(put(-123, 5, 1), " -123");
  EXPECT_STREQ(put(-1234, 6, 1), "-1 234");
  EXPECT_STREQ(put(0.125, 4, 1), " 0.1") << "decimals beyond width - 1 characters are cut";
  EXPECT_STREQ(put(0.5, 0, 1), "");
}

TEST_F(Drawing, TextsMeasureTheirTextAndMaskPasswords) {
  twindow w(300, 80, "texts");
  ttext label(10, 8, "Длина", -1);
  EXPECT_GT(label.LEN, 10);
  EXPECT_EQ(XT, 10 + label.LEN);
  EXPECT_EQ(YT, 22);
  label << "Гораздо более длинный текст";
  EXPECT_EQ(label.len(), XT - 10) << "a later text keeps the width";

  ttext pass(10, 30, "ab c", 100);
  pass.PASS_STR = true;
  EXPECT_STREQ(pass.pass_text(), "** *");
  EXPECT_STREQ(pass.text(), "ab c");

  ttext number(10, 50, 0.0, 8, 80);
  number << 1234.5;
  EXPECT_STREQ(number.text(), " 1 234.5");
  EXPECT_EQ(number.FORMAT, 2u);
  EXPECT_DOUBLE_EQ(number.digit(), 1234.5);
  ttext narrow(100, 50, "abc", 40);
  narrow << 1234.5;
  EXPECT_STREQ(narrow.text(), "###");
  narrow.clear();
  EXPECT_STREQ(narrow.text(), "   ");
}

TEST_F(Drawing, DisabledTextIsEngravedAndSelectionIsWhiteOnDarkBlue) {
  twindow w(300, 80, "engraved");
  ttext t(10, 10, "ШШШ", 100);
  auto count = [&](uint32_t colour) {
    int n = 0;
    for (int y = 10; y < 26; y++)
      for (int x = 10; x < 112; x++) n += px(w, x, y) == colour;
    return n;
  };
  EXPECT_GT(count(cBLACK.COLOR), 0);
  t.off();
  EXPECT_EQ(count(cBLACK.COLOR), 0);
  EXPECT_GT(count(cGRAY.COLOR), 0);
  EXPECT_GT(count(cWHITE.COLOR), 0);
  t.on();
  t.SSEL = 1;
  t.ESEL = 2;
  t.update();
  EXPECT_GT(count(cDBLUE.COLOR), 0);
  EXPECT_GT(count(cWHITE.COLOR), 0);
}

TEST_F(Drawing, HiddenFrameInvalidatesTwoPixelsAround) {
  twindow w(200, 80, "hide");
  tbox b(20, 20, 50, 20, &cRED);
  tborder f(&b, (char)2);
  pump_for(50);
  EXPECT_EQ(px(w, 18, 30), cWHITE.COLOR);
  f.hide(true);
  b.hide(true);
  ASSERT_TRUE(pump_until(CMD_REPAINT));
  EXPECT_EQ(px(w, 18, 30), cLGRAY.COLOR);
  EXPECT_EQ(px(w, 30, 30), cLGRAY.COLOR);
  f << (char)1;  // hidden: no effect
  EXPECT_EQ(f.TYPE, 2);
}

}  // namespace
