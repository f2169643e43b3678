#include "app/app.h"

#include "class/class.h"
#include "platform/platform.h"

int WinMain(void* instance, void*, char*, int) {
  reg_class("Veskor", instance, 1);
  twindow main_window(400, 200, "Veskor", 0, 0);
  main_window.foreground();
  for (;;) {
    int code = getkey();
    if (code == 27 || code == 384) break;
  }
  return 0;
}
