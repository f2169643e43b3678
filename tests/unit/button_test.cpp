// Buttons driven through the real pump: where they lie, which codes a click
// gives, how they look in each state (read back from the window surface).
#include "tests/unit/toolkit.h"

namespace {

class Buttons : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
  static uint32_t px(twindow& w, int x, int y) { return plat::get_pixel(w.hwnd, x, y); }

  // Mouse codes are only acted on when they are read, so every injected
  // event is pumped until its code comes out.
  static std::vector<int> move(twindow& w, int x, int y) { return event(w, x, y, 0, false, CMD_MOUSE_MOVE); }
  static std::vector<int> press(twindow& w, int x, int y) { return event(w, x, y, 1, true, CMD_MOUSE_LDOWN); }
  static std::vector<int> release(twindow& w, int x, int y, int expect = CMD_MOUSE_LUP) {
    return event(w, x, y, 1, false, expect);
  }
  static std::vector<int> event(twindow& w, int x, int y, int button, bool down, int expect) {
    if (button)
      plat::inject_mouse_button(w.hwnd, x, y, button, down);
    else
      plat::inject_mouse_move(w.hwnd, x, y);
    std::vector<int> seen;
    EXPECT_TRUE(pump_until(expect, 1000, &seen)) << "waiting for " << expect << " at " << x << "," << y;
    return without_noise(seen);
  }

  // Same pixels in two w x h areas of the window.
  static bool same_area(twindow& w, int x1, int y1, int x2, int y2, int wd, int ht) {
    for (int j = 0; j < ht; j++)
      for (int i = 0; i < wd; i++)
        if (px(w, x1 + i, y1 + j) != px(w, x2 + i, y2 + j)) return false;
    return true;
  }
  static std::vector<uint32_t> snap(twindow& w, int x, int y, int wd, int ht) {
    std::vector<uint32_t> v;
    for (int j = 0; j < ht; j++)
      for (int i = 0; i < wd; i++) v.push_back(px(w, x + i, y + j));
    return v;
  }
  static int count_colour(twindow& w, int x, int y, int wd, int ht, uint32_t c) {
    int n = 0;
    for (int j = 0; j < ht; j++)
      for (int i = 0; i < wd; i++) n += px(w, x + i, y + j) == c;
    return n;
  }
  static int leftmost(twindow& w, int x, int y, int wd, int ht, uint32_t c) {
    for (int i = 0; i < wd; i++)
      for (int j = 0; j < ht; j++)
        if (px(w, x + i, y + j) == c) return x + i;
    return -1;
  }
};

int fun_calls = 0;
void count_call() { fun_calls++; }

