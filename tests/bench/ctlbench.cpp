// veskorctl batch over five simulated devices: wall time per device against
// the protocol's floor for one device (programming mode, one burn, the MAC).
#include <sys/stat.h>

#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "tests/device/segment.h"

namespace {

// Removes a folder of the test's and what is in it.
inline void remove_tree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}


const int DEVICES = 5;

// The pauses the protocol makes for one device of 256 pages of 512 bytes,
// nothing else: identify, password and enter (3 x 100 ms), the loader's
// restart (1000 ms), the identify that confirms it (400 ms), the burn's
// identify and password (2 x 100 ms) and its pages (256 x 2 x 10 ms), the
// MAC's identify, password and store (100 + 100 + 10 ms) and leaving
// programming mode (100 ms).
const double FLOOR_MS = 300 + 1000 + 400 + 200 + 256 * 20 + 210 + 100;
const double TARGET = 1.1;

}  // namespace

int main() {
  std::string why;
  if (!devtest::segment::supported(&why)) {
    std::printf("veskorctl bench skipped: %s\n", why.c_str());
    return 0;
  }
  char t[] = "/tmp/veskor-ctlbench-XXXXXX";
  std::string dir = mkdtemp(t);
  // The bench's own settings and ledger: the series starts afresh.
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  mkdir((dir + "/run").c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
  std::ofstream(dir + "/fw.hex") << ":0400000001020304F2\n:00000001FF\n";

  devtest::segment seg(DEVICES);
  if (!seg.start()) {
    std::printf("veskorctl bench: segment failed: %s\n", seg.error().c_str());
    return 1;
  }
  std::string cmd = "exec '" VESKOR_BIN_DIR "/veskorctl' batch '" + dir + "/fw.hex' --mac-next --count " +
                    std::to_string(DEVICES) + " >'" + dir + "/out' 2>'" + dir + "/err'";
  uint32_t t0 = plat::tick();
  pid_t pid = seg.spawn_in_host({"/bin/sh", "-c", cmd});
  int code = devtest::segment::wait_exit(pid, 300000);
  double per_device = (double)(plat::tick() - t0) / DEVICES;
  bool ok = code == 0;
  std::printf("veskorctl batch, %d simulated devices, flash and MAC each\n", DEVICES);
  std::printf("  %-20s %8.1f ms  floor %5.0f ms  ratio %.3f (target <= %.1f)%s\n", "per device", per_device, FLOOR_MS,
              per_device / FLOOR_MS, TARGET, ok ? "" : "  FAILED");
  if (!ok) {
    std::ifstream err(dir + "/err");
    std::string line;
    while (std::getline(err, line)) std::printf("    %s\n", line.c_str());
  }
  remove_tree(dir);
  return ok ? 0 : 1;
}
