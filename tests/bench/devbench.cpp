// Device operations against the loader simulator on a private segment: wall
// time of each operation against the sum of the pauses it must make.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

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

// Discovery rounds without the chooser: best wall time of three and whether
// every round found exactly `devices` answers.
double best_discovery(int devices, bool* ok) {
  double best = 1e18;
  *ok = true;
  for (int i = 0; i < 3; i++) {
    std::vector<found_device> found;
    uint32_t t0 = plat::tick();
    int n = discover_devices(PORT, found, 1000);
    double ms = plat::tick() - t0;
    *ok = *ok && n == devices;
    if (ms < best) best = ms;
  }
  return best;
}

int print_discovery(int devices, double ms, bool ok) {
  const double floor_ms = 500, target = 1.1;
  std::printf("  %-20s %8.1f ms  floor %5.0f ms  ratio %.3f (target <= %.1f)%s\n",
              (std::string("discovery ") + std::to_string(devices) + (devices == 1 ? " device" : " devices")).c_str(),
              ms, floor_ms, ms / floor_ms, target, ok ? "" : "  FAILED");
  return ok ? 0 : 1;
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
  bool found;
  double ms = best_discovery(1, &found);
  status |= print_discovery(1, ms, found);
  // The burn alone: programming mode is entered before the clock starts.
  bool ok = set_programm_mode(ip.c_str(), PORT);
  uint32_t t0 = plat::tick();
  ok = burn_device(ip.c_str(), PORT, 0) && ok;
  double burn = plat::tick() - t0;
  const double floor_pages = 256 * 2 * 10, floor_all = floor_pages + 200;
  std::printf("  %-20s %8.1f ms  pauses %5.0f ms  ratio %.3f (target <= 1.05; to the page pauses alone, %.0f ms: %.3f)%s\n",
              "burn_device", burn, floor_all, burn / floor_all, floor_pages, burn / floor_pages, ok ? "" : "  FAILED");
  if (!ok) status = 1;
  seg.leave_host();

  // Twenty devices answering at once: their answers queue up in the pause.
  devtest::segment many(20);
  if (!many.start()) {
    std::printf("device bench: segment of 20 failed: %s\n", many.error().c_str());
    return 1;
  }
  {
    devtest::host_scope in_many(many);
    ms = best_discovery(20, &found);
    status |= print_discovery(20, ms, found);
  }
  return status;
}
