// The line view under a line's load, against simulated boards:
//   - three benches of 16 boards each on one database, a view server with
//     20 pages open: how long an event of a bench takes to reach a page
//     (p95), and the CPU the view spends meanwhile;
//   - batch --parallel 16 with its own view and 5 pages open, against the
//     same batch without one.
#include <httplib.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/device/segment.h"
#include "tests/pg/pgtest.h"
#include "workflow/ledger_db.h"

namespace {

const int BENCHES = 3;
const int BOARDS = 16;
const int PAGES = 20;
const double LAG_TARGET_MS = 1000;
const double VIEW_CPU_TARGET = 5;
const int OVERHEAD_PAGES = 5;
const double OVERHEAD_TARGET = 1.02;
const int RUNS = 3;
const std::string CTL = VESKOR_BIN_DIR "/veskorctl";

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string shell_quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

long long now_ms() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// 32 KB of data on every page, as Intel HEX.
std::string firmware() {
  std::string s;
  char buf[80];
  unsigned seed = 7;
  for (unsigned a = 0; a < 32768; a += 16) {
    unsigned sum = 16 + (a >> 8 & 0xFF) + (a & 0xFF);
    std::snprintf(buf, sizeof buf, ":10%04X00", a);
    s += buf;
    for (int i = 0; i < 16; i++) {
      seed = seed * 1103515245 + 12345;
      unsigned b = seed >> 16 & 0xFF;
      std::snprintf(buf, sizeof buf, "%02X", b);
      s += buf;
      sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X\n", -sum & 0xFF);
    s += buf;
  }
  return s + ":00000001FF\n";
}

// User + system ticks of a process so far.
double cpu_seconds(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; i++) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return (double)(utime + stime) / sysconf(_SC_CLK_TCK);
}

// veskorctl view (or whatever args say) in this namespace; its port, read
// from what it says on stderr.
pid_t start_view(const std::vector<std::string>& args, const std::string& err, int& port) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(err.c_str(), "w", stderr) || !freopen("/dev/null", "w", stdout)) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(CTL.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(CTL.c_str(), argv.data());
    _exit(127);
  }
  port = 0;
  for (int i = 0; i < 400 && port == 0; i++) {
    std::string e = read_file(err);
    size_t at = e.find("127.0.0.1:");
    if (at != std::string::npos) port = std::atoi(e.c_str() + at + 10);
    usleep(50 * 1000);
  }
  return pid;
}

// Pages following the event stream; each note that says when it was said
// gives its lag.
class pages {
 public:
  pages(int port, int n) {
    for (int i = 0; i < n; i++)
      threads_.emplace_back([this, port] {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(300, 0);
        std::string pending;
        c.Get("/api/events", [&](const char* data, size_t len) {
          pending.append(data, len);
          long long now = now_ms();
          for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            std::string line = pending.substr(0, end);
            size_t at = line.find("\"at\":");
            if (line.rfind("data: ", 0) != 0 || at == std::string::npos) continue;
            std::lock_guard<std::mutex> hold(lock_);
            lags_.push_back((double)(now - std::atoll(line.c_str() + at + 5)));
          }
          return !stop_;
        });
      });
  }
  ~pages() {
    stop_ = true;
    for (auto& t : threads_) t.detach();
  }
  std::vector<double> lags() {
    std::lock_guard<std::mutex> hold(lock_);
    return lags_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<double> lags_;
  std::vector<std::thread> threads_;
};

const char* verdict(bool ok) { return ok ? "" : "  MISSED"; }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, (size_t)(p * v.size()))];
}

double median(std::vector<double> v) { return percentile(v, 0.5); }

// One batch in a segment's host namespace with settings of its own, and
// pages of its view (the segment's loopback is its own: the pages are
// curl processes there); its wall time in ms, -1 when it failed.
double batch(devtest::segment& seg, const std::string& dir, const std::string& env, const std::vector<std::string>& args,
             int view_port = 0, int readers = 0) {
  std::string cmd = "XDG_CONFIG_HOME=" + shell_quoted(dir + "/config") + " XDG_DATA_HOME=" + shell_quoted(dir + "/data") + " " +
                    env + " exec " + shell_quoted(CTL);
  for (const std::string& a : args) cmd += " " + shell_quoted(a);
  cmd += " >" + shell_quoted(dir + "/out") + " 2>&1 </dev/null";
  uint32_t t0 = plat::tick();
  pid_t pid = seg.spawn_in_host({"/bin/sh", "-c", cmd});
  std::vector<pid_t> pages;
  for (int i = 0; i < readers; i++)
    pages.push_back(seg.spawn_in_host({"curl", "-sN", "--retry", "20", "--retry-connrefused", "--retry-delay", "1",
                                       "-o", "/dev/null", "http://127.0.0.1:" + std::to_string(view_port) + "/api/events"}));
  int code = devtest::segment::wait_exit(pid, 300000);
  double wall = plat::tick() - t0;
  for (pid_t p : pages) {
    kill(p, SIGKILL);
    devtest::segment::wait_exit(p, 5000);
  }
  if (code != 0) {
    std::printf("    veskorctl ended with %d:\n%s", code, read_file(dir + "/out").substr(0, 2000).c_str());
    return -1;
  }
  return wall;
}

