// veskorctl on the line at scale, against simulated boards of the default
// model (256 pages of 512 bytes):
//   - batch --mac-next --count K --parallel K for K = 1, 4, 16, 32 boards side
//     by side: one board against the protocol's floor, the others against
//     one board's time (boards worked at once must not wait for each other);
//   - the CPU veskorctl itself spends while it works 16 boards;
//   - flash --only-changed of the same image twice onto one board: the
//     second, which finds every page in place, against the first;
//   - the line's database ledger: batch --parallel 16 --mac-next with it
//     against the same run with the CSV file, and a whole panel of 64
//     boards at once with it against one board alone, with the CPU
//     veskorctl spends meanwhile.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/device/segment.h"
#include "tests/pg/pgtest.h"
#include "workflow/ledger_db.h"

namespace {

// Removes a folder of the bench's and what is in it.
inline void remove_tree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

const int MAX_BOARDS = 32;
const int IMAGE_BYTES = 131072;

// The pauses the protocol makes for one board of 256 pages of 512 bytes,
// nothing else: identify, password and enter (3 x 100 ms), the loader's
// restart (1000 ms), the identify that confirms it (400 ms), the burn's
// identify and password (2 x 100 ms) and its pages (256 x 2 x 10 ms), the
// MAC's identify, password and store (100 + 100 + 10 ms) and leaving
// programming mode (100 ms).
const double FLOOR_MS = 300 + 1000 + 400 + 200 + 256 * 20 + 210 + 100;
const double ONE_TARGET = 1.1;
// Boards side by side against one board alone.
struct scale_target {
  int boards;
  double ratio;  // 0: shown, no target
};
const scale_target SCALE[] = {{1, 0}, {4, 0}, {16, 1.1}, {32, 1.3}};
// veskorctl's own user + system time over its wall time while it works
// this many boards, in % of one core.
const int CPU_BOARDS = 16;
const double CPU_TARGET = 10;
const double ONLY_CHANGED_TARGET = 0.55;
// The database ledger: 16 boards with it against the CSV file (the median
// of RUNS each, taken in turns so that a busy moment of the machine falls
// on both), 64 at once against one alone, and veskorctl's CPU at 64.
const int DB_BOARDS = 16;
const double DB_TO_CSV_TARGET = 1.02;
const int PANEL_BOARDS = 64;
const double PANEL_TARGET = 1.05;
const double PANEL_CPU_TARGET = 20;
const int RUNS = 3;

// A whole memory's worth of data that differs from the erased 0xFF on every
// page, as Intel HEX with 32-byte records.
std::vector<uint8_t> image_bytes() {
  std::vector<uint8_t> b(IMAGE_BYTES);
  uint32_t x = 2463534242u;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = (uint8_t)(x % 255);  // never 0xFF
  }
  return b;
}

std::string hex_record(int type, uint16_t at, const uint8_t* data, int n) {
  char buf[16];
  unsigned sum = (unsigned)n + (at >> 8) + (at & 0xFF) + (unsigned)type;
  std::snprintf(buf, sizeof buf, ":%02X%04X%02X", n, at, type);
  std::string line = buf;
  for (int i = 0; i < n; i++) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    line += buf;
    sum += data[i];
  }
  std::snprintf(buf, sizeof buf, "%02X\n", (unsigned)(-sum & 0xFF));
  return line + buf;
}

std::string hex_text(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t at = 0; at < bytes.size(); at += 32) {
    if (at % 65536 == 0) {
      const uint8_t base[2] = {(uint8_t)(at >> 24), (uint8_t)(at >> 16)};
      text += hex_record(4, 0, base, 2);
    }
    text += hex_record(0, (uint16_t)(at & 0xFFFF), bytes.data() + at, 32);
  }
  return text + ":00000001FF\n";
}

struct run_result {
  int code = -1;
  double wall_ms = 0;
  double cpu_ms = 0;  // user + system of veskorctl alone
};

// Runs veskorctl with args in the segment's host namespace, stdout and
// stderr into output. wait4 gives the child's own resource use: the
// simulators are other processes and are not counted.
run_result run_ctl(devtest::segment& seg, const std::vector<std::string>& args, const std::string& output) {
  run_result r;
  std::vector<std::string> argv = {VESKOR_BIN_DIR "/veskorctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  uint32_t t0 = plat::tick();
  pid_t pid = seg.spawn_in_host(argv, output);
  if (pid <= 0) return r;
  int status = 0;
  rusage ru{};
  for (;;) {
    pid_t w = wait4(pid, &status, WNOHANG, &ru);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) return r;
    if (plat::tick() - t0 > 300000) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &ru);
      return r;
    }
    plat::sleep_ms(2);
  }
  r.wall_ms = plat::tick() - t0;
  r.cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// Settings and a ledger of the run's own, so every run starts the series
