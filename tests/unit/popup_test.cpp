// Mouse regions, the combo field, the pop-up lists and the calendar, driven
// through the real pump. Lists and the calendar run their own loops: the
// tests queue codes before the call, or act from inside through an element
// of the window below, which gets every tick while they are open.
#include <chrono>
#include <functional>
#include <string>

#include "tests/unit/toolkit.h"

namespace {

// getkey until want; bounded by the wall clock.
bool pump_to(int want, std::vector<int>* seen = nullptr, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    int c = getkey();
    if (seen && c) seen->push_back(c);
    if (c == want) return true;
  }
  return false;
}

void click(void* hwnd, int x, int y) {
  plat::inject_mouse_move(hwnd, x, y);
  plat::inject_mouse_button(hwnd, x, y, 1, true);
  plat::inject_mouse_button(hwnd, x, y, 1, false);
}

void queue(int code) { set_key(code, nullptr, 0, 0, 0); }

int client_w() {
  plat::rect r;
  plat::get_client_rect(THWND, &r);
  return r.right;
}
int client_h() {
  plat::rect r;
  plat::get_client_rect(THWND, &r);
  return r.bottom;
}

// Acts once on every new window that becomes current above home, on the
// first tick seen there.
class actor : public tobject {
 public:
  std::vector<std::function<void()>> acts;
  int done = 0;
  void* home;
  explicit actor(void* h, std::vector<std::function<void()>> a) : acts(std::move(a)), home(h) { set_object(this); }
  ~actor() override { reset_object(); }
  int message(int code) override {
    if (code != CMD_TICK || THWND == home || THWND == last || done >= (int)acts.size()) return 0;
    last = THWND;
    acts[done++]();
    return 0;
  }

 private:
  void* last = nullptr;
};

class Choices : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
  void TearDown() override { plat::set_test_tick(nullptr); }
};

// ---- tmouse --------------------------------------------------------------------

TEST_F(Choices, AMouseRegionReportsTheEventsItsMaskAsksFor) {
  twindow w(300, 100, "regions");
  tmouse up(10, 10, 50, 30, 600, MOUSE_LUP);
  tmouse all(100, 10, 50, 30, 601);
  std::vector<int> seen;
  plat::inject_mouse_move(w.hwnd, 20, 20);
  plat::inject_mouse_button(w.hwnd, 20, 20, 1, true);
  plat::inject_mouse_button(w.hwnd, 20, 20, 1, false);
  ASSERT_TRUE(pump_to(600, &seen));
  EXPECT_EQ(without_noise(seen), (std::vector<int>{CMD_MOUSE_MOVE, CMD_MOUSE_LDOWN, 600}));
  EXPECT_EQ(up.EVENT, CMD_MOUSE_LUP);
  // Every event of a full mask is its code, and leaving is posted once
  // while the move itself stays a move.
  plat::inject_mouse_move(w.hwnd, 107, 13);
  ASSERT_TRUE(pump_to(601));
  EXPECT_EQ(all.MX, 7);
  seen.clear();
  plat::inject_mouse_move(w.hwnd, 250, 80);
  plat::inject_mouse_move(w.hwnd, 260, 80);
  seen = without_noise(pump_for(200));
  EXPECT_EQ(seen, (std::vector<int>{CMD_MOUSE_MOVE, 601, CMD_MOUSE_MOVE}));
}

TEST_F(Choices, ADoubleClickIsPostedOnlyWhenTheMaskAsks) {
  uint32_t now = 700000;
  plat::set_test_tick(&now);
  twindow w(300, 100, "double");
  tmouse dbl(10, 10, 50, 30, 600, MOUSE_LDOWN | MOUSE_LDOUBLE);
  tmouse plain(100, 10, 50, 30, 601, MOUSE_LDOWN);
  // The codes each press gives, read until the press's own result; then
  // whatever the press posted.
  auto press = [&](int x) {
    plat::inject_mouse_button(w.hwnd, x, 20, 1, true);
    plat::inject_mouse_button(w.hwnd, x, 20, 1, false);
    std::vector<int> got;
    for (int c = 0; c != CMD_MOUSE_LUP;)
      if ((c = getkey()) && c != CMD_TICK && c != CMD_REPAINT) got.push_back(c);
    while (CURRENT != LAST)
      if (int c = getkey(); c != CMD_TICK && c != CMD_REPAINT) got.push_back(c);
    return got;
  };
  EXPECT_EQ(press(20), (std::vector<int>{600, CMD_MOUSE_LUP}));
  now += 200;
  // The second press is no press for the caller: the double click comes
  // through the queue.
  EXPECT_EQ(press(20), (std::vector<int>{CMD_MOUSE_LDOWN, 600, CMD_MOUSE_LUP}));
  now += 200;
  EXPECT_EQ(press(120), (std::vector<int>{601, CMD_MOUSE_LUP}));
  now += 200;
  EXPECT_EQ(press(120), (std::vector<int>{CMD_MOUSE_LDOWN, CMD_MOUSE_LUP})) << "not asked for: nothing posted";
  // Half a second later it is a new single click.
  now += 500;
  EXPECT_EQ(press(120), (std::vector<int>{601, CMD_MOUSE_LUP}));
  // A right press between two left ones breaks the pair.
  now += 1000;
  press(20);
  plat::inject_mouse_button(w.hwnd, 20, 20, 3, true);
  plat::inject_mouse_button(w.hwnd, 20, 20, 3, false);
  EXPECT_EQ(press(20), (std::vector<int>{CMD_MOUSE_RDOWN, CMD_MOUSE_RUP, 600, CMD_MOUSE_LUP}));
}

