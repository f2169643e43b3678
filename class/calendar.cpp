#include "class/calendar.h"

#include <cstdio>
#include <string>

#include "class/dialogs.h"
#include "class/popup.h"
#include "platform/platform.h"

const char* SD_MON[12] = {"Январь", "Февраль", "Март",     "Апрель",  "Май",    "Июнь",
                          "Июль",   "Август",  "Сентябрь", "Октябрь", "Ноябрь", "Декабрь"};

namespace {

// The years the picker steps through: four digits, as the date text shows
// them, and never a year the day-of-week rule cannot place.
const int FIRST_YEAR = 1, LAST_YEAR = 9999;

bool usable(const tdate& d) { return d.test() && d.YEAR >= FIRST_YEAR && d.YEAR <= LAST_YEAR; }

tdate opening(tdate d) { return usable(d) ? d : tdate(); }

std::string year_text(int year, const char* format) {
  char s[32];
  snprintf(s, sizeof s, format, year);
  return s;
}

// The last valid day of d's month, if d's day is past it.
void fit_day(tdate& d) {
  while (!d.test() && d.DAY > 1) d.DAY--;
}

}  // namespace

// The year arrows and the month selector carry key codes, so Up, Down and
// F1 are their shortcuts without a key table.
tcalendar::tcalendar(int x, int y, tdate date)
    : START(date),
      DATE(opening(date)),
      ROWS(0),
      W(x, y, 178, 206, 3),
      CANCEL(0, -21, 0, SD_CANCEL, 178, 20, KEY_ESC, nullptr, 2, nullptr, &cLGRAY),
      YEAR(120, 33, year_text(DATE.YEAR, " %d  ").c_str()),
      YEAR_BRD(&YEAR, (char)-2),
      UP(157, 31, 212, nullptr, 0, 0, KEY_UP, nullptr, 0, nullptr, &cLGRAY),
      DOWN_(157, YBT, 214, nullptr, 0, 0, KEY_DOWN, nullptr, 0, nullptr, &cLGRAY),
      MONTH_BRD(2, 26, 174, 27, 2),
      MONTH(8, 33, SD_MON[DATE.MON - 1], 80, KEY_F1),
      DATE_TXT(62, 5, DATE),
      DATE_BRD(2, 2, 174, 20, 2),
      AREA(2, 57, 174, -23, &cLGRAY),
      AREA_BRD(&AREA, 2) {
  layout();
}

tcalendar::~tcalendar() { clear_days(); }

void tcalendar::clear_days() {
  while (!DAYS.empty()) {
    delete DAYS.back();
    DAYS.pop_back();
  }
}

void tcalendar::show_date() { DATE_TXT << DATE; }

void tcalendar::layout() {
  clear_days();
  int offset = tdate(1, DATE.MON, DATE.YEAR).dow() - 1;
  tdate last(31, DATE.MON, DATE.YEAR);
  fit_day(last);
  int days = last.DAY;
  ROWS = offset + days > 35 ? 6 : 5;
  int want = ROWS == 6 ? 206 : 186;
  plat::rect c;
  plat::get_client_rect(W.hwnd, &c);
  if (c.bottom != want) W.size(178, want);
  for (int n = 1; n <= days; n++) {
    int col = (offset + n - 1) % 7, row = (offset + n - 1) / 7;
    char title[8];
    snprintf(title, sizeof title, "%d", n);
    thbutton* b = new thbutton(24 * col + 5, 20 * row + 60, 0, title, 24, 20, 800 + n, nullptr, 0, nullptr, &cLGRAY);
    DAYS.push_back(b);
    if (col >= 5) b->color(&cRED);
    if (n == DATE.DAY) b->color(&cBLUE);
  }
}

bool tcalendar::act(int code, tdate* result) {
  switch (code) {
    case KEY_ENTER:
    case KEY_ESC:
    case CMD_CLOSE:
      *result = START;
      return true;
    case KEY_F1: {
      int choice = wpopup_list(6, 30, &MONTH, 12, SD_MON);
      if (choice < 0 || choice > 11) return false;
      DATE.MON = (int8_t)(choice + 1);
      fit_day(DATE);
      MONTH << SD_MON[choice];
      show_date();
      layout();
      return false;
    }
    case KEY_UP:
    case KEY_DOWN: {
      int year = DATE.YEAR + (code == KEY_UP ? 1 : -1);
      if (year < FIRST_YEAR || year > LAST_YEAR) return false;
      DATE.YEAR = (int16_t)year;
      YEAR << year_text(year, " %d").c_str();
      fit_day(DATE);
      show_date();
      layout();
      return false;
    }
    default:
      break;
  }
  int day = code - 800;
  if (day >= 1 && day <= (int)DAYS.size()) {
    DAYS[day - 1]->color(&cBLUE);
    DATE.DAY = (int8_t)day;
    show_date();
    *result = DATE;
    return true;
  }
  return false;
}

tdate tcalendar::run() {
  tdate result = START;
  while (!act(getkey(), &result)) {
  }
  return result;
}

tdate get_date(int x, int y, tdate date) {
  tcalendar c(x, y, date);
  return c.run();
}