bool line_of_benches(const std::string& dir, const std::string& fw) {
  pgtest::private_server server;
  std::string uri = server.started() ? pgtest::fresh_database(server.socket()) : "";
  std::string said, problem;
  if (uri.empty() || !database_init(uri, said, problem)) {
    std::printf("view bench: no PostgreSQL server %s\n", problem.c_str());
    return false;
  }
  std::vector<std::unique_ptr<devtest::segment>> segs;
  for (int b = 0; b < BENCHES; b++) {
    segs.emplace_back(new devtest::segment(BOARDS));
    if (!segs.back()->start()) {
      std::printf("view bench: segment failed: %s\n", segs.back()->error().c_str());
      return false;
    }
  }
  int port = 0;
  pid_t view = start_view({"view", "--listen", "127.0.0.1:0", "--ledger", uri}, dir + "/view.err", port);
  if (port <= 0) {
    std::printf("view bench: the view did not start:\n%s", read_file(dir + "/view.err").c_str());
    return false;
  }
  bool ok = true;
  {
    pages open(port, PAGES);
    usleep(500 * 1000);
    double cpu0 = cpu_seconds(view);
    uint32_t t0 = plat::tick();
    std::vector<std::thread> runs;
    std::vector<double> walls(BENCHES);
    for (int b = 0; b < BENCHES; b++) {
      std::string bdir = dir + "/bench" + std::to_string(b);
      std::filesystem::create_directories(bdir);
      runs.emplace_back([&, b, bdir] {
        walls[b] = batch(*segs[b], bdir, "VESKOR_LEDGER=" + shell_quoted(uri) + " VESKOR_BENCH=bench" + std::to_string(b),
                         {"batch", fw, "--mac-next", "--count", std::to_string(BOARDS), "--parallel", std::to_string(BOARDS)});
      });
    }
    for (auto& t : runs) t.join();
    double wall = (plat::tick() - t0) / 1000.0;
    double cpu = (cpu_seconds(view) - cpu0) / wall * 100;
    usleep(1500 * 1000);
    std::vector<double> lags = open.lags();
    for (double w : walls) ok = ok && w > 0;
    double p95 = percentile(lags, 0.95);
    bool met = !lags.empty() && p95 <= LAG_TARGET_MS;
    std::printf("line view: %d benches x %d boards on one database, %d pages open\n", BENCHES, BOARDS, PAGES);
    std::printf("  %-24s %8.0f ms  over %zu events (target <= %.0f ms)%s\n", "lag behind an event p95", p95,
                lags.size(), LAG_TARGET_MS, verdict(met));
    ok = ok && met;
    met = cpu < VIEW_CPU_TARGET;
    std::printf("  %-24s %8.2f %%   of one core over %.1f s (target < %.0f %%)%s\n", "view CPU", cpu, wall,
                VIEW_CPU_TARGET, verdict(met));
    ok = ok && met;
  }
  kill(view, SIGINT);
  devtest::segment::wait_exit(view, 10000);
  return ok;
}

bool view_beside_a_batch(const std::string& dir, const std::string& fw) {
  devtest::segment seg(BOARDS);
  if (!seg.start()) {
    std::printf("view bench: segment failed: %s\n", seg.error().c_str());
    return false;
  }
  std::vector<double> without, with;
  bool ok = true;
  for (int i = 0; i < RUNS; i++) {
    std::string d = dir + "/alone" + std::to_string(i);
    std::filesystem::create_directories(d);
    without.push_back(batch(seg, d, "", {"batch", fw, "--mac-next", "--again", "--count", "16", "--parallel", "16"}));
    d = dir + "/viewed" + std::to_string(i);
    std::filesystem::create_directories(d);
    int port = 18480 + i;
    with.push_back(batch(seg, d, "",
                         {"batch", fw, "--mac-next", "--again", "--count", "16", "--parallel", "16", "--view",
                          "127.0.0.1:" + std::to_string(port)},
                         port, OVERHEAD_PAGES));
  }
  for (double w : without) ok = ok && w > 0;
  for (double w : with) ok = ok && w > 0;
  double ratio = median(with) / median(without);
  bool met = ok && ratio <= OVERHEAD_TARGET;
  std::printf("batch --parallel %d --view, %d pages open, against the same batch without it\n", BOARDS, OVERHEAD_PAGES);
  std::printf("  %-24s %8.0f ms  without %.0f ms  ratio %.3f (target <= %.2f)%s\n", "with the view", median(with),
              median(without), ratio, OVERHEAD_TARGET, verdict(met));
  return met;
}

}  // namespace

int main() {
  std::string why;
  if (!devtest::segment::supported(&why)) {
    std::printf("view bench skipped: %s\n", why.c_str());
    return 0;
  }
  char t[] = "/tmp/veskor-viewbench-XXXXXX";
  std::string dir = mkdtemp(t);
  std::string fw = dir + "/fw.hex";
  std::ofstream(fw) << firmware();
  int status = 0;
  if (!line_of_benches(dir, fw)) status = 1;
  if (!view_beside_a_batch(dir, fw)) status = 1;
  std::filesystem::remove_all(dir);
  return status;
}
