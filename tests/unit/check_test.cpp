// The check box driven through the real pump; its picture is compared with
// a separately loaded one, pixel by pixel.
#include "tests/unit/toolkit.h"

namespace {

class CheckBox : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
  static uint32_t px(twindow& w, int x, int y) { return plat::get_pixel(w.hwnd, x, y); }

  static void event(twindow& w, int x, int y, int kind, int expect, std::vector<int>* seen = nullptr) {
    if (kind == 0)
      plat::inject_mouse_move(w.hwnd, x, y);
    else
      plat::inject_mouse_button(w.hwnd, x, y, 1, kind == 1);
    std::vector<int> s;
    EXPECT_TRUE(pump_until(expect, 1000, &s)) << "waiting for " << expect;
    if (seen) *seen = without_noise(s);
  }
  // A whole click at x, y; returns what the pump gave for the release.
  static std::vector<int> click(twindow& w, int x, int y, int expect = CMD_MOUSE_LUP) {
    event(w, x, y, 0, CMD_MOUSE_MOVE);
    event(w, x, y, 1, CMD_MOUSE_LDOWN);
    std::vector<int> seen;
    event(w, x, y, 2, expect, &seen);
    return seen;
  }

  // The box shows picture id: drawn separately at 200, 60 and compared.
  static bool shows(twindow& w, tcheck& c, int id) {
    tbitmap ref(200, 60, id);
    for (int j = 0; j < 14; j++)
      for (int i = 0; i < 14; i++)
        if (px(w, c.x() + i, c.y() + j) != px(w, 200 + i, 60 + j)) return false;
    return true;
  }
  static int count_colour(twindow& w, int x, int y, int wd, int ht, uint32_t c) {
    int n = 0;
    for (int j = 0; j < ht; j++)
      for (int i = 0; i < wd; i++) n += px(w, x + i, y + j) == c;
    return n;
  }
};

TEST_F(CheckBox, GeometryCoversPictureAndTitle) {
  twindow w(300, 100, "geometry");
  tcheck c(8, 10, "Прошить сопроцессор", 0);
  int title = c.TITLE->len();
  EXPECT_GT(title, 50);
  EXPECT_EQ(c.x(), 8);
  EXPECT_EQ(c.y(), 10);
  EXPECT_EQ(c.len(), title + 16);
  EXPECT_EQ(c.down(), 16);
  EXPECT_EQ(c.TITLE->x(), 24);
  EXPECT_EQ(XT, 8 + title + 16);
  EXPECT_EQ(YT, 26);
  EXPECT_EQ(c.INI_KEY, nullptr);
  EXPECT_EQ(c.INI_FILE, nullptr);
  EXPECT_EQ(c.get(), 0);
  EXPECT_TRUE(shows(w, c, 218));
  c.move(5, 7);
  EXPECT_EQ(c.x(), 13);
  EXPECT_EQ(c.y(), 17);
  EXPECT_EQ(c.TITLE->x(), 29);
}

