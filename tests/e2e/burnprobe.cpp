// A main window that burns a pseudo-random image into the device at argv[1],
// as the tool does: programming mode, then the burn under its progress
// window. Prints the outcome and ends.
#include <cstdio>
#include <cstring>
#include <random>

#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  static int instance;
  reg_class("VeskorBurnProbe", &instance, 1);
  twindow w(400, 200, "burnprobe");
  ttext label(10, 10, "Прошивка...", -1);
  w.foreground();
  std::memcpy(DEV_PASS, "________________", 16);
  std::mt19937 rnd(3);
  for (auto& b : MEMORY_MAP) b = (unsigned char)rnd();
  for (int i = 0; i < 5; i++) getkey();
  bool ok = set_programm_mode(argv[1], 48900) && burn_device(argv[1], 48900, 0);
  std::printf("burned %d\n", ok ? 1 : 0);
  return ok ? 0 : 1;
}