// ---- tcbox ---------------------------------------------------------------------

TEST_F(Choices, AComboFieldGivesItsCodeForTheTextAndTheArrow) {
  twindow w(300, 100, "combo");
  tcbox box(20, 20, "Январь", 80, 256);
  EXPECT_EQ(box.len(), 94);
  EXPECT_EQ(box.BUT->x(), 100);
  EXPECT_EQ(box.BUT->len(), 14);
  pump_for(50);
  EXPECT_EQ(plat::get_pixel(w.hwnd, 90, 25), cWHITE.COLOR);
  std::vector<int> seen;
  click(w.hwnd, 50, 26);
  ASSERT_TRUE(pump_to(256, &seen));
  EXPECT_EQ(count_of(seen, CMD_MOUSE_LUP), 0);
  seen.clear();
  click(w.hwnd, 107, 27);
  ASSERT_TRUE(pump_to(256, &seen));
  EXPECT_EQ(count_of(seen, CMD_MOUSE_LUP), 0);
  // Disabled, neither part answers and the text turns grey.
  box.off();
  EXPECT_EQ(plat::get_pixel(w.hwnd, 90, 25), cLGRAY.COLOR);
  seen.clear();
  click(w.hwnd, 50, 26);
  click(w.hwnd, 107, 27);
  seen = without_noise(pump_for(200));
  EXPECT_EQ(count_of(seen, 256), 0);
  EXPECT_EQ(count_of(seen, CMD_MOUSE_LUP), 2);
}

// ---- popup and wpopup ------------------------------------------------------------

TEST_F(Choices, AListClosedWithoutAChoiceGivesANegativeNumber) {
  twindow w(300, 200, "lists");
  tcbox box(20, 20, "x", 80, 256);
  queue(KEY_ESC);
  EXPECT_LT(popup(100, 100, 120, 2, 236, "#Копировать", 240, "#Вставить"), 0);
  queue(CMD_CLOSE);
  EXPECT_LT(wpopup(&box, 3, "a", "b", "c"), 0);
  EXPECT_EQ(THWND, w.hwnd);
  // The close box, the loss of focus and a release outside every item.
  actor a(w.hwnd, {[] { plat::inject_close(THWND); },
                   [] { plat::inject_focus(THWND, false); },
                   [&] {
                     // On the window below: the press reaches the list (it
                     // holds the capture), the release the window itself.
                     plat::inject_mouse_button(w.hwnd, 250, 150, 1, true);
                     plat::inject_mouse_button(w.hwnd, 250, 150, 1, false);
                   }});
  EXPECT_LT(popup(120, 2, 236, "#Копировать", 240, "#Вставить"), 0);
  EXPECT_LT(popup(120, 2, 236, "#Копировать", 240, "#Вставить"), 0);
  EXPECT_LT(wpopup(&box, 3, "a", "b", "c"), 0);
  EXPECT_EQ(a.done, 3);
  // Nothing at all to show is no choice either.
  EXPECT_LT(popup(120, 0), 0);
}

TEST_F(Choices, ItemsAreLaidOutByTheirFlagsAndDisabledOnesCannotBeChosen) {
  twindow w(300, 200, "menu");
  int menu_w = 0, menu_h = 0;
  uint32_t sep_black = 0, sep_white = 0;
  actor a(w.hwnd, {[&] {
                     menu_w = client_w();
                     menu_h = client_h();
                     sep_black = plat::get_pixel(THWND, 60, 41);
                     sep_white = plat::get_pixel(THWND, 60, 42);
                     click(THWND, 60, 10);  // "!" item: disabled, closes the list
                   },
                   [&] { click(THWND, 60, 54); },  // after the separator: item 2
                   [&] { click(THWND, 60, 30); }});
  auto menu = [] {
    return popup(50, 50, 120, 3, 238, "!Вырезать", 236, "#Копировать", 244, "|#Выделить все");
  };
  EXPECT_LT(menu(), 0);
  EXPECT_EQ(menu_w, 120);
  EXPECT_EQ(menu_h, 64);
  EXPECT_EQ(sep_black, cBLACK.COLOR);
  EXPECT_EQ(sep_white, cWHITE.COLOR);
  EXPECT_EQ(menu(), 2);
  EXPECT_EQ(menu(), 1);

  // The list under a combo field: 14 per item, a one-pixel separator, as
  // wide as the field plus 2.
  tcbox box(20, 20, "x", 80, 256);
  int list_w = 0, list_h = 0;
  actor b(w.hwnd, {[&] {
                     list_w = client_w();
                     list_h = client_h();
                     click(THWND, 40, 22);  // on the "!" item
                   },
                   [&] { click(THWND, 40, 22); }});
  EXPECT_LT(wpopup(&box, 3, "один", "!два", "|три"), 0);
  EXPECT_EQ(list_w, 96);
  EXPECT_EQ(list_h, 43);
  EXPECT_EQ(wpopup(&box, 3, "один", "два", "три"), 1);
}

