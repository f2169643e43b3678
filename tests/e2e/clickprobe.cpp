// A real toolkit window for the end-to-end tests: prints the mouse codes it
// receives with the client coordinates the toolkit saw, and ends on Esc or
// the close box. With --x-error it first makes the X server refuse a request
// (an event sent to a window that does not exist) and says whether it lived.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "class/class.h"
#include "platform/platform.h"

// A request about a window that is gone, on a connection of its own, as
// SDL's wake-up messages travel; true when the program is still here after
// the server's answer came back.
static bool survive_bad_window() {
  void* x = dlopen("libX11.so.6", RTLD_LAZY);
  if (!x) return false;
  auto open_display = (void* (*)(const char*))dlsym(x, "XOpenDisplay");
  auto send_event = (int (*)(void*, unsigned long, int, long, void*))dlsym(x, "XSendEvent");
  auto sync = (int (*)(void*, int))dlsym(x, "XSync");
  if (!open_display || !send_event || !sync) return false;
  void* display = open_display(nullptr);
  if (!display) return false;
  long event[24];
  std::memset(event, 0, sizeof event);
  event[0] = 33;  // ClientMessage
  send_event(display, 0x3fffff0, 0, 0, event);
  sync(display, 0);
  return true;
}

int main(int argc, char** argv) {
  static int instance;
  reg_class("VeskorProbe", &instance, 1);
  twindow w(300, 200, "clickprobe");
  w.foreground();
  if (argc > 1 && std::strcmp(argv[1], "--x-error") == 0) {
    std::printf(survive_bad_window() ? "survived\n" : "no x11\n");
    return 0;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    int code = getkey();
    if (code >= CMD_MOUSE_MOVE && code <= CMD_MOUSE_LUP) {
      std::printf("%d %d %d\n", code, MOUSE_X, MOUSE_Y);
      std::fflush(stdout);
    }
    if (code == KEY_ESC || code == CMD_CLOSE) break;
  }
  std::printf("bye\n");
  return 0;
}
