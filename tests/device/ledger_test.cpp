// The MAC ledger on a disk that fills up, and the promise that no address
// leaves for a board unless its reserved line is in the ledger. A full disk
// is a tiny tmpfs mounted in a mount namespace of a child process's own, so
// nothing outside the test ever sees it.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/macseries.h"
#include "netdvc/netdvc.h"
#include "platform/platform.h"
#include "tests/device/segment.h"

using devtest::host_scope;
using devtest::segment;

namespace {

// Removes a folder of the test's and what is in it.
inline void remove_tree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}


const uint16_t PORT = 48900;
const std::string CTL = std::string(VESKOR_BIN_DIR) + "/veskorctl";
const int SET_MAC = 0x0008;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A private folder for the settings, the ledger and the reports of one
// test, named in the environment every child inherits.
struct workspace {
  std::string dir;
  workspace() {
    char t[] = "/tmp/veskor-fulldisk-XXXXXX";
    dir = mkdtemp(t);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    mkdir((dir + "/run").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    mkdir((dir + "/data").c_str(), 0700);
  }
  ~workspace() {
    if (!::testing::Test::HasFailure()) remove_tree(dir);
  }
  std::string data() const { return dir + "/data"; }
  std::string ledger() const { return dir + "/data/veskor/ledger.csv"; }
};

// Runs fn in a child process that has a mount namespace of its own with a
// 64 KB tmpfs over folder; the child's exit status (fn's result), or 128 +
// the signal that ended it, or -1 when it did not end in time.
int with_small_tmpfs(const std::string& folder, const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (unshare(CLONE_NEWNS) != 0) _exit(201);
    // Private from the root down, so the mount below never leaks out.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(202);
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) _exit(203);
    _exit(fn());
  }
  int code = segment::wait_exit(pid, 120000);
  if (code < 0) {
    kill(pid, SIGKILL);
    segment::wait_exit(pid, 5000);
  }
  return code;
}

// Writes into a filler file until the file system has no block left.
bool fill(const std::string& folder) {
  int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::vector<char> block(4096, 'z');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  bool full = errno == ENOSPC;
  close(fd);
  return full;
}

ledger_line line_of(const char* mac, const std::string& name = "Board") {
  ledger_line l;
  l.time = "2026-01-01T00:00:00+00:00";
  l.address = "192.0.2.10";
  l.name = name;
  l.new_mac = mac;
  l.result = LEDGER_CONFIRMED;
  return l;
}

// key=value lines a child leaves for the test to read.
std::map<std::string, std::string> report_of(const std::string& path) {
  std::map<std::string, std::string> r;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) r[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return r;
}

bool set_mac_sent(const segment& seg) {
  for (auto& q : seg.requests(0))
    if (q.flags == SET_MAC || !q.mac.empty()) return true;
  return false;
}

