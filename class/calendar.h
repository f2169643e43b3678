// The calendar pop-up: one month as a grid of day buttons, the year with two
// arrows, the month chosen from a list; returns the chosen date.
#pragma once

#include <vector>

#include "class/button.h"
#include "class/date.h"
#include "class/draw.h"
#include "class/mouse.h"

// Month names, January first.
extern const char* SD_MON[12];

// Opens the picker at x, y relative to the current window, showing the
// month of date. Returns the chosen date, or date itself when the user
// leaves without choosing (Enter, Esc, the cancel button, the close box).
tdate get_date(int x, int y, tdate date);

// The picker's window and elements; get_date makes one and runs it.
class tcalendar {
 public:
  tdate START;  // the date it opened on, given back when nothing is chosen
  tdate DATE;   // the date shown
  int ROWS;     // rows of the month grid: 5 or 6

  twindow W;
  tbutton CANCEL;
  ttext YEAR;
  tborder YEAR_BRD;
  thbutton UP;
  thbutton DOWN_;
  tborder MONTH_BRD;
  tcbox MONTH;
  ttext DATE_TXT;
  tborder DATE_BRD;
  tbox AREA;
  tborder AREA_BRD;
  std::vector<thbutton*> DAYS;  // DAYS[n - 1] is day n

  // A date that is not valid opens on today.
  tcalendar(int x, int y, tdate date);
  ~tcalendar();
  tcalendar(const tcalendar&) = delete;
  tcalendar& operator=(const tcalendar&) = delete;

  // Acts on one code of the loop; true when the picker is done, with the
  // result in *result.
  bool act(int code, tdate* result);
  tdate run();

  // Lays out the shown month: the day buttons anew, the window's height by
  // the number of rows.
  void layout();

 private:
  void clear_days();
  void show_date();
};