TEST_F(Buttons, DialogButtonsAreAnchoredToTheBottomRight) {
  twindow w(264, 57, "dialog");
  thbutton ok(-185, -23, 232, "Ok", 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  EXPECT_EQ(ok.x(), 80);
  EXPECT_EQ(ok.y(), 35);
  EXPECT_EQ(XBT, 170);
  EXPECT_EQ(YBT, 55);
  thbutton cancel(XBT + 2, -23, 234, "Отмена", 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY);
  EXPECT_EQ(cancel.x(), 172);
  EXPECT_EQ(cancel.y(), 35);
  EXPECT_EQ(XBT, 262);
  // The picture sits at the left, the title beside it, left-aligned.
  EXPECT_EQ(ok.XT, 25);
  EXPECT_EQ(ok.FRM, 0u);
  EXPECT_EQ(ok.BMP->x(), 80);
  EXPECT_EQ(ok.BOX->x(), 105);
  EXPECT_EQ(ok.BOX->len(), 65);
  pump_for(50);
  tbitmap ref(10, 5, 232);
  EXPECT_TRUE(same_area(w, 80, 35, 10, 5, 25, 20));
}

TEST_F(Buttons, AClickGivesThePressAndThenTheCodeInPlaceOfTheRelease) {
  twindow w(300, 100, "click");
  fun_calls = 0;
  thbutton b(20, 20, 0, "Go", 90, 20, 1234, count_call, 0, nullptr, &cLGRAY);
  pump_for(50);
  move(w, 30, 30);
  EXPECT_EQ(press(w, 30, 30), std::vector<int>{CMD_MOUSE_LDOWN});
  EXPECT_EQ(b.STATUS, 3);
  EXPECT_EQ(fun_calls, 0);
  plat::inject_mouse_button(w.hwnd, 31, 31, 1, false);
  std::vector<int> seen;
  ASSERT_TRUE(pump_until(1234, 1000, &seen));
  EXPECT_EQ(fun_calls, 1) << "the callback runs before the code comes back";
  EXPECT_EQ(count_of(seen, CMD_MOUSE_LUP), 0);
  EXPECT_EQ(b.STATUS, 2);
  // Away from any control the release stays CMD_MOUSE_LUP.
  press(w, 250, 80);
  EXPECT_EQ(release(w, 250, 80), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_EQ(b.STATUS, 1);
  EXPECT_EQ(fun_calls, 1);
}

TEST_F(Buttons, AKeyWithTheButtonsCodeIsTheSameCode) {
  twindow w(264, 57, "enter");
  thbutton ok(-185, -23, 232, "Ok", 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  pump_for(50);
  plat::inject_key(w.hwnd, VK_RETURN, true);
  plat::inject_key(w.hwnd, VK_RETURN, false);
  EXPECT_TRUE(pump_until(KEY_ENTER));
  EXPECT_EQ(ok.STATUS, 1);
}

TEST_F(Buttons, APressThatLeavesOrArrivesFromOutsideGivesNoCode) {
  twindow w(300, 100, "cancel");
  fun_calls = 0;
  tbutton b(20, 20, 0, "Go", 90, 20, 1234, count_call, 2, nullptr, &cLGRAY);
  pump_for(50);
  // Press inside, move out, release: nothing, and the button is idle again.
  move(w, 30, 30);
  press(w, 30, 30);
  EXPECT_EQ(b.STATUS, 3);
  EXPECT_EQ(b.BRD->TYPE, 3);
  move(w, 200, 70);
  EXPECT_EQ(b.STATUS, 1);
  EXPECT_EQ(b.BRD->TYPE, 2);
  EXPECT_EQ(release(w, 200, 70), std::vector<int>{CMD_MOUSE_LUP});
  // Press outside, move in, release inside: the button never saw the press.
  press(w, 200, 70);
  move(w, 30, 30);
  EXPECT_EQ(b.STATUS, 2);
  EXPECT_EQ(release(w, 30, 30), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_EQ(b.STATUS, 2);
  EXPECT_EQ(fun_calls, 0);
}

// The frame lies on the button's two outermost pixel rings.
TEST_F(Buttons, DialogButtonFrameShowsHoverAndPress) {
  twindow w(300, 100, "frames");
  thbutton b(20, 20, 232, "Ok", 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  pump_for(50);
  const int left = 20, top = 20, right = 109, bottom = 39, mid_x = 60, mid_y = 30;
  auto ring = [&](uint32_t tl, uint32_t br) {
    EXPECT_EQ(px(w, mid_x, top), tl);
    EXPECT_EQ(px(w, left, mid_y), tl);
    EXPECT_EQ(px(w, right, mid_y), br);
    EXPECT_EQ(px(w, mid_x, bottom), br);
  };
  ring(cLGRAY.COLOR, cLGRAY.COLOR);  // idle: none
  EXPECT_EQ(count_colour(w, 50, 23, 56, 14, cBLUE.COLOR), 0);
  move(w, 60, 30);
  ring(cWHITE.COLOR, cBLACK.COLOR);  // hovered: raised thin
  EXPECT_GT(count_colour(w, 50, 23, 56, 14, cBLUE.COLOR), 5) << "hovered title is blue";
  std::vector<uint32_t> hovered = snap(w, 20, 20, 90, 20);
  press(w, 60, 30);
  ring(cBLACK.COLOR, cWHITE.COLOR);  // pressed: sunken thin
  // Pressed, the picture moves one pixel down-right.
  EXPECT_EQ(b.BMP->x(), 21);
  EXPECT_EQ(b.BMP->y(), 21);
  EXPECT_EQ(b.BMP->LEN, 24);
  // The title moved with it; nothing of the unpressed title stays behind.
  int pressed_left = leftmost(w, 46, 22, 60, 16, cBLUE.COLOR);
  release(w, 60, 30, KEY_ENTER);
  ring(cWHITE.COLOR, cBLACK.COLOR);
  EXPECT_EQ(b.BMP->x(), 20);
  int released_left = leftmost(w, 46, 22, 60, 16, cBLUE.COLOR);
  EXPECT_EQ(pressed_left, released_left + 1);
  EXPECT_TRUE(snap(w, 20, 20, 90, 20) == hovered) << "nothing of the pressed look stays behind";
  move(w, 200, 70);
  ring(cLGRAY.COLOR, cLGRAY.COLOR);
  EXPECT_EQ(count_colour(w, 50, 23, 56, 14, cBLUE.COLOR), 0);
  tbitmap ref(150, 60, 232);
  EXPECT_TRUE(same_area(w, 20, 20, 150, 60, 25, 20)) << "no trace of the pressed picture";
}

TEST_F(Buttons, CommandButtonFrameGoesFlatWhilePressed) {
  twindow w(300, 100, "tbutton");
  tbutton b(20, 20, 0, "Прошить", 78, 20, 257, nullptr, 2, nullptr, &cLGRAY);
  pump_for(50);
  auto rings = [&](uint32_t o_tl, uint32_t i_tl, uint32_t i_br, uint32_t o_br) {
    EXPECT_EQ(px(w, 50, 20), o_tl);
    EXPECT_EQ(px(w, 50, 21), i_tl);
    EXPECT_EQ(px(w, 50, 38), i_br);
    EXPECT_EQ(px(w, 50, 39), o_br);
    EXPECT_EQ(px(w, 20, 30), o_tl);
    EXPECT_EQ(px(w, 97, 30), o_br);
  };
  rings(cWHITE.COLOR, cLLGRAY.COLOR, cGRAY.COLOR, cBLACK.COLOR);
  move(w, 50, 30);
  rings(cWHITE.COLOR, cLLGRAY.COLOR, cGRAY.COLOR, cBLACK.COLOR);  // hover leaves the frame alone
  EXPECT_GT(count_colour(w, 24, 23, 70, 14, cBLUE.COLOR), 5);
  std::vector<uint32_t> hovered = snap(w, 20, 20, 78, 20);
  press(w, 50, 30);
  rings(cGRAY.COLOR, cLGRAY.COLOR, cLGRAY.COLOR, cGRAY.COLOR);  // flat: the inner ring is gone
  release(w, 50, 30, 257);
  rings(cWHITE.COLOR, cLLGRAY.COLOR, cGRAY.COLOR, cBLACK.COLOR);
  EXPECT_TRUE(snap(w, 20, 20, 78, 20) == hovered);
  move(w, 200, 70);
  EXPECT_EQ(count_colour(w, 24, 23, 70, 14, cBLUE.COLOR), 0);
  EXPECT_GT(count_colour(w, 24, 23, 70, 14, cBLACK.COLOR), 5);
}

TEST_F(Buttons, HeldArrowButtonRepeatsFromTheFifthTick) {
  twindow w(300, 100, "repeat");
  fun_calls = 0;
  tsbutton b(20, 20, 0, "^", 16, 16, 1000000, count_call, 2, nullptr, &cLGRAY);
  pump_for(50);
  move(w, 25, 25);
  plat::inject_mouse_button(w.hwnd, 25, 25, 1, true);
  std::vector<int> seen;
  ASSERT_TRUE(pump_until(1000000, 1000, &seen));
  EXPECT_EQ(count_of(seen, CMD_MOUSE_LDOWN), 0) << "the press itself is the first firing";
  EXPECT_EQ(fun_calls, 1);
  // Collect the stream while held: ticks and repeated codes.
  std::vector<int> stream;
  int repeats = 0;
  uint32_t start = plat::tick();
  while (repeats < 3 && plat::tick() - start < 3000) {
    int c = getkey();
    if (c == CMD_TICK || c == 1000000) stream.push_back(c);
    repeats += c == 1000000;
  }
  ASSERT_EQ(repeats, 3);
  std::vector<int> want = {CMD_TICK, CMD_TICK, CMD_TICK, CMD_TICK, CMD_TICK, 1000000,
                           CMD_TICK, 1000000,  CMD_TICK, 1000000};
  EXPECT_EQ(stream, want);
  EXPECT_EQ(fun_calls, 4);
  // Released: no more codes.
  release(w, 25, 25);
  EXPECT_EQ(count_of(pump_for(350), 1000000), 0);
  EXPECT_EQ(b.STATUS, 2);
}

TEST_F(Buttons, PictureOnlyButtonHasThePicturesSize) {
  twindow w(200, 80, "picture");
  tbutton b(30, 10, 234, nullptr, 90, 40, 5, nullptr, 2, nullptr, &cLGRAY);
  EXPECT_EQ(b.len(), 25);
  EXPECT_EQ(b.down(), 20);
  EXPECT_EQ(b.XT, 25);
  EXPECT_EQ(XBT, 55);
  EXPECT_EQ(YBT, 30);
  EXPECT_EQ(b.BOX, nullptr);
  EXPECT_EQ(b.TITLE, nullptr);
  EXPECT_EQ(b.FONT, nullptr);
  pump_for(50);
  // The frame's outer ring is on the picture's outermost pixels.
  EXPECT_EQ(px(w, 40, 10), cWHITE.COLOR);
  EXPECT_EQ(px(w, 54, 20), cBLACK.COLOR);
  EXPECT_EQ(px(w, 55, 20), cLGRAY.COLOR);
  move(w, 40, 20);
  press(w, 40, 20);
  EXPECT_EQ(release(w, 40, 20, 5), (std::vector<int>{5}));
}

TEST_F(Buttons, FrameStyleFiveHasNoFrameAndALeftTitle) {
  twindow w(300, 100, "flat");
  tbutton plain(20, 10, 0, "Item", 150, 20, 1, nullptr, 5, nullptr, &cLGRAY);
  tbutton framed(20, 50, 0, "Item", 150, 20, 2, nullptr, 2, nullptr, &cLGRAY);
  pump_for(50);
  EXPECT_EQ(plain.BRD, nullptr);
  EXPECT_EQ(plain.FRM, 0u);
  EXPECT_EQ(framed.FRM, 1u);
  for (int x = 20; x < 170; x++) ASSERT_EQ(px(w, x, 10), cLGRAY.COLOR) << x;
  int l_plain = leftmost(w, 20, 13, 150, 14, cBLACK.COLOR);
  int l_framed = leftmost(w, 22, 53, 146, 14, cBLACK.COLOR);
  EXPECT_GE(l_plain, 24);
  EXPECT_LE(l_plain, 26);
  EXPECT_GT(l_framed, 60) << "a framed title without a picture is centred";
  // A frameless button erases itself when hidden.
  plain.hide();
  ASSERT_TRUE(pump_until(CMD_REPAINT));
  EXPECT_EQ(count_colour(w, 20, 10, 150, 20, cBLACK.COLOR), 0);
}

TEST_F(Buttons, DisabledButtonIsDeafAndShowsItsDisabledPicture) {
  twindow w(300, 100, "disabled");
  fun_calls = 0;
  thbutton b(20, 20, 232, "Ok", 90, 20, KEY_ENTER, count_call, 0, nullptr, &cLGRAY);
  tbitmap ref(150, 60, 233);
  pump_for(50);
  // Disabled while hovered: back to idle at once.
  move(w, 60, 30);
  EXPECT_EQ(b.BRD->TYPE, 1);
  b.off();
  EXPECT_EQ(b.STATUS, 1);
  EXPECT_EQ(b.BRD->TYPE, 0);
  EXPECT_EQ(px(w, 60, 20), cLGRAY.COLOR);
  EXPECT_TRUE(same_area(w, 20, 20, 150, 60, 25, 20));
  EXPECT_GT(count_colour(w, 46, 23, 60, 15, cGRAY.COLOR), 5) << "engraved title";
  EXPECT_EQ(count_colour(w, 46, 23, 60, 15, cBLACK.COLOR), 0);
  // No events reach it.
  move(w, 61, 30);
  press(w, 61, 30);
  EXPECT_EQ(release(w, 61, 30), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_EQ(b.STATUS, 1);
  EXPECT_EQ(fun_calls, 0);
  // Enabled again: the ordinary picture, and the window repaint keeps it.
  b.on();
  draw_box(THDC, 150, 60, 175, 80, &cLGRAY, nullptr);  // the reference shows through its own transparency
  ref << 232;
  EXPECT_TRUE(same_area(w, 20, 20, 150, 60, 25, 20));
  plat::invalidate(w.hwnd, nullptr, true);
  ASSERT_TRUE(pump_until(CMD_REPAINT));
  EXPECT_TRUE(same_area(w, 20, 20, 150, 60, 25, 20));
  // A picture swapped while disabled shows in its disabled form.
  b.off();
  b << 234;
  draw_box(THDC, 150, 60, 175, 80, &cLGRAY, nullptr);
  ref << 235;
  EXPECT_TRUE(same_area(w, 20, 20, 150, 60, 25, 20));
  b.on();
  move(w, 60, 30);
  press(w, 60, 30);
  release(w, 60, 30, KEY_ENTER);
  EXPECT_EQ(fun_calls, 1);
}

TEST_F(Buttons, TitleAndColourChangesRepaint) {
  twindow w(300, 100, "title");
  tbutton b(20, 20, 0, "MMMMMMMM", 150, 20, 1, nullptr, 2, nullptr, &cLGRAY);
  pump_for(50);
  int wide = count_colour(w, 24, 23, 142, 14, cBLACK.COLOR);
  b << "i";
  int narrow = count_colour(w, 24, 23, 142, 14, cBLACK.COLOR);
  EXPECT_GT(narrow, 0);
  EXPECT_LT(narrow * 4, wide) << "the old title is erased";
  EXPECT_EQ(px(w, 60, 20), cWHITE.COLOR) << "the frame survives the box repaint";
  b.color(&cRED);
  EXPECT_EQ(count_colour(w, 24, 23, 142, 14, cRED.COLOR), narrow);
  b << (const char*)nullptr;
  EXPECT_STREQ(b.TITLE, "i");
}

TEST_F(Buttons, FlatTextItemTurnsDarkBlueUnderThePointer) {
  twindow w(300, 100, "items");
  ttbutton item(10, 10, 0, "Пункт", 120, 14, 500, nullptr, 5, nullptr, &cWHITE);
  pump_for(50);
  EXPECT_EQ(px(w, 120, 12), cWHITE.COLOR);
  EXPECT_GT(count_colour(w, 10, 10, 120, 14, cBLACK.COLOR), 5);
  move(w, 50, 15);
  EXPECT_EQ(px(w, 120, 12), cDBLUE.COLOR);
  EXPECT_GT(count_colour(w, 10, 10, 120, 14, cWHITE.COLOR), 5);
  press(w, 50, 15);
  EXPECT_EQ(release(w, 50, 15, 500), std::vector<int>{500});
  move(w, 200, 70);
  EXPECT_EQ(px(w, 120, 12), cWHITE.COLOR);
  EXPECT_GT(count_colour(w, 10, 10, 120, 14, cBLACK.COLOR), 5);
  // Disabled while highlighted: back to white.
  move(w, 50, 15);
  item.off();
  EXPECT_EQ(px(w, 120, 12), cWHITE.COLOR);
}

TEST_F(Buttons, HeaderButtonAndEdgeAnchoredWidth) {
  twindow w(300, 100, "header");
  tnull bg(0, 0, 300, 100);
  theaderbutton h(10, 10, "Имя", 60, 77, &bg);
  EXPECT_EQ(h.down(), 18);
  EXPECT_EQ(h.len(), 60);
  EXPECT_EQ(h.BRD->TYPE, 2);
  EXPECT_EQ(h.OBJ, &bg);
  // A button whose width runs to 3 pixels before the right edge keeps its
  // frame on its own edge.
  thbutton sel(4, -24, 0, "Выбрать", -3, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  pump_for(50);
  EXPECT_EQ(sel.x() + sel.len(), 298);
  move(w, 100, 85);
  EXPECT_EQ(sel.STATUS, 2);
  EXPECT_EQ(px(w, 297, 85), cBLACK.COLOR);
  EXPECT_EQ(px(w, 4, 85), cWHITE.COLOR);
  EXPECT_EQ(px(w, 100, 77), cWHITE.COLOR);
  EXPECT_EQ(px(w, 100, 96), cBLACK.COLOR);
  move(w, 20, 20);
  press(w, 20, 20);
  EXPECT_EQ(release(w, 20, 20, 77), std::vector<int>{77});
}

}  // namespace
