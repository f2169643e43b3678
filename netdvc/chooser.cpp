// The device chooser: the devices discovery found, sorted by address, one
// of which the user picks with Enter or the Select button.
#include "class/class.h"
#include "netdvc/netdvc.h"

int choose_device(tdbquery& DHCP, char* ip, char* name, unsigned char* mac, unsigned char* rev) {
  int result = 2;
  twindow w(435, 200, "Найдены устройства", 0, 0);
  DHCP.add_sort(1, 1);
  DHCP.sort();
  tdbgrid dhcp_grid(3, 3, -4, -26, &DHCP, 3000);
  thbutton bexit(4, -24, 0, "Выбрать", -3, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  tborder brd(2, 2, -3, -3, 1);
  dhcp_grid.add("Имя устройства", 135, 0, -1);
  dhcp_grid.add("IP Адрес", 135, 1, -1);
  dhcp_grid.add("MAC Адрес", 135, 2, -1);
  for (;;) {
    // Everything else, the grid's own codes included, only moves the focus
    // row or is none of the chooser's business.
    int code = getkey();
    if (code == KEY_ENTER) {
      int row = dhcp_grid.pos();
      DHCP.get_string(ip, 1, row);
      DHCP.get_string(name, 0, row);
      DHCP.get_string((char*)mac, 4, row);
      *rev = (unsigned char)DHCP.get_char(3, row);
      result = 0;
      break;
    }
    if (code == KEY_ESC || code == CMD_CLOSE) break;
  }
  return result;
}
