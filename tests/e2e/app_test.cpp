// The tool itself, end to end: build/bin/veskor runs in the host namespace
// of a private segment of simulated devices, on an Xvfb server of the
// test's own, with its settings in a temporary folder, and is driven with
// xdotool as a technician would drive it. Outcomes are read where they
// land: window captions, the simulators' memories and request logs, the
// settings file.
//
// With VESKOR_APP_SHOTS set to a folder, the main window and every dialog
// are saved there as PNG files on the way (the pictures in docs/).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/macseries.h"
#include "netdvc/netdvc.h"
#include "tests/device/segment.h"
#include "tests/e2e/xsession.h"

namespace {

// Removes a folder of the test's and what is in it.
inline void remove_tree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}


bool wait_until(const std::function<bool()>& done, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// A temporary folder, removed with what is in it.
struct temp_dir {
  std::string path;
  temp_dir() {
    char t[] = "/tmp/veskor-app-XXXXXX";
    path = mkdtemp(t) ? t : "";
  }
  ~temp_dir() {
    if (!path.empty() && !::testing::Test::HasFailure()) remove_tree(path);
  }
};

// An Intel HEX file of 16-byte data records and an end record.
std::string hex_file(const std::vector<uint8_t>& image) {
  std::string out;
  char line[64];
  for (size_t a = 0; a < image.size(); a += 16) {
    int sum = 16 + (int)(a >> 8) + (int)(a & 255);
    int n = snprintf(line, sizeof line, ":10%04X00", (unsigned)a);
    for (int i = 0; i < 16; i++) {
      n += snprintf(line + n, sizeof line - n, "%02X", image[a + i]);
      sum += image[a + i];
    }
    snprintf(line + n, sizeof line - n, "%02X\r\n", (256 - (sum & 255)) & 255);
    out += line;
  }
  return out + ":00000001FF\r\n";
}

struct window_info {
  std::string id, name;
  int w = 0, h = 0, x = 0, y = 0;
};

// The tool under test on the segment's host, and what a technician does.
class tool {
 public:
  xsession x;
  devtest::segment& seg;
  temp_dir dir;
  pid_t pid = -1;
  std::string shots;

  explicit tool(devtest::segment& s) : seg(s) {
    if (const char* d = std::getenv("VESKOR_APP_SHOTS")) shots = d;
    mkdir((dir.path + "/config").c_str(), 0700);
    mkdir((dir.path + "/config/veskor").c_str(), 0700);
    mkdir((dir.path + "/run").c_str(), 0700);
  }
  ~tool() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  std::string hive_path() const { return dir.path + "/config/veskor/HKEY_CURRENT_USER.reg"; }
  std::string hive() const { return read_file(hive_path()); }

  bool start() {
    if (!x.start()) return false;
    setenv("DISPLAY", x.display.c_str(), 1);
    setenv("SDL_VIDEODRIVER", "x11", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("XDG_CONFIG_HOME", (dir.path + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir.path + "/run").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir.path + "/data").c_str(), 1);
    pid = seg.spawn_in_host({VESKOR_BIN_DIR "/veskor"}, dir.path + "/veskor.out");
    return pid > 0;
  }

  std::vector<window_info> windows() {
    std::vector<window_info> out;
    std::istringstream ids(x.output("xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null"));
    for (std::string id; std::getline(ids, id);) {
      window_info w;
      w.id = id;
      w.name = x.output("xdotool getwindowname " + id + " 2>/dev/null");
      if (!w.name.empty() && w.name.back() == '\n') w.name.pop_back();
      std::istringstream g(x.output("xdotool getwindowgeometry --shell " + id + " 2>/dev/null"));
      for (std::string l; std::getline(g, l);) {
        if (l.rfind("WIDTH=", 0) == 0) w.w = atoi(l.c_str() + 6);
        if (l.rfind("HEIGHT=", 0) == 0) w.h = atoi(l.c_str() + 7);
        if (l.rfind("X=", 0) == 0) w.x = atoi(l.c_str() + 2);
        if (l.rfind("Y=", 0) == 0) w.y = atoi(l.c_str() + 2);
      }
      out.push_back(w);
    }
    return out;
  }

  // A visible window whose caption contains part (UTF-8, as X has it).
  bool wait_window(const std::string& part, window_info* found = nullptr, int ms = 15000) {
    return wait_until(
        [&] {
          for (const window_info& w : windows())
            if (w.name.find(part) != std::string::npos) {
              if (found) *found = w;
              return true;
            }
          return false;
        },
        ms);
  }

  // A message or question box: a popup without caption, 60 pixels high
  // inside its 3-pixel frame.
  bool wait_box(window_info* found = nullptr, int ms = 15000) {
    return wait_until(
        [&] {
          for (const window_info& w : windows())
            if (w.name.empty() && w.h == 66) {
              if (found) *found = w;
              return true;
            }
          return false;
        },
        ms);
  }

  bool no_box() {
    for (const window_info& w : windows())
      if (w.name.empty() && w.h == 66) return false;
    return true;
  }

  void key(const std::string& keys) { x.run("xdotool key --delay 60 " + keys); }
  void type(const std::string& text) { EXPECT_EQ(x.type(text, 40), 0) << text; }

  // Answers the box standing now with Enter and waits until it is gone.
  bool confirm_box() {
    if (!wait_box()) return false;
    key("Return");
    return wait_until([&] { return no_box(); }, 10000);
  }

  void shot(const window_info& w, const char* file) {
    if (shots.empty()) return;
    // Let the last drawing reach the screen before it is taken.
    usleep(300 * 1000);
    char crop[64];
    snprintf(crop, sizeof crop, "%dx%d+%d+%d", w.w, w.h, w.x, w.y);
    x.run("import -window root -crop " + std::string(crop) + " +repage '" + shots + "/" + file + "'");
  }

  int wait_exit(int ms) {
    int status = devtest::segment::wait_exit(pid, ms);
    if (status >= 0) pid = -1;
    return status;
  }
};

std::vector<devtest::request_entry> log_of(devtest::segment& seg, int k) { return seg.requests(k); }

bool logged(devtest::segment& seg, int k, int flags, const std::string& outcome = "answered",
            const std::string& mac = "") {
  for (const auto& e : log_of(seg, k))
    if (e.flags == flags && e.outcome == outcome && (mac.empty() || e.mac == mac)) return true;
  return false;
}

// The device answered an identify request after it entered programming
// mode: the tool has left its pause and is about to serve commands.
bool confirmed(devtest::segment& seg, int k) {
  bool entered = false;
  for (const auto& e : log_of(seg, k)) {
    if (e.flags == REQ_ENTER_PROGRAMM && e.outcome == "answered") entered = true;
    else if (entered && e.flags == REQ_IDENTIFY && e.outcome == "answered") return true;
  }
  return false;
}

#define NEED_X()                                                          \
  if (!have_program("Xvfb") || !have_program("xdotool"))                  \
  GTEST_SKIP() << "Xvfb or xdotool missing"

TEST(AppEndToEnd, DiscoverPasswordFlashMacSeriesTypedMacAndLeave) {
  NEED_X();
  devtest::segment seg(std::vector<devtest::knobs>{
      {"--password", "demo", "--name", "BENCH-A", "--mac", "02:00:00:00:00:0A"},
      {"--password", "demo", "--name", "BENCH-B", "--mac", "02:00:00:00:00:0B", "--version", "21"}});
  START_SEGMENT_OR_SKIP(seg);
  tool t(seg);

  // The last file, set beforehand: an 8 KB image.
  std::vector<uint8_t> image(8192);
  std::mt19937 rnd(11);
  for (auto& b : image) b = (uint8_t)rnd();
  std::string firmware = t.dir.path + "/firmware.hex";
  write_file(firmware, hex_file(image));
  write_file(t.hive_path(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quarnel\\Trellan]\n\"LastFile\"=\"" +
                                firmware + "\"\n\n");
  ASSERT_TRUE(t.start());

  // Both devices are listed, sorted by address: a click on the second row
  // (below the 18-pixel header, rows 15 apart) and Enter choose it.
  window_info w;
  ASSERT_TRUE(t.wait_window(u8"Найдены устройства", &w));
  t.x.run("xdotool mousemove --window " + w.id + " 60 45 click 1");
  t.key("Return");
  ASSERT_TRUE(t.wait_window(u8"Введите пароль", &w));
  t.type("demo");
  t.shot(w, "password.png");
  t.key("Return");

  // The caption names the file and its last address.
  window_info main_window;
  ASSERT_TRUE(t.wait_window("firmware.hex (0x1FFF)", &main_window));
  ASSERT_TRUE(wait_until([&] { return confirmed(seg, 1); }, 20000)) << "no programming mode on the chosen device";
  EXPECT_TRUE(log_of(seg, 0).size() <= 2u) << "the device not chosen got more than discovery";

  // F2 flashes: the simulator's memory ends up as the image, and the
  // message follows.
  t.key("F2");
  std::vector<uint8_t> want(image);
  want.resize(131072, 0xFF);
  EXPECT_TRUE(wait_until([&] { return seg.memory(1) == want; }, 30000)) << "the image did not arrive";
  ASSERT_TRUE(t.confirm_box()) << "no message after the burn";
  t.shot(main_window, "main_window.png");

  // F3 twice: the series from its default start, each stored.
  t.key("F3");
  EXPECT_TRUE(wait_until([&] { return logged(seg, 1, REQ_SET_MAC, "answered", "5A:3C:19:11:46:02"); }, 10000));
  ASSERT_TRUE(t.confirm_box());
  EXPECT_NE(t.hive().find("\"LastMac\"=hex:5a,3c,19,11,46,02"), std::string::npos) << t.hive();
  t.key("F3");
  EXPECT_TRUE(wait_until([&] { return logged(seg, 1, REQ_SET_MAC, "answered", "5A:3C:19:11:46:03"); }, 10000));
  ASSERT_TRUE(t.confirm_box());
  EXPECT_NE(t.hive().find("\"LastMac\"=hex:5a,3c,19,11,46,03"), std::string::npos) << t.hive();

  // F4: a typed address. The first field is edited from its start, the
  // later ones with their text selected. A group address is written only
  // after the question, which is answered "no" here: nothing is sent.
  auto type_mac = [&](std::vector<const char*> bytes) {
    t.key("F4");
    ASSERT_TRUE(t.wait_window(u8"Введите MAC Адрес", &w));
    t.type(bytes[0]);
    for (size_t i = 1; i < bytes.size(); i++) {
      t.key("Tab");
      t.type(bytes[i]);
    }
    t.key("Return");
  };
  type_mac({"FF", "FF", "FF", "FF", "FF", "FF"});
  ASSERT_TRUE(t.wait_box(&w)) << "no question before a group address";
  t.shot(w, "group_mac.png");
  t.key("Escape");
  ASSERT_TRUE(wait_until([&] { return t.no_box(); }, 10000));
  EXPECT_FALSE(logged(seg, 1, REQ_SET_MAC, "answered", "FF:FF:FF:FF:FF:FF"));

  // An address the ledger gives already (MAC++ gave it to this board, whose
  // MAC has moved on since) is asked about too.
  type_mac({"5A", "3C", "19", "11", "46", "02"});
  ASSERT_TRUE(t.wait_box(&w)) << "no question before an address given already";
  t.shot(w, "given_mac.png");
  t.key("Escape");
  ASSERT_TRUE(wait_until([&] { return t.no_box(); }, 10000));
  int sent = 0;
  for (const auto& e : log_of(seg, 1)) sent += e.flags == REQ_SET_MAC && e.mac == "5A:3C:19:11:46:02";
  EXPECT_EQ(sent, 1) << "sent again after no";

  // An address of the series typed by hand goes through the ledger like
  // MAC++ does, so the next MAC++ passes it: typed on one board, it can
  // never be handed to the next by the series.
  type_mac({"5A", "3C", "19", "11", "46", "09"});
  EXPECT_TRUE(wait_until([&] { return logged(seg, 1, REQ_SET_MAC, "answered", "5A:3C:19:11:46:09"); }, 10000));
  ASSERT_TRUE(t.confirm_box());
  EXPECT_NE(t.hive().find("\"LastMac\"=hex:5a,3c,19,11,46,03"), std::string::npos) << t.hive();
  std::string ledger = read_file(t.dir.path + "/data/veskor/ledger.csv");
  for (const char* result : {",reserved,", ",confirmed,"}) {
    bool found = false;
    std::istringstream lines(ledger);
    for (std::string l; std::getline(lines, l);)
      found = found || (l.find(",5A:3C:19:11:46:09,") != std::string::npos && l.find(result) != std::string::npos);
    EXPECT_TRUE(found) << result << " line missing:\n" << ledger;
  }
  t.key("F3");
  EXPECT_TRUE(wait_until([&] { return logged(seg, 1, REQ_SET_MAC, "answered", "5A:3C:19:11:46:0A"); }, 10000));
  ASSERT_TRUE(t.confirm_box());

  // Esc leaves, and programming mode is switched off on the way out.
  t.key("Escape");
  EXPECT_EQ(t.wait_exit(15000), 0);
  EXPECT_TRUE(logged(seg, 1, REQ_EXIT_PROGRAMM));
  EXPECT_FALSE(logged(seg, 0, REQ_PASSWORD));
}

TEST(AppEndToEnd, NothingAnswersTheBroadcastAndTheAddressIsTypedByHand) {
  NEED_X();
  // Bound to its own address, the device hears no broadcast but answers
  // the address typed by hand.
  devtest::segment seg(1, {"--bind", "192.0.2.10"});
  START_SEGMENT_OR_SKIP(seg);
  tool t(seg);
  ASSERT_TRUE(t.start());

  window_info w;
  ASSERT_TRUE(t.wait_box(&w)) << "no question after the discovery rounds";
  t.shot(w, "not_found.png");
  t.key("Return");
  ASSERT_TRUE(t.wait_window(u8"Введите IP Адрес", &w));
  t.type("192.0.2.10");
  t.shot(w, "ip_address.png");
  t.key("Return");
  // Identified: the main window and the password dialog over it.
  ASSERT_TRUE(t.wait_window(u8"Введите пароль", &w));
  EXPECT_TRUE(logged(seg, 0, REQ_IDENTIFY));
  // Cancelled: the program ends without a word to the device.
  t.key("Escape Escape");
  EXPECT_EQ(t.wait_exit(10000), 0);
  EXPECT_FALSE(logged(seg, 0, REQ_PASSWORD));
  EXPECT_FALSE(logged(seg, 0, REQ_EXIT_PROGRAMM));
}

TEST(AppEndToEnd, AWrongPasswordIsReportedAndEndsTheProgram) {
  NEED_X();
  devtest::segment seg(1, {"--password", "right"});
  START_SEGMENT_OR_SKIP(seg);
  tool t(seg);
  ASSERT_TRUE(t.start());

  ASSERT_TRUE(t.wait_window(u8"Найдены устройства"));
  t.key("Return");
  ASSERT_TRUE(t.wait_window(u8"Введите пароль"));
  t.type("wrong");
  t.key("Return");
  // "Ошибка пароля" (once or twice within the budget), then "Режим
  // программирования не включился...": every box is answered until the
  // program ends.
  int boxes = 0;
  int status = -1;
  wait_until(
      [&] {
        status = devtest::segment::wait_exit(t.pid, 0);
        if (status >= 0) return true;
        if (!t.no_box()) {
          t.key("Return");
          boxes++;
          wait_until([&] { return t.no_box(); }, 5000);
        }
        return false;
      },
      30000);
  if (status >= 0) t.pid = -1;
  EXPECT_EQ(status, 0);
  EXPECT_GE(boxes, 2);
  EXPECT_TRUE(logged(seg, 0, REQ_PASSWORD, "refused"));
  EXPECT_FALSE(logged(seg, 0, REQ_ENTER_PROGRAMM));
  EXPECT_FALSE(logged(seg, 0, REQ_EXIT_PROGRAMM));
}

TEST(AppEndToEnd, ATypedAddressThatDoesNotAnswerIsNamedBeforeTheEnd) {
  NEED_X();
  devtest::segment seg(1, {"--bind", "192.0.2.10"});
  START_SEGMENT_OR_SKIP(seg);
  tool t(seg);
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(t.wait_box()) << "no question after the discovery rounds";
  t.key("Return");
  ASSERT_TRUE(t.wait_window(u8"Введите IP Адрес"));
  t.type("192.0.2.99");
  t.key("Return");
  window_info w;
  ASSERT_TRUE(t.wait_box(&w)) << "the program ended without a word";
  t.shot(w, "no_answer.png");
  t.key("Return");
  EXPECT_EQ(t.wait_exit(10000), 0);
}

// A firmware file that holds no data (or ends before its end record) is no
// firmware: it is named as such, and Flash stays off, so an erased image can
// never be written by a slip of F2.
TEST(AppEndToEnd, AnEmptyFirmwareFileKeepsFlashOff) {
  NEED_X();
  devtest::segment seg(1, {"--password", "demo"});
  START_SEGMENT_OR_SKIP(seg);
  tool t(seg);
  std::string firmware = t.dir.path + "/empty.hex";
  write_file(firmware, "");
  write_file(t.hive_path(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Quarnel\\Trellan]\n\"LastFile\"=\"" +
                                firmware + "\"\n\n");
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(t.wait_window(u8"Найдены устройства"));
  t.key("Return");
  ASSERT_TRUE(t.wait_window(u8"Введите пароль"));
  t.type("demo");
  t.key("Return");
  window_info w;
  ASSERT_TRUE(t.wait_box(&w)) << "an empty file was taken without a word";
  t.shot(w, "empty_firmware.png");
  t.key("Return");
  ASSERT_TRUE(wait_until([&] { return confirmed(seg, 0); }, 20000));
  window_info main_window;
  ASSERT_TRUE(t.wait_window("empty.hex", &main_window));
  // F2 is ignored; the box of MAC++ that follows shows that F2's turn has
  // passed.
  t.key("F2");
  t.key("F3");
  ASSERT_TRUE(t.confirm_box());
  t.shot(main_window, "flash_off.png");
  bool wrote = false;
  for (const auto& e : log_of(seg, 0)) wrote = wrote || (e.flags & 0xFF) == REQ_WRITE_PAGE;
  EXPECT_FALSE(wrote) << "an empty image went to the device";
  EXPECT_TRUE(logged(seg, 0, REQ_SET_MAC, "answered", "5A:3C:19:11:46:02"));
  t.key("Escape");
  EXPECT_EQ(t.wait_exit(15000), 0);
}

// The series step without windows: what it tells the user, and what it
// stores, when the settings can and cannot be written and when the device
// refuses.
TEST(AppMacSeries, StoredOnceTheDeviceTookItAndReportedWhenItCannotBe) {
  devtest::segment seg(std::vector<devtest::knobs>{{}, {"--refuse-mac"}});
  START_SEGMENT_OR_SKIP(seg);
  temp_dir dir;
  setenv("XDG_CONFIG_HOME", dir.path.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
  setenv("XDG_DATA_HOME", dir.path.c_str(), 1);
  std::string hive = dir.path + "/veskor/HKEY_CURRENT_USER.reg";
  memset(DEV_PASS, 0, sizeof DEV_PASS);
  memcpy(DEV_PASS, "________________", 16);
  devtest::host_scope in(seg);
  ASSERT_TRUE(in.ok());

  static std::vector<std::string> shown;
  auto show = [](const char* text) { shown.push_back(text); };
  unsigned char mac[6];
  std::string ip0 = seg.device_ip(0), ip1 = seg.device_ip(1);

  ASSERT_TRUE(assign_next_mac(ip0.c_str(), 48900, show, mac));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "MAC изменен на 5A.3C.19.11.46.02");
  EXPECT_NE(read_file(hive).find("hex:5a,3c,19,11,46,02"), std::string::npos);

  // Refused: nothing shown, nothing stored.
  EXPECT_FALSE(assign_next_mac(ip1.c_str(), 48900, show));
  EXPECT_EQ(shown.size(), 1u);
  EXPECT_NE(read_file(hive).find("hex:5a,3c,19,11,46,02"), std::string::npos);

  // Settings that cannot be parsed refuse the step before anything is sent:
  // without "LastMac" the series would start again below addresses already
  // handed out. The message names the file, and the file stays.
  write_file(hive, "this is no hive\n");
  size_t requests = log_of(seg, 0).size();
  EXPECT_FALSE(assign_next_mac(ip0.c_str(), 48900, show, mac));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_NE(shown[1].find(hive), std::string::npos) << shown[1];
  EXPECT_EQ(read_file(hive), "this is no hive\n");
  EXPECT_EQ(log_of(seg, 0).size(), requests) << "something was sent";

  // The line's database away: MAC++ says so and sends nothing.
  unlink(hive.c_str());
  setenv("VESKOR_LEDGER", ("postgresql://bench:pw@/line?host=" + dir.path + "/no-server").c_str(), 1);
  EXPECT_FALSE(assign_next_mac(ip0.c_str(), 48900, show, mac));
  unsetenv("VESKOR_LEDGER");
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2].rfind("Журнал MAC-адресов недоступен: postgresql://bench:***@/line", 0), 0u) << shown[2];
  EXPECT_EQ(log_of(seg, 0).size(), requests) << "something was sent";
}

}  // namespace