// Runs veskorctl with args, its output into the files out and err, and
// waits for it: its exit code, or -1 when it did not exit.
int run_ctl(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  std::vector<char*> argv{const_cast<char*>(CTL.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t ctl = fork();
  if (ctl == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int n = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || n < 0) _exit(126);
    dup2(n, 0), dup2(o, 1), dup2(e, 2);
    execv(CTL.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(ctl, &status, 0) != ctl || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(FullDisk, AFailedAppendLeavesTheLedgerAsItWas) {
  if (geteuid() != 0) GTEST_SKIP() << "device test skipped: mounting a tmpfs needs root";
  workspace w;
  std::string report = w.dir + "/report";
  int code = with_small_tmpfs(w.data(), [&] {
    std::string error;
    for (const char* mac : {"5A:3C:19:11:46:02", "5A:3C:19:11:46:03", "5A:3C:19:11:46:04"})
      if (!ledger_append(w.ledger(), line_of(mac), error)) return 10;
    std::string before = read_file(w.ledger());
    if (!fill(w.data())) return 11;
    // Longer than the room left in the file's last block: the disk fills
    // up in the middle of the line.
    ledger_line l = line_of("5A:3C:19:11:46:05");
    l.firmware = std::string(6000, 'f');
    bool appended = ledger_append(w.ledger(), l, error);
    std::vector<ledger_line> lines;
    std::string read_error;
    bool read = ledger_read(w.ledger(), lines, read_error);
    std::ofstream(report) << "appended=" << appended << "\nerror=" << error << "\nsame="
                          << (read_file(w.ledger()) == before) << "\nread=" << read << " " << read_error
                          << "\nlines=" << lines.size() << "\n";
    return 0;
  });
  ASSERT_EQ(code, 0);
  auto r = report_of(report);
  EXPECT_EQ(r["appended"], "0");
  EXPECT_NE(r["error"].find(w.ledger()), std::string::npos) << r["error"];
  EXPECT_EQ(r["same"], "1");
  EXPECT_EQ(r["read"], "1 ");
  EXPECT_EQ(r["lines"], "3");
}

// The reserve is the gate: when the ledger cannot take the reserved line
// (a line too long for its reader, a disk that filled up after the checks)
// nothing is sent to the board, and veskorctl says why, naming the ledger.
TEST(FullDisk, NothingIsSentWhenTheReservedLineCannotBeWritten) {
  segment seg(1, {"--model", "WIBQE715"});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::string ip = seg.device_ip(0);
  {
    host_scope in(seg);
    std::memset(DEV_PASS, 0, sizeof DEV_PASS);
    std::memcpy(DEV_PASS, "________________", 16);
    ledger_device device;
    device.firmware = std::string(4096, '"');
    face_board board(ip.c_str(), PORT);
    mac_step step = assign_series_mac(app_ledger(), board, device);
    EXPECT_EQ(step.outcome, MAC_LEDGER_FAILED);
    EXPECT_NE(step.problem.find(w.ledger()), std::string::npos) << step.problem;
    const unsigned char typed[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x20};
    step = assign_typed_mac(app_ledger(), board, device, typed);
    EXPECT_EQ(step.outcome, MAC_LEDGER_FAILED);
    EXPECT_NE(step.problem.find(w.ledger()), std::string::npos) << step.problem;
    EXPECT_FALSE(set_mac_sent(seg));
  }

  // The disk: the ledger ends 50 bytes before the end of a block, and no
  // block is left, so the reserved line would be cut off after 50 bytes.
  std::string before_file = w.dir + "/ledger.before", after_file = w.dir + "/ledger.after";
  std::string out = w.dir + "/ctl.out", err = w.dir + "/ctl.err";
  host_scope in(seg);
  int code = with_small_tmpfs(w.data(), [&] {
    std::string error;
    for (const char* mac : {"5A:3C:19:11:46:02", "5A:3C:19:11:46:03"})
      if (!ledger_append(w.ledger(), line_of(mac), error)) return 10;
    long size = (long)read_file(w.ledger()).size();
    if (!ledger_append(w.ledger(), line_of("5A:3C:19:11:46:04", "x"), error)) return 10;
    long one = (long)read_file(w.ledger()).size() - size;  // a line with a one-letter name
    size += one;
    long name = ((4096 - 50) - (size + one - 1)) % 4096;
    if (name < 1) name += 4096;
    if (!ledger_append(w.ledger(), line_of("5A:3C:19:11:46:05", std::string((size_t)name, 'x')), error)) return 10;
    if (read_file(w.ledger()).size() % 4096 != 4096 - 50) return 12;
    write_file(before_file, read_file(w.ledger()));
    if (!fill(w.data())) return 11;
    int status = run_ctl({"mac", ip, "--next"}, out, err);
    write_file(after_file, read_file(w.ledger()));
    return status < 0 ? 13 : status;
  });
  EXPECT_EQ(code, 3) << read_file(err);
  EXPECT_NE(read_file(err).find(w.ledger()), std::string::npos) << read_file(err);
  EXPECT_TRUE(read_file(out).empty()) << read_file(out);
  EXPECT_FALSE(set_mac_sent(seg));
  // The ledger is as it was: every later step and check can still read it.
  std::string before = read_file(before_file);
  ASSERT_FALSE(before.empty());
  std::string after = read_file(after_file);
  EXPECT_TRUE(after == before) << "the ledger went from " << before.size() << " to " << after.size() << " bytes";
  std::vector<ledger_line> lines;
  std::string error;
  EXPECT_TRUE(ledger_read(after_file, lines, error)) << error;
  EXPECT_EQ(lines.size(), 4u);
}

// A ledger that can be read but not written (a read-only file system, where
// even root may not write) stops a batch that hands out addresses before
// any board is touched: found out at the first board's MAC, it left that
// board flashed and without its address. The check itself makes nothing.
TEST(FullDisk, ABatchWithALedgerItCannotWriteTouchesNoBoard) {
  segment seg(1, {"--model", "WIBQE715"});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::string error;
  EXPECT_TRUE(ledger_writable(w.dir + "/elsewhere/veskor/ledger.csv", error)) << error;
  EXPECT_FALSE(std::filesystem::exists(w.dir + "/elsewhere"));
  EXPECT_FALSE(ledger_writable(w.dir, error));
  EXPECT_NE(error.find(w.dir), std::string::npos) << error;

  std::string fw = w.dir + "/fw.hex", out = w.dir + "/ctl.out", err = w.dir + "/ctl.err";
  std::string report = w.dir + "/report";
  write_file(fw, ":0400000001020304F2\n:00000001FF\n");
  host_scope in(seg);
  int code = with_small_tmpfs(w.data(), [&] {
    std::string error;
    if (!ledger_append(w.ledger(), line_of("5A:3C:19:11:46:02"), error)) return 10;
    if (mount(nullptr, w.data().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 11;
    bool existing = ledger_writable(w.ledger(), error);
    std::string why = error;
    bool missing = ledger_writable(w.data() + "/other/ledger.csv", error);
    std::ofstream(report) << "existing=" << existing << "\nwhy=" << why << "\nmissing=" << missing << "\n";
    int status = run_ctl({"batch", fw, "--mac-next", "--count", "1"}, out, err);
    return status < 0 ? 13 : status;
  });
  EXPECT_EQ(code, 3) << read_file(err);
  auto r = report_of(report);
  EXPECT_EQ(r["existing"], "0");
  EXPECT_NE(r["why"].find(w.ledger()), std::string::npos) << r["why"];
  EXPECT_EQ(r["missing"], "0");
  EXPECT_NE(read_file(err).find(w.ledger()), std::string::npos) << read_file(err);
  EXPECT_TRUE(seg.requests(0).empty()) << seg.requests(0).size() << " requests reached the board";
}

}  // namespace