// afresh and finds no board finished before.
void fresh_settings(const std::string& dir) {
  remove_tree(dir);
  mkdir(dir.c_str(), 0700);
  setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
}

void show_output(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line) && n++ < 40) std::printf("    %s\n", line.c_str());
}

const char* verdict(bool ok) { return ok ? "" : "  MISSED"; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The database section; false when a target was missed or a run failed.
bool database_ledger(const std::string& dir, const std::string& fw) {
  pgtest::private_server server;
  std::string uri = server.started() ? pgtest::fresh_database(server.socket()) : "";
  std::string said, problem;
  if (uri.empty() || !database_init(uri, said, problem)) {
    std::printf("veskorctl bench: no PostgreSQL server for the database ledger %s\n", problem.c_str());
    return false;
  }
  devtest::segment seg(PANEL_BOARDS);
  if (!seg.start()) {
    std::printf("veskorctl bench: segment of %d failed: %s\n", PANEL_BOARDS, seg.error().c_str());
    return false;
  }
  bool ok = true;
  std::string out = dir + "/out";
  // --again: the boards carry addresses from the runs before, confirmed
  // beside this very firmware, and would be left alone.
  auto batch = [&](int boards, const std::string& ledger) {
    fresh_settings(dir + "/settings");
    std::vector<std::string> args = {"batch", fw, "--mac-next", "--again", "--count", std::to_string(boards),
                                     "--parallel", std::to_string(boards)};
    if (!ledger.empty()) args.insert(args.end(), {"--ledger", ledger});
    run_result r = run_ctl(seg, args, out);
    if (r.code != 0) {
      std::printf("    veskorctl ended with %d:\n", r.code);
      show_output(out);
      ok = false;
    }
    return r;
  };
  std::printf("veskorctl batch with the line's database ledger (PostgreSQL over a Unix socket)\n");
  std::vector<double> csv, db;
  for (int i = 0; i < RUNS; i++) {
    csv.push_back(batch(DB_BOARDS, "").wall_ms);
    db.push_back(batch(DB_BOARDS, uri).wall_ms);
  }
  double ratio = median(db) / median(csv);
  bool met = ok && ratio <= DB_TO_CSV_TARGET;
  std::printf("  %-20s %8.1f ms  CSV file %.1f ms  ratio %.3f (target <= %.2f)%s\n",
              (std::to_string(DB_BOARDS) + " boards").c_str(), median(db), median(csv), ratio, DB_TO_CSV_TARGET,
              verdict(met));
  ok = ok && met;
  std::vector<double> one;
  for (int i = 0; i < 2; i++) one.push_back(batch(1, uri).wall_ms);
  double alone = *std::min_element(one.begin(), one.end());
  run_result panel = batch(PANEL_BOARDS, uri);
  ratio = alone > 0 ? panel.wall_ms / alone : 0;
  met = panel.code == 0 && ratio <= PANEL_TARGET;
  std::printf("  %-20s %8.1f ms  one board %.1f ms  ratio %.3f (target <= %.2f)%s\n",
              (std::to_string(PANEL_BOARDS) + " boards").c_str(), panel.wall_ms, alone, ratio, PANEL_TARGET,
              verdict(met));
  ok = ok && met;
  double cpu = panel.wall_ms > 0 ? panel.cpu_ms / panel.wall_ms * 100 : 0;
  met = panel.code == 0 && cpu < PANEL_CPU_TARGET;
  std::printf("  %-20s %8.2f %%   of one core, veskorctl alone (target < %.0f %%)%s\n",
              ("CPU at " + std::to_string(PANEL_BOARDS) + " boards").c_str(), cpu, PANEL_CPU_TARGET, verdict(met));
  std::string given = pgtest::query(uri, "SELECT count(*) - count(DISTINCT mac) FROM veskor.mac_step WHERE state = 'confirmed'");
  std::printf("  %-20s %8s      (target 0)%s\n", "addresses twice", given.c_str(), verdict(given == "0"));
  return ok && met && given == "0";
}

}  // namespace

