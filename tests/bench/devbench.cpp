// Device operations against the loader simulator on a private segment: wall
// time of each operation against the sum of the pauses it must make.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"
#include "platform/platform.h"
#include "tests/device/segment.h"

namespace {

const uint16_t PORT = 48900;

double best_of(int runs, bool (*op)(const char*), const char* ip, bool* ok) {
  double best = 1e18;
  *ok = true;
  for (int i = 0; i < runs; i++) {
    uint32_t t0 = plat::tick();
    *ok = op(ip) && *ok;
    double ms = plat::tick() - t0;
    if (ms < best) best = ms;
  }
  return best;
}

bool op_enter(const char* ip) { return set_programm_mode(ip, PORT); }
bool op_check(const char* ip) { return check_device_found(ip, PORT); }
bool op_exit(const char* ip) { return exit_programm_mode(ip, PORT); }
bool op_mac(const char* ip) {
  const unsigned char mac[6] = {0x02, 0, 0, 0, 0, 1};
  return set_mac(ip, PORT, mac);
}

}  // namespace

int main() {
  std::string why;
  if (!devtest::segment::supported(&why)) {
    std::printf("device bench skipped: %s\n", why.c_str());
    return 0;
  }
  static int instance;
  reg_class("VeskorBench", &instance, 1);
  std::memcpy(DEV_PASS, "________________", 16);
  std::mt19937 rnd(1);
  for (auto& b : MEMORY_MAP) b = (unsigned char)rnd();

  devtest::segment seg(1);
  if (!seg.start()) {
    std::printf("device bench: segment failed: %s\n", seg.error().c_str());
    return 1;
  }
  devtest::host_scope host(seg);
  std::string ip = seg.device_ip(0);
  int status = 0;
  std::printf("device operations against the simulator (best of 3; pauses are the mandated floor)\n");
  struct {
    const char* name;
    bool (*op)(const char*);
    unsigned floor_ms;
  } ops[] = {{"set_programm_mode", op_enter, 300},
             {"check_device_found", op_check, 400},
             {"exit_programm_mode", op_exit, 100},
             {"set_mac", op_mac, 210}};
  for (auto& o : ops) {
    bool ok;
    double ms = best_of(3, o.op, ip.c_str(), &ok);
    std::printf("  %-20s %8.1f ms  pauses %5u ms  ratio %.3f%s\n", o.name, ms, o.floor_ms, ms / o.floor_ms,
                ok ? "" : "  FAILED");
    if (!ok) status = 1;
  }
  // The burn alone: programming mode is entered before the clock starts.
  bool ok = set_programm_mode(ip.c_str(), PORT);
  uint32_t t0 = plat::tick();
  ok = burn_device(ip.c_str(), PORT, 0) && ok;
  double burn = plat::tick() - t0;
  const double floor_pages = 256 * 2 * 10, floor_all = floor_pages + 200;
  std::printf("  %-20s %8.1f ms  pauses %5.0f ms  ratio %.3f (to the page floor %.0f ms: %.3f, target <= 1.05)%s\n",
              "burn_device", burn, floor_all, burn / floor_all, floor_pages, burn / floor_pages, ok ? "" : "  FAILED");
  if (!ok) status = 1;
  return status;
}