TEST_F(CheckBox, AClickOnTheTitleOrThePictureToggles) {
  twindow w(300, 100, "toggle");
  tcheck c(8, 10, "Прошить сопроцессор", 1500);
  pump_for(50);
  // Hovering turns the title blue.
  event(w, 60, 15, 0, CMD_MOUSE_MOVE);
  EXPECT_EQ(c.PR, 1);
  EXPECT_GT(count_colour(w, 24, 10, c.TITLE->len(), 14, cBLUE.COLOR), 10);
  EXPECT_EQ(click(w, 60, 15, 1500), std::vector<int>{1500});
  EXPECT_EQ(c.get(), 1);
  EXPECT_TRUE(shows(w, c, 216));
  EXPECT_EQ(click(w, 10, 12, 1500), std::vector<int>{1500});
  EXPECT_EQ(c.get(), 0);
  EXPECT_TRUE(shows(w, c, 218));
  // Leaving gives the title its colour back.
  event(w, 250, 80, 0, CMD_MOUSE_MOVE);
  EXPECT_EQ(c.PR, 0);
  EXPECT_EQ(count_colour(w, 24, 10, c.TITLE->len(), 14, cBLUE.COLOR), 0);
  EXPECT_GT(count_colour(w, 24, 10, c.TITLE->len(), 14, cBLACK.COLOR), 10);
  // Just past the element nothing happens.
  EXPECT_EQ(click(w, c.x() + c.len(), 15), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_EQ(click(w, 60, 26), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_EQ(c.get(), 0);
}

TEST_F(CheckBox, ABoxWithoutACodeLetsTheReleaseThrough) {
  twindow w(300, 100, "code 0");
  tcheck c(8, 10, "Option", 0);
  pump_for(50);
  EXPECT_EQ(click(w, 12, 15), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_TRUE(c == 1);
  EXPECT_TRUE(c != 0);
  EXPECT_FALSE(c != 1);
}

TEST_F(CheckBox, PressedLookAndAPressThatLeaves) {
  twindow w(300, 100, "pressed");
  tcheck c(8, 10, "Option", 9, 1);
  pump_for(50);
  EXPECT_TRUE(shows(w, c, 216));
  event(w, 12, 15, 0, CMD_MOUSE_MOVE);
  event(w, 12, 15, 1, CMD_MOUSE_LDOWN);
  EXPECT_EQ(c.PR, 2);
  EXPECT_TRUE(shows(w, c, 220));
  // Leaving while pressed puts the state's picture back; no toggle.
  event(w, 250, 80, 0, CMD_MOUSE_MOVE);
  EXPECT_TRUE(shows(w, c, 216));
  event(w, 250, 80, 2, CMD_MOUSE_LUP);
  EXPECT_EQ(c.get(), 1);
  !c;
  EXPECT_TRUE(shows(w, c, 218));
  event(w, 12, 15, 0, CMD_MOUSE_MOVE);
  event(w, 12, 15, 1, CMD_MOUSE_LDOWN);
  EXPECT_TRUE(shows(w, c, 222));
  event(w, 12, 15, 2, 9);
  EXPECT_EQ(c.get(), 1);
  // A release over the box toggles it even when the press was elsewhere.
  event(w, 250, 80, 0, CMD_MOUSE_MOVE);
  event(w, 250, 80, 1, CMD_MOUSE_LDOWN);
  event(w, 12, 15, 0, CMD_MOUSE_MOVE);
  event(w, 12, 15, 2, 9);
  EXPECT_EQ(c.get(), 0);
}

TEST_F(CheckBox, DisablingShowsTheGreyPicturesAndStopsClicks) {
  twindow w(300, 100, "disabled");
  tcheck c(8, 10, "Option", 9, 1);
  pump_for(50);
  event(w, 12, 15, 0, CMD_MOUSE_MOVE);
  c.off();
  EXPECT_TRUE(shows(w, c, 217));
  EXPECT_GT(count_colour(w, 24, 10, c.TITLE->len(), 16, cGRAY.COLOR), 5) << "engraved title";
  EXPECT_EQ(click(w, 12, 15), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_EQ(c.get(), 1);
  c << 0;
  EXPECT_TRUE(shows(w, c, 219));
  c << 2;
  EXPECT_TRUE(shows(w, c, 217));
  !c;
  EXPECT_TRUE(shows(w, c, 219));
  !c;
  c.on();
  EXPECT_TRUE(shows(w, c, 216));
  // Enabled again, the title is black, not the blue of the hover before.
  EXPECT_GT(count_colour(w, 24, 10, c.TITLE->len(), 14, cBLACK.COLOR), 10);
  EXPECT_EQ(count_colour(w, 24, 10, c.TITLE->len(), 14, cBLUE.COLOR), 0);
  EXPECT_EQ(click(w, 12, 15, 9), std::vector<int>{9});
  EXPECT_EQ(c.get(), 0);
}

TEST_F(CheckBox, TheThirdStateCountsAsCheckedWhenToggled) {
  twindow w(300, 100, "third");
  tcheck c(8, 10, "Option", 9, 2);
  pump_for(50);
  EXPECT_TRUE(shows(w, c, 224));
  c << 0;
  EXPECT_TRUE(shows(w, c, 218));
  c << 2;
  EXPECT_TRUE(shows(w, c, 224));
  event(w, 12, 15, 0, CMD_MOUSE_MOVE);
  event(w, 12, 15, 1, CMD_MOUSE_LDOWN);
  EXPECT_TRUE(shows(w, c, 220));
  event(w, 12, 15, 2, 9);
  EXPECT_EQ(c.get(), 0);
  EXPECT_TRUE(shows(w, c, 218));
  c << 5;
  c.off();
  c.on();
  EXPECT_TRUE(shows(w, c, 224));
  !c;
  EXPECT_EQ(c.get(), 0);
}

TEST_F(CheckBox, HiddenBoxIsErasedAndDeaf) {
  twindow w(300, 100, "hidden");
  tcheck c(8, 10, "Option", 9);
  c << &cRED;
  EXPECT_GT(count_colour(w, 24, 10, c.TITLE->len(), 14, cRED.COLOR), 5);
  pump_for(50);
  c.hide();
  ASSERT_TRUE(pump_until(CMD_REPAINT));
  EXPECT_EQ(count_colour(w, 8, 10, c.len(), 16, cLGRAY.COLOR), c.len() * 16);
  EXPECT_EQ(click(w, 12, 15), std::vector<int>{CMD_MOUSE_LUP});
  EXPECT_EQ(c.get(), 0);
  c.show();
  EXPECT_TRUE(shows(w, c, 218));
  EXPECT_EQ(click(w, 12, 15, 9), std::vector<int>{9});
}

}  // namespace
