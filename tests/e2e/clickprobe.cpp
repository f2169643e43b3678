// A real toolkit window for the end-to-end tests: prints the mouse codes it
// receives with the client coordinates the toolkit saw, and ends on Esc or
// the close box.
#include <cstdio>

#include "class/class.h"
#include "platform/platform.h"

int main() {
  static int instance;
  reg_class("VeskorProbe", &instance, 1);
  twindow w(300, 200, "clickprobe");
  w.foreground();
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    int code = getkey();
    if (code >= 400 && code <= 404) {
      std::printf("%d %d %d\n", code, MOUSE_X, MOUSE_Y);
      std::fflush(stdout);
    }
    if (code == 27 || code == 384) break;
  }
  std::printf("bye\n");
  return 0;
}
