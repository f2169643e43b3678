// A real input dialog for the end-to-end tests and the screenshots: the
// address dialog's layout with its field being edited from the start. Every
// time an edit ends it prints the ending key and the buffer's bytes in hex;
// Enter in the field, Esc outside it or the close box end the program.
//
//   editprobe          the address dialog
//   editprobe --over   the same over a plain main window (screenshots)
//   editprobe --date   a window with a date field (its calendar opens on a
//                      click) and a combo field
#include <cstdio>
#include <cstring>

#include "class/class.h"
#include "platform/platform.h"

namespace {

void print_field(int lkey, const char* text) {
  std::printf("edit %d", lkey);
  for (const unsigned char* p = (const unsigned char*)text; *p; p++) std::printf(" %02X", *p);
  std::printf("\n");
  std::fflush(stdout);
}

int address_dialog() {
  twindow w(264, 57, "Введите IP Адрес");
  w.foreground();
  ttext t1(8, 8, "Адрес", -1);
  ttext tp(114, 8, "                ", 140);
  tborder bp(&tp, (char)254);
  tread rp(&tp, 1001);
  tborder bt(4, 4, -5, -29, 1);
  thbutton b0(-185, -23, 232, "Ok", 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  thbutton b1(XBT + 2, -23, 234, "Отмена", 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY);
  rp.read(0);
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    int code = getkey();
    if (code == 1001) {
      print_field(rp.LKEY, tp.text());
      if (rp.LKEY == KEY_ENTER) break;
      if (rp.LKEY == KEY_TAB) rp.read(-2);
    }
    if (code == KEY_ENTER || code == KEY_ESC || code == CMD_CLOSE) break;
  }
  return 0;
}

int date_window() {
  // Tall enough to hold the calendar that opens under the field.
  twindow w(300, 280, "Дата поверки");
  w.foreground();
  ttext t1(8, 8, "Дата", -1);
  ttext td(114, 8, tdate(14, 3, 2024), &cBLACK, &cWHITE);
  tborder bd(&td, (char)254);
  tread rd(&td, 1001);
  ttext t2(8, 34, "Месяц", -1);
  tcbox month(114, 34, SD_MON[2], 80, 1002);
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    int code = getkey();
    if (code == 1001) print_field(rd.LKEY, td.text());
    if (code == 1002) {
      int m = wpopup(&month, 12, SD_MON[0], SD_MON[1], SD_MON[2], SD_MON[3], SD_MON[4], SD_MON[5], SD_MON[6],
                     SD_MON[7], SD_MON[8], SD_MON[9], SD_MON[10], SD_MON[11]);
      if (m >= 0) month << SD_MON[m];
    }
    if (code == KEY_ESC || code == CMD_CLOSE) break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static int instance;
  reg_class("VeskorEditProbe", &instance, 1);
  const char* mode = argc > 1 ? argv[1] : "";
  int r;
  if (std::strcmp(mode, "--date") == 0) {
    r = date_window();
  } else if (std::strcmp(mode, "--over") == 0) {
    twindow main_window(480, 300, "Veskor");
    r = address_dialog();
  } else {
    r = address_dialog();
  }
  std::printf("bye\n");
  std::fflush(stdout);
  return r;
}