int main() {
  std::string why;
  if (!devtest::segment::supported(&why)) {
    std::printf("veskorctl bench skipped: %s\n", why.c_str());
    return 0;
  }
  char t[] = "/tmp/veskor-ctlbench-XXXXXX";
  std::string dir = mkdtemp(t);
  mkdir((dir + "/run").c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
  const std::vector<uint8_t> image = image_bytes();
  const std::string fw = dir + "/fw.hex";
  std::ofstream(fw) << hex_text(image);
  int status = 0;

  {
    devtest::segment seg(MAX_BOARDS);
    if (!seg.start()) {
      std::printf("veskorctl bench: segment of %d failed: %s\n", MAX_BOARDS, seg.error().c_str());
      remove_tree(dir);
      return 1;
    }
    std::printf("veskorctl batch --mac-next --count K --parallel K, K simulated boards side by side "
                "(flash with read-back, then the MAC)\n");
    double one = 0, cpu_share = -1;
    for (const scale_target& s : SCALE) {
      std::string out = dir + "/out";
      // One board alone is what the others are measured against: the best
      // of two, so that one slow run does not flatter every ratio.
      run_result r;
      for (int run = 0; run < (s.boards == 1 ? 2 : 1); run++) {
        fresh_settings(dir + "/settings");
        run_result t = run_ctl(seg, {"batch", fw, "--mac-next", "--count", std::to_string(s.boards), "--parallel",
                                     std::to_string(s.boards)},
                               out);
        // A failed run is shown whichever it was.
        if (run == 0 || t.code != 0 || (r.code == 0 && t.wall_ms < r.wall_ms)) r = t;
      }
      bool ran = r.code == 0;
      std::string label = std::to_string(s.boards) + (s.boards == 1 ? " board" : " boards");
      if (s.boards == 1) {
        one = r.wall_ms;
        bool ok = ran && r.wall_ms <= FLOOR_MS * ONE_TARGET;
        std::printf("  %-20s %8.1f ms  floor %5.0f ms  ratio %.3f (target <= %.1f)%s\n", label.c_str(), r.wall_ms,
                    FLOOR_MS, r.wall_ms / FLOOR_MS, ONE_TARGET, ran ? verdict(ok) : "  FAILED");
        if (!ok) status = 1;
      } else {
        double ratio = one > 0 ? r.wall_ms / one : 0;
        bool ok = ran && (s.ratio == 0 || (one > 0 && ratio <= s.ratio));
        char target[40] = "";
        if (s.ratio > 0) std::snprintf(target, sizeof target, " (target <= %.1f)", s.ratio);
        std::printf("  %-20s %8.1f ms  to one board %.3f%s%s\n", label.c_str(), r.wall_ms, ratio, target,
                    ran ? verdict(ok) : "  FAILED");
        if (!ok) status = 1;
      }
      if (s.boards == CPU_BOARDS && ran) cpu_share = r.cpu_ms / r.wall_ms * 100;
      if (!ran) {
        std::printf("    veskorctl ended with %d:\n", r.code);
        show_output(out);
      }
    }
    if (cpu_share >= 0) {
      bool ok = cpu_share < CPU_TARGET;
      std::printf("  %-20s %8.2f %%   of one core, user + system over wall, veskorctl alone (target < %.0f %%)%s\n",
                  ("CPU at " + std::to_string(CPU_BOARDS) + " boards").c_str(), cpu_share, CPU_TARGET, verdict(ok));
      if (!ok) status = 1;
    }
  }

  {
    // An erased board of its own.
    devtest::segment seg(1);
    if (!seg.start()) {
      std::printf("veskorctl bench: segment of 1 failed: %s\n", seg.error().c_str());
      remove_tree(dir);
      return 1;
    }
    std::printf("veskorctl flash --only-changed, one board, the same image twice\n");
    fresh_settings(dir + "/settings");
    std::string out = dir + "/out";
    const std::vector<std::string> args = {"flash", seg.device_ip(0), fw, "--only-changed"};
    run_result first = run_ctl(seg, args, out);
    bool ran = first.code == 0;
    if (!ran) show_output(out);
    run_result second = ran ? run_ctl(seg, args, out) : run_result();
    ran = ran && second.code == 0;
    if (first.code == 0 && second.code != 0) show_output(out);
    // Both runs must leave the image on the board, the second by writing nothing.
    ran = ran && seg.memory(0) == image;
    double ratio = first.wall_ms > 0 ? second.wall_ms / first.wall_ms : 0;
    bool ok = ran && ratio <= ONLY_CHANGED_TARGET;
    std::printf("  %-20s %8.1f ms\n", "onto an erased board", first.wall_ms);
    std::printf("  %-20s %8.1f ms  to the first %.3f (target <= %.2f)%s\n", "onto the same image", second.wall_ms,
                ratio, ONLY_CHANGED_TARGET, ran ? verdict(ok) : "  FAILED");
    if (!ok) status = 1;
  }
  if (!database_ledger(dir, fw)) status = 1;
  remove_tree(dir);
  return status;
}