// ---- the calendar --------------------------------------------------------------

TEST_F(Choices, TheCalendarLaysOutFiveOrSixRows) {
  twindow w(400, 300, "calendar");
  // 1 January 2023 is a Sunday: 31 days from the last column need six rows.
  tcalendar c(10, 10, tdate(1, 1, 2023));
  EXPECT_EQ(c.ROWS, 6);
  EXPECT_EQ(client_w(), 178);
  EXPECT_EQ(client_h(), 206);
  ASSERT_EQ(c.DAYS.size(), 31u);
  EXPECT_EQ(c.DAYS[0]->x(), 24 * 6 + 5);
  EXPECT_EQ(c.DAYS[0]->y(), 60);
  EXPECT_EQ(c.DAYS[30]->x(), 24 * 1 + 5);
  EXPECT_EQ(c.DAYS[30]->y(), 160);
  EXPECT_EQ(c.DAYS[0]->TC, &cBLUE) << "the shown day";
  EXPECT_EQ(c.DAYS[6]->TC, &cRED) << "Saturday";
  EXPECT_EQ(c.DAYS[7]->TC, &cRED) << "Sunday";
  EXPECT_EQ(c.DAYS[1]->TC, &cBLACK);
  // A year up: January 2024 starts on a Monday and needs five.
  tdate r;
  EXPECT_FALSE(c.act(KEY_UP, &r));
  EXPECT_EQ(c.ROWS, 5);
  EXPECT_EQ(client_h(), 186);
  EXPECT_EQ(c.CANCEL.y(), 166) << "the cancel button follows the bottom edge";
  EXPECT_EQ(c.DAYS[0]->x(), 5);
  EXPECT_STREQ(c.YEAR.TXT, " 2024");
  EXPECT_STREQ(c.DATE_TXT.TXT, "01-01-2024");
}

TEST_F(Choices, ChangingTheMonthOrYearKeepsTheDayValid) {
  twindow w(400, 300, "calendar");
  tcalendar c(10, 10, tdate(31, 1, 2023));
  tdate r;
  queue(501);
  EXPECT_FALSE(c.act(KEY_F1, &r));
  EXPECT_EQ(c.DATE, tdate(28, 2, 2023));
  EXPECT_STREQ(c.DATE_TXT.TXT, "28-02-2023");
  EXPECT_STREQ(c.MONTH.text(), "Февраль");
  EXPECT_EQ(c.DAYS.size(), 28u);
  // 2020 is a leap year: a day back up is no longer needed, 29 is kept.
  tcalendar d(10, 10, tdate(29, 2, 2020));
  EXPECT_FALSE(d.act(KEY_DOWN, &r));
  EXPECT_EQ(d.DATE, tdate(28, 2, 2019));
  queue(KEY_ESC);  // the list closed without a choice changes nothing
  EXPECT_FALSE(d.act(KEY_F1, &r));
  EXPECT_EQ(d.DATE, tdate(28, 2, 2019));
  EXPECT_TRUE(d.act(810, &r));
  EXPECT_EQ(r, tdate(10, 2, 2019));
}

TEST_F(Choices, GetDateReturnsTheChosenDayOrTheOpeningDate) {
  twindow w(400, 300, "get_date");
  for (int end : {KEY_ESC, KEY_ENTER, CMD_CLOSE}) {
    queue(KEY_UP);
    queue(KEY_F1);
    queue(502);
    queue(end);
    EXPECT_EQ(get_date(10, 10, tdate(31, 1, 2023)), tdate(31, 1, 2023)) << end;
    EXPECT_EQ(THWND, w.hwnd);
  }
  queue(KEY_UP);
  queue(803);
  EXPECT_EQ(get_date(10, 10, tdate(31, 1, 2023)), tdate(3, 1, 2024));
  // A date that is no date opens on today and is given back untouched.
  queue(KEY_ESC);
  EXPECT_EQ(get_date(10, 10, tdate(0, 13, 2023)).MON, 13);
  tdate today;
  queue(801);
  tdate first = get_date(10, 10, tdate(0, 0, 0));
  EXPECT_EQ(first, tdate(1, today.MON, today.YEAR));
  // The mouse: the month's arrow, the third name in the list, then day 10
  // of March 2023 (a Wednesday first: column 4 of the second row).
  actor a(w.hwnd, {[] { click(THWND, 8 + 80 + 7, 40); },
                   [] { click(THWND, 40, 2 * 14 + 7); },
                   [] { click(THWND, 24 * 4 + 5 + 12, 20 * 1 + 60 + 10); }});
  EXPECT_EQ(get_date(10, 10, tdate(15, 1, 2023)), tdate(10, 3, 2023));
  EXPECT_EQ(a.done, 3);
}

}  // namespace
