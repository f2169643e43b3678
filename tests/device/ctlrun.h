// What the device tests of veskorctl share: a private folder for its
// settings and ledger, firmware files, and veskorctl run in the host
// namespace of a segment with its output kept.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "netdvc/netdvc.h"
#include "platform/platform.h"
#include "tests/device/segment.h"
#include "workflow/ledger.h"

namespace devtest {
namespace ctlrun {

// Removes a folder of the test's and what is in it.
inline void remove_tree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}


constexpr uint16_t PORT = 48900;
inline const std::string CTL = std::string(VESKOR_BIN_DIR) + "/veskorctl";
// 128 pages of 256 bytes: the quickest burn a model allows.
inline const devtest::knobs SMALL = {"--model", "WIBQE715"};
constexpr size_t SMALL_BYTES = 32768;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A private folder for the settings, the ledger and the files of one test,
// named in the environment every veskorctl started from here inherits.
struct workspace {
  std::string dir;
  workspace() {
    char t[] = "/tmp/veskor-ctl-XXXXXX";
    dir = mkdtemp(t);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    mkdir((dir + "/run").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
  }
  ~workspace() {
    if (!::testing::Test::HasFailure()) remove_tree(dir);
  }
  std::string ledger() const { return dir + "/data/veskor/ledger.csv"; }
  std::string hive() const { return dir + "/config/veskor/HKEY_CURRENT_USER.reg"; }
};

// An Intel HEX file of the image's first n bytes.
inline std::string hex_of(const std::vector<uint8_t>& image, size_t n) {
  std::string s;
  char buf[64];
  for (size_t a = 0; a < n; a += 16) {
    unsigned sum = 16 + (unsigned)(a >> 8 & 0xFF) + (unsigned)(a & 0xFF);
    std::snprintf(buf, sizeof buf, ":10%04X00", (unsigned)a);
    s += buf;
    for (size_t i = 0; i < 16; i++) {
      std::snprintf(buf, sizeof buf, "%02X", image[a + i]);
      s += buf;
      sum += image[a + i];
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (unsigned)(-sum & 0xFF));
    s += buf;
  }
  return s + ":00000001FF\n";
}

inline std::vector<uint8_t> random_image(unsigned seed) {
  std::vector<uint8_t> image(SMALL_BYTES);
  std::mt19937 rnd(seed);
  for (auto& b : image) b = (uint8_t)rnd();
  return image;
}

inline std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// veskorctl in the segment's host namespace, its output in out/err files.
struct run {
  int code = -1;
  std::string out, err;
};

inline pid_t start_ctl(devtest::segment& seg, const workspace& w, const std::vector<std::string>& args, const std::string& tag) {
  std::string cmd = "exec " + quoted(CTL);
  for (auto& a : args) cmd += " " + quoted(a);
  cmd += " >" + quoted(w.dir + "/" + tag + ".out") + " 2>" + quoted(w.dir + "/" + tag + ".err") + " </dev/null";
  return seg.spawn_in_host({"/bin/sh", "-c", cmd});
}

inline run ctl(devtest::segment& seg, const workspace& w, const std::vector<std::string>& args, int timeout_ms = 60000) {
  static int serial = 0;  // one count per test binary
  std::string tag = "run" + std::to_string(++serial);
  pid_t pid = start_ctl(seg, w, args, tag);
  run r;
  r.code = devtest::segment::wait_exit(pid, timeout_ms);
  if (r.code < 0) {
    kill(pid, SIGKILL);
    devtest::segment::wait_exit(pid, 5000);
  }
  r.out = read_file(w.dir + "/" + tag + ".out");
  r.err = read_file(w.dir + "/" + tag + ".err");
  return r;
}

// Texts here are cp1251; veskorctl speaks UTF-8 to the terminal.
inline std::string u8(const char* cp1251) { return plat::to_utf8(cp1251); }

inline int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
  return n;
}

// The ledger's lines of one kind: the MAC steps, or with burns the burns.
inline std::vector<ledger_line> ledger_of(const workspace& w, bool burns = false) {
  std::vector<ledger_line> lines, out;
  std::string error;
  EXPECT_TRUE(ledger_read(w.ledger(), lines, error)) << error;
  for (const ledger_line& l : lines)
    if (l.is_burn() == burns) out.push_back(l);
  return out;
}

inline std::string device_mac(const devtest::segment& seg, int k) {
  char name[17];
  unsigned char mac[6], rev;
  if (!get_device_name(seg.device_ip(k).c_str(), name, mac, &rev, PORT)) return "";
  return format_mac(mac);
}

}  // namespace ctlrun
}  // namespace devtest
