// veskorctl against loader simulators on a private segment, the MAC ledger
// it shares with the window tool, and the dialog sink that lets the device
// operations run without any window.
#include <SDL.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/macseries.h"
#include "bcp/bcp.h"
#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "tests/device/ctlrun.h"
#include "tests/device/segment.h"

using devtest::host_scope;
using devtest::segment;

namespace {

using namespace devtest::ctlrun;

void use_empty_password() {
  std::memset(DEV_PASS, 0, sizeof DEV_PASS);
  std::memcpy(DEV_PASS, "________________", 16);
}

// ---- the ledger itself --------------------------------------------------------------

TEST(Ledger, DigestsAndTheSeriesPastEveryAddressWrittenDown) {
  EXPECT_EQ(sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string million(1000000, 'a');
  EXPECT_EQ(sha256_hex(million.data(), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(sha256_hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  unsigned char m[6] = {};
  EXPECT_TRUE(parse_mac("5a-3c-19-11-46-02", m));
  EXPECT_EQ(format_mac(m), "5A:3C:19:11:46:02");
  EXPECT_TRUE(parse_mac("5A3C19114603", m));
  for (const char* bad : {"5A:3C:19:11:46", "5A:3C:19-11:46:02", "5A:3C:19:11:46:0G", "5A:3C:19:11:46:02:", ""})
    EXPECT_FALSE(parse_mac(bad, m)) << bad;

  auto line = [](const char* mac, const char* result) {
    ledger_line l;
    l.new_mac = mac;
    l.result = result;
    return l;
  };
  unsigned char last[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02}, next[6];
  // A reserved address with no outcome, a failed one and a foreign one: the
  // series goes past the highest of its own, whatever became of it.
  std::vector<ledger_line> lines = {line("5A:3C:19:11:46:05", LEDGER_RESERVED),
                                    line("5A:3C:19:11:46:03", LEDGER_FAILED),
                                    line("02:00:00:00:00:99", LEDGER_CONFIRMED)};
  ledger_series_next(lines, last, next);
  EXPECT_EQ(format_mac(next), "5A:3C:19:11:46:06");
  ledger_series_next({}, last, next);
  EXPECT_EQ(format_mac(next), "5A:3C:19:11:46:03");
  // Run through to its end, the series starts again but skips what the
  // ledger already holds.
  unsigned char end[6] = {0x5A, 0x3C, 0x19, 0xFA, 0xFA, 0xFA};
  lines = {line("5A:3C:19:FA:FA:FA", LEDGER_CONFIRMED), line("5A:3C:19:00:00:00", LEDGER_CONFIRMED),
           line("5A:3C:19:00:00:01", LEDGER_FAILED)};
  ledger_series_next(lines, end, next);
  EXPECT_EQ(format_mac(next), "5A:3C:19:00:00:02");
}

TEST(Ledger, LinesComeBackAsWrittenAndADamagedFileIsNeverWrittenTo) {
  workspace w;
  ledger_line l;
  l.address = "192.0.2.10";
  l.name = "Плата, \"тест\"\n";
  l.old_mac = "02:00:00:00:00:01";
  l.new_mac = "5A:3C:19:11:46:02";
  l.firmware = "/tmp/прошивка,1.hex";
  l.sha256 = sha256_hex("x", 1);
  l.result = LEDGER_RESERVED;
  std::string error;
  ASSERT_TRUE(ledger_append(w.ledger(), l, error)) << error;
  l.result = LEDGER_CONFIRMED;
  ASSERT_TRUE(ledger_append(w.ledger(), l, error)) << error;
  std::vector<ledger_line> lines = ledger_of(w);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].name, "Плата, \"тест\" ");
  EXPECT_EQ(lines[1].firmware, l.firmware);
  EXPECT_EQ(lines[1].result, LEDGER_CONFIRMED);
  EXPECT_EQ(lines[1].line, 3);
  EXPECT_TRUE(ledger_confirmed_twice(lines).empty());
  EXPECT_TRUE(ledger_unsettled(lines).empty());
  ASSERT_TRUE(ledger_append(w.ledger(), l, error));
  l.new_mac = "5A:3C:19:11:46:03";
  l.result = LEDGER_RESERVED;
  ASSERT_TRUE(ledger_append(w.ledger(), l, error));
  lines = ledger_of(w);
  auto twice = ledger_confirmed_twice(lines);
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_EQ(twice[0].lines, (std::vector<int>{3, 4}));
  ASSERT_EQ(ledger_unsettled(lines).size(), 1u);
  EXPECT_EQ(ledger_unsettled(lines)[0].new_mac, "5A:3C:19:11:46:03");

  // A line cut short (its line end never written) and a line of nonsense:
  // named by number, and the file stays exactly as it is.
  for (const char* tail : {"2026-01-01T00:00:00+00:00,192.0.2.10,x,,5A:3C:19", "x,y\n"}) {
    std::string before = read_file(w.ledger()) + tail;
    write_file(w.ledger(), before);
    EXPECT_FALSE(ledger_read(w.ledger(), lines, error));
    EXPECT_NE(error.find("строка 6"), std::string::npos) << error;
    EXPECT_FALSE(ledger_append(w.ledger(), l, error));
    EXPECT_EQ(read_file(w.ledger()), before);
    write_file(w.ledger(), before.substr(0, before.size() - std::strlen(tail)));
  }
}

// ---- the sink ------------------------------------------------------------------------

class recording_sink : public tdialog_sink {
 public:
  std::vector<std::string> seen;
  int steps = 0, opened = 0, closed = 0;
  void message(const char* text) override { seen.push_back(text); }
  int yes_no(const char* text) override {
    seen.push_back(std::string("?") + text);
    return 0;
  }
  void progress_open(const char*, int) override { opened++; }
  void progress_step(int, int) override { steps++; }
  void progress_close() override { closed++; }
};

// Every device operation, a refused password and the oversized-image
// question included, runs with the sink set and never starts SDL's video,
// so veskorctl needs no display and opens no window.
TEST(CtlSink, DeviceOperationsRunWithoutVideo) {
  segment seg(1, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  host_scope in(seg);
  // An earlier case of this binary may have started the video (the busy
  // pointer without a sink does): this one starts from none.
  if (SDL_WasInit(SDL_INIT_VIDEO)) SDL_QuitSubSystem(SDL_INIT_VIDEO);
  recording_sink sink;
  DIALOG_SINK = &sink;
  std::string ip = seg.device_ip(0);
  std::memcpy(DEV_PASS, "wrong-password!!", 16);
  EXPECT_FALSE(set_programm_mode(ip.c_str(), PORT));
  EXPECT_FALSE(sink.seen.empty());
  EXPECT_EQ(sink.seen[0], "Ошибка пароля");
  use_empty_password();
  ASSERT_TRUE(set_programm_mode(ip.c_str(), PORT));
  ASSERT_TRUE(check_device_found(ip.c_str(), PORT));
  std::vector<uint8_t> image = random_image(3);
  std::memset(MEMORY_MAP, 0xFF, sizeof MEMORY_MAP);
  std::memcpy(MEMORY_MAP, image.data(), image.size());
  MEMORY_MAP[SMALL_BYTES] = 0;  // past the device's memory: the question, answered no
  sink.seen.clear();
  EXPECT_FALSE(burn_device(ip.c_str(), PORT, 0));
  ASSERT_EQ(sink.seen.size(), 1u);
  EXPECT_EQ(sink.seen[0].rfind("?Образ больше памяти устройства", 0), 0u) << sink.seen[0];
  MEMORY_MAP[SMALL_BYTES] = 0xFF;
  ASSERT_TRUE(burn_device(ip.c_str(), PORT, 0));
  EXPECT_EQ(sink.opened, 1);
  EXPECT_EQ(sink.closed, 1);
  EXPECT_EQ(sink.steps, 128);
  { _wait titled("ждите"); EXPECT_TRUE(titled.step()); }
  EXPECT_TRUE(exit_programm_mode(ip.c_str(), PORT));
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
  DIALOG_SINK = nullptr;
}

// ---- veskorctl -------------------------------------------------------------------------

TEST(Ctl, DiscoverListsEveryDeviceAndFlashLeavesTheImageInIt) {
  segment seg(std::vector<devtest::knobs>{SMALL, {"--name", "ВТОРОЕ"}, {"--twice"}});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  run r = ctl(seg, w, {"discover", "--json"});
  EXPECT_EQ(r.code, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  // Sorted by address, the device that answers twice listed once.
  ASSERT_EQ(got.size(), 3u) << r.out;
  for (int k = 0; k < 3; k++)
    EXPECT_NE(got[k].find("\"address\":\"" + seg.device_ip(k) + "\""), std::string::npos) << got[k];
  EXPECT_NE(got[1].find("\"name\":\"" + u8("ВТОРОЕ") + "\""), std::string::npos) << got[1];
  EXPECT_NE(got[0].find("\"mac\":\"02:00:"), std::string::npos) << got[0];
  // identify --json prints the board, one object, like discover.
  r = ctl(seg, w, {"identify", seg.device_ip(1), "--json"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, got[1] + "\n");

  std::vector<uint8_t> image = random_image(5);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  r = ctl(seg, w, {"flash", seg.device_ip(0), w.dir + "/fw.hex"});
  EXPECT_EQ(r.code, 0) << r.err;
  std::vector<uint8_t> mem = seg.memory(0);
  ASSERT_GE(mem.size(), SMALL_BYTES);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin()));
  EXPECT_NE(r.out.find(u8("Прошилось")), std::string::npos) << r.out;
  // stderr is a file here: no progress line, not even a part of one.
  EXPECT_EQ(r.err.find(u8("страница")), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
  // The flash left programming mode again; the ledger holds its burn,
  // begun and flashed, and no MAC.
  bool left = false;
  for (auto& q : seg.requests(0)) left = left || q.flags == REQ_EXIT_PROGRAMM;
  EXPECT_TRUE(left);
  EXPECT_TRUE(ledger_of(w).empty());
  std::vector<ledger_line> burns = ledger_of(w, true);
  ASSERT_EQ(burns.size(), 2u);
  EXPECT_EQ(burns[0].result, BURN_BEGUN);
  EXPECT_EQ(burns[1].result, BURN_FLASHED);
  EXPECT_EQ(burns[1].id, burns[0].id);
  EXPECT_EQ(burns[1].sha256, sha256_hex(read_file(w.dir + "/fw.hex").data(), read_file(w.dir + "/fw.hex").size()));
}

TEST(Ctl, SlowBatchAssignsConsecutiveAddressesAndTheWindowToolContinuesTheSeries) {
  segment seg(3, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(9);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  run r = ctl(seg, w, {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "3"}, 120000);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(count_of(r.out, u8("готово")), 3) << r.out;
  std::vector<ledger_line> lines = ledger_of(w);
  std::vector<std::string> confirmed;
  for (auto& l : lines)
    if (l.result == LEDGER_CONFIRMED) {
      confirmed.push_back(l.new_mac);
      EXPECT_EQ(l.sha256, sha256_hex(read_file(w.dir + "/fw.hex").data(), read_file(w.dir + "/fw.hex").size()));
      EXPECT_EQ(l.firmware, w.dir + "/fw.hex");
    }
  EXPECT_EQ(confirmed, (std::vector<std::string>{"5A:3C:19:11:46:02", "5A:3C:19:11:46:03", "5A:3C:19:11:46:04"}));
  EXPECT_EQ(lines.size(), 6u);

  host_scope in(seg);
  std::set<std::string> macs;
  for (int k = 0; k < 3; k++) {
    macs.insert(device_mac(seg, k));
    std::vector<uint8_t> mem = seg.memory(k);
    ASSERT_GE(mem.size(), SMALL_BYTES);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin())) << k;
  }
  EXPECT_EQ(macs, std::set<std::string>(confirmed.begin(), confirmed.end()));
  // Every burn on record from its start, and each address given after it
  // belongs to the same board's line of work.
  std::vector<ledger_line> burns = ledger_of(w, true);
  ASSERT_EQ(burns.size(), 6u);
  std::set<std::string> flashed;
  for (const ledger_line& b : burns) {
    EXPECT_EQ(b.sha256, lines[0].sha256);
    EXPECT_EQ(b.target, TARGET_MAIN);
    EXPECT_FALSE(b.bench.empty());
    EXPECT_FALSE(b.operator_name.empty());
    if (b.result == BURN_FLASHED) flashed.insert(b.id);
  }
  EXPECT_EQ(flashed.size(), 3u);
  for (const ledger_line& l : lines) EXPECT_EQ(flashed.count(line_of(l.id)), 1u) << l.id;

  // The window tool's MAC++ goes on where the batch ended, and writes the
  // same lines.
  use_empty_password();
  static std::vector<std::string> shown;
  unsigned char mac[6];
  ASSERT_TRUE(assign_next_mac(seg.device_ip(1).c_str(), PORT, [](const char* t) { shown.push_back(t); }, mac));
  EXPECT_EQ(format_mac(mac), "5A:3C:19:11:46:05");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "MAC изменен на 5A.3C.19.11.46.05");
  lines = ledger_of(w);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[6].result, LEDGER_RESERVED);
  EXPECT_EQ(lines[7].result, LEDGER_CONFIRMED);
  EXPECT_EQ(lines[7].new_mac, "5A:3C:19:11:46:05");
  EXPECT_EQ(lines[7].address, seg.device_ip(1));
  EXPECT_NE(read_file(w.hive()).find("hex:5a,3c,19,11,46,05"), std::string::npos);

  // That address typed for another board would give two boards one
  // address: refused unless forced, naming the ledger's line.
  r = ctl(seg, w, {"mac", seg.device_ip(0), "5a:3c:19:11:46:05"});
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find(u8("уже выдан (журнал MAC-адресов, строка ")), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(u8("; --force запишет")), std::string::npos) << r.err;
  EXPECT_EQ(ledger_of(w).size(), 8u);
  EXPECT_EQ(macs.count(device_mac(seg, 0)), 1u);
  r = ctl(seg, w, {"mac", seg.device_ip(0), "5a:3c:19:11:46:05", "--force"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(device_mac(seg, 0), "5A:3C:19:11:46:05");
}

// Killed outright at random moments, mostly around the MAC step: whatever
// the moment, no address is ever reserved (so sent) twice nor confirmed
// twice, the addresses in the
// ledger run without a gap, every address the device was sent is in the
// ledger, and one left reserved is shown by `ledger --check`.
TEST(Ctl, SlowBatchKilledAtRandomNeverConfirmsAnAddressTwiceNorSkipsOne) {
  segment seg(1, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(11);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  std::mt19937 rnd(12345);
  int killed = 0;
  for (int i = 0; i < 20; i++) {
    int before = count_of(read_file(w.ledger()), ",reserved,");
    // --again: a board finished by an earlier round would otherwise be left
    // alone, and the MAC step never reached.
    pid_t pid = start_ctl(seg, w, {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "1", "--again"},
                          "kill" + std::to_string(i));
    uint32_t start = plat::tick();
    if (i % 4 == 3) {
      // Anywhere in the run.
      plat::sleep_ms(std::uniform_int_distribution<int>(0, 5000)(rnd));
    } else {
      // Just after the address was written down: while it is being sent,
      // confirmed, written down again and stored.
      while (count_of(read_file(w.ledger()), ",reserved,") == before && plat::tick() - start < 30000) plat::sleep_ms(2);
      plat::sleep_ms(std::uniform_int_distribution<int>(0, 260)(rnd));
    }
    if (kill(pid, SIGKILL) == 0) killed++;
    int code = segment::wait_exit(pid, 30000);
    ASSERT_GE(code, 0);
  }
  EXPECT_GT(killed, 10);

  std::vector<ledger_line> lines = ledger_of(w);
  EXPECT_TRUE(ledger_confirmed_twice(lines).empty());
  // Stronger: no address is ever reserved twice, so none can go out twice,
  // to this device or to another.
  std::map<std::string, int> reserved;
  for (auto& l : lines) reserved[l.new_mac] += l.result == LEDGER_RESERVED;
  for (auto& r : reserved) EXPECT_EQ(r.second, 1) << r.first;
  std::set<std::string> in_ledger;
  for (auto& l : lines) in_ledger.insert(l.new_mac);
  ASSERT_FALSE(in_ledger.empty());
  // From the first address of the series up, without a gap.
  unsigned char m[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x01};
  for (size_t n = 0; n < in_ledger.size(); n++) {
    mac_series_advance(m);
    EXPECT_TRUE(in_ledger.count(format_mac(m))) << format_mac(m) << " skipped";
  }
  for (auto& q : seg.requests(0))
    if (!q.mac.empty()) {
      EXPECT_TRUE(in_ledger.count(q.mac)) << q.mac << " sent but not in the ledger";
    }

  run r = ctl(seg, w, {"ledger", "--check"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  for (auto& l : ledger_unsettled(lines)) EXPECT_NE(r.out.find(l.new_mac), std::string::npos) << r.out;
}

TEST(Ctl, EveryFailureClassHasItsExitCodeAndWritesNothing) {
  segment seg(std::vector<devtest::knobs>{{"--refuse-mac"}});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::string ip = seg.device_ip(0), fw = w.dir + "/fw.hex";
  write_file(fw, hex_of(random_image(1), 64));
  write_file(w.dir + "/bad.hex", ":0400000001020304F2\n:0400000001020304F2\n:0400000001020304F3\n:00000001FF\n");
  write_file(w.dir + "/empty.hex", "");
  write_file(w.dir + "/text.hex", "this is no firmware\n");
  std::string good = hex_of(random_image(1), 64);
  write_file(w.dir + "/cut.hex", good.substr(0, good.find(":00000001FF")));
  mkdir((w.dir + "/folder.hex").c_str(), 0700);
  write_file(w.dir + "/stray.hex", good.substr(0, 44) + good.substr(45));  // line 2 lost its colon

  struct expectation {
    std::vector<std::string> args;
    int code;
    std::string says = "";  // UTF-8, in the one line on stderr
  } cases[] = {
      {{"frobnicate"}, 2},
      {{"discover", "--colour"}, 2},
      {{"flash", "192.0.2.300", fw}, 2},
      {{"identify", "192.0.2.010"}, 2},
      {{"mac", ip, "5A:3C:19:11:46"}, 2},
      {{"mac", ip}, 2},
      {{"batch", fw, "--count", "0"}, 2},
      {{"flash", ip, fw, "--password", "a", "--password-file", fw}, 2},
      {{"flash", ip, w.dir + "/missing.hex"}, 3},
      {{"flash", ip, w.dir + "/folder.hex"}, 3},
      {{"flash", ip, w.dir + "/bad.hex"}, 3, "bad.hex, " + u8("строка 3")},
      // Read without error, yet nothing to flash: an erased or half image.
      {{"flash", ip, w.dir + "/empty.hex"}, 3, "empty.hex: " + u8("Файл прошивки пуст или обрезан: нет данных.")},
      {{"batch", w.dir + "/text.hex"}, 3, "text.hex: " + u8("Файл прошивки пуст или обрезан: нет данных.")},
      {{"flash", ip, w.dir + "/cut.hex"}, 3, u8("обрезан: нет записи конца файла.")},
      {{"verify", ip, w.dir + "/stray.hex"}, 3, "stray.hex: " + u8("Файл прошивки повреждён: строка 2")},
      {{"flash", ip}, 2, u8("не задан файл прошивки")},
      // Misspelt options are refused by name, never passed over.
      {{"-q", "batch", fw, "-mac-next"}, 2, "-mac-next"},
      {{"batch", fw, "--mac-nxet"}, 2, "--mac-nxet"},
      {{"discover", "--json=x"}, 2, "--json"},
      {{"flash", ip, fw, "--yes=no"}, 2, "--yes"},
      {{"flash", ip, fw, "--count", "3"}, 2, "--count"},
      // A group or zero address would cut the device off the network.
      {{"mac", ip, "FF:FF:FF:FF:FF:FF"}, 2, "--force"},
      {{"mac", ip, "01:00:5E:00:00:01"}, 2, "--force"},
      {{"mac", ip, "00:00:00:00:00:00"}, 2, "--force"},
      {{"mac", ip, "--next", "--password-file", w.dir + "/missing"}, 3},
      {{"identify", "192.0.2.99"}, 1},
      {{"flash", ip, fw, "--password", "secret-password"}, 1},
  };
  for (auto& c : cases) {
    run r = ctl(seg, w, c.args);
    std::string all;
    for (auto& a : c.args) all += a + " ";
    EXPECT_EQ(r.code, c.code) << all << "\n" << r.err;
    // One error line; the timestamped stage lines of a board's work are
    // no errors.
    EXPECT_EQ(count_of(r.err, "veskorctl: "), 1) << all << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << all << "\n" << r.err;
    EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << all << "\n" << r.out;
  }
  // The refused password's burn is on record as failed where it ended;
  // nothing else is.
  std::vector<ledger_line> burns = ledger_of(w, true);
  ASSERT_EQ(burns.size(), 2u);
  EXPECT_EQ(burns[1].result, BURN_FAILED);
  EXPECT_EQ(burns[1].stage, "programming");
  EXPECT_TRUE(ledger_of(w).empty());
  unlink(w.ledger().c_str());
  EXPECT_FALSE(std::ifstream(w.hive()).good());
  for (auto& q : seg.requests(0)) EXPECT_NE(q.flags, REQ_SET_MAC) << "a refused address was sent";

  // The device refuses the address: code 1, and the ledger says so.
  run r = ctl(seg, w, {"mac", ip, "5a-3c-19-00-00-07"});
  EXPECT_EQ(r.code, 1) << r.err;
  std::vector<ledger_line> lines = ledger_of(w);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].result, LEDGER_RESERVED);
  EXPECT_EQ(lines[1].result, LEDGER_FAILED);
  EXPECT_EQ(lines[1].new_mac, "5A:3C:19:00:00:07");

  // Settings that cannot be parsed: code 4 before anything is sent or written.
  mkdir((w.dir + "/config").c_str(), 0700);
  mkdir((w.dir + "/config/veskor").c_str(), 0700);
  write_file(w.hive(), "this is no hive\n");
  std::string ledger_before = read_file(w.ledger());
  size_t requests = seg.requests(0).size();
  r = ctl(seg, w, {"mac", ip, "--next"});
  EXPECT_EQ(r.code, 4) << r.err;
  r = ctl(seg, w, {"batch", fw, "--mac-next"});
  EXPECT_EQ(r.code, 4) << r.err;
  EXPECT_EQ(count_of(r.err, "veskorctl: "), 1) << r.err;
  EXPECT_EQ(read_file(w.hive()), "this is no hive\n");
  EXPECT_EQ(read_file(w.ledger()), ledger_before);
  EXPECT_EQ(seg.requests(0).size(), requests);
  unlink(w.hive().c_str());

  // A ledger that cannot be parsed: code 3 naming the line, never overwritten.
  write_file(w.ledger(), ledger_before + "garbage\n");
  for (auto args : {std::vector<std::string>{"mac", ip, "--next"}, {"ledger"}, {"ledger", "--check"}}) {
    r = ctl(seg, w, args);
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find(u8("строка 4")), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(w.ledger()), ledger_before + "garbage\n");
  EXPECT_EQ(seg.requests(0).size(), requests);

  // An address confirmed twice makes --check fail.
  write_file(w.ledger(), ledger_before + ledger_before.substr(ledger_before.find('\n') + 1));
  lines = ledger_of(w);
  for (auto& l : lines) l.result = LEDGER_CONFIRMED;
  unlink(w.ledger().c_str());
  std::string error;
  for (auto& l : lines) ASSERT_TRUE(ledger_append(w.ledger(), l, error)) << error;
  r = ctl(seg, w, {"ledger", "--check"});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("5A:3C:19:00:00:07"), std::string::npos) << r.out;
}

// Another program holding the loader port is named as the cause, not the
// device: nothing could even be sent.
TEST(Ctl, APortHeldByAnotherProgramIsNamed) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  host_scope in(seg);
  int held = plat::udp_open();
  ASSERT_TRUE(plat::udp_bind(held, PORT));
  for (auto args : {std::vector<std::string>{"identify", seg.device_ip(0)}, {"discover"}}) {
    run r = ctl(seg, w, args);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(u8("Порт 48900 занят")), std::string::npos) << r.err;
  }
  plat::udp_close(held);
}

// A signal stops a flash after the page in hand: programming mode is left,
// the board is reported as not flashed, and the exit code says interrupted.
// A batch stopped before its count is reached says so too.
TEST(Ctl, InterruptedRunsAreNeverReportedDone) {
  segment seg(1, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(21);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  pid_t pid = start_ctl(seg, w, {"flash", seg.device_ip(0), w.dir + "/fw.hex"}, "flash");
  auto writing = [&] {
    for (auto& q : seg.requests(0))
      if (q.flags == REQ_WRITE_PAGE) return true;
    return false;
  };
  uint32_t start = plat::tick();
  while (!writing() && plat::tick() - start < 30000) plat::sleep_ms(5);
  ASSERT_TRUE(writing());
  kill(pid, SIGTERM);
  EXPECT_EQ(segment::wait_exit(pid, 30000), 130);
  std::string out = read_file(w.dir + "/flash.out"), err = read_file(w.dir + "/flash.err");
  EXPECT_EQ(out.find(u8("Прошилось")), std::string::npos) << out;
  EXPECT_NE(err.find(u8("не прошито")), std::string::npos) << err;
  std::vector<uint8_t> mem = seg.memory(0);
  EXPECT_FALSE(std::equal(image.begin(), image.end(), mem.begin())) << "the whole image went in after all";
  bool left = false;
  for (auto& q : seg.requests(0)) left = left || q.flags == REQ_EXIT_PROGRAMM;
  EXPECT_TRUE(left) << "programming mode was left on";

  pid = start_ctl(seg, w, {"batch", w.dir + "/fw.hex", "--count", "2"}, "batch");
  start = plat::tick();
  while (read_file(w.dir + "/batch.out").find(u8("готово")) == std::string::npos && plat::tick() - start < 60000)
    plat::sleep_ms(20);
  kill(pid, SIGINT);
  EXPECT_EQ(segment::wait_exit(pid, 30000), 130) << read_file(w.dir + "/batch.err");
}

// A batch started again over boards it already finished leaves them alone:
// no second address of the series, no second burn. A board that failed is
// not tried over and over while it sits on the bench, but once it has left
// the segment and come back (re-seated) it is.
TEST(Ctl, SlowABatchRunAgainLeavesFinishedBoardsAloneAndTakesReseatedOnes) {
  segment seg(std::vector<devtest::knobs>{SMALL, {"--model", "WIBQE715", "--password", "other"}});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(23);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  pid_t pid = start_ctl(seg, w, {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "3"}, "first");
  uint32_t start = plat::tick();
  auto out = [&] { return read_file(w.dir + "/first.out"); };
  while (count_of(out(), "\n") < 2 && plat::tick() - start < 60000) plat::sleep_ms(50);
  ASSERT_EQ(count_of(out(), u8("ошибка")), 1) << out();
  // Sitting there refusing the password, it is not tried again.
  plat::sleep_ms(3000);
  EXPECT_EQ(count_of(out(), "\n"), 2) << out();
  // Re-seated with the right password: it leaves the segment for a while
  // and comes back.
  ASSERT_TRUE(seg.stop_device(1));
  plat::sleep_ms(2500);
  ASSERT_TRUE(seg.start_device(1, SMALL));
  EXPECT_EQ(segment::wait_exit(pid, 90000), 1) << out() << read_file(w.dir + "/first.err");
  EXPECT_EQ(count_of(out(), u8("готово")), 2) << out();
  std::vector<ledger_line> lines = ledger_of(w);
  ASSERT_EQ(lines.size(), 4u);
  for (int k = 0; k < 2; k++) {
    std::vector<uint8_t> mem = seg.memory(k);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin())) << k;
  }

  // The last confirmation never reached the ledger (a full disk, a crash):
  // the board holding its reserved address is finished all the same.
  {
    std::string text = read_file(w.ledger());
    size_t cut = text.rfind('\n', text.size() - 2);
    ASSERT_NE(text.find("confirmed", cut), std::string::npos) << text;
    write_file(w.ledger(), text.substr(0, cut + 1));
  }

  // Run again: both boards are finished with this very firmware.
  std::string ledger_before = read_file(w.ledger());
  size_t before[2] = {seg.requests(0).size(), seg.requests(1).size()};
  run r = ctl(seg, w, {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "2"}, 60000);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(count_of(r.out, u8("уже готово")), 2) << r.out;
  EXPECT_EQ(read_file(w.ledger()), ledger_before);
  for (int k = 0; k < 2; k++) {
    auto log = seg.requests(k);
    for (size_t i = before[k]; i < log.size(); i++) EXPECT_EQ(log[i].flags, REQ_IDENTIFY) << k;
  }
  // --again flashes them all the same, each with a new address.
  r = ctl(seg, w, {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "1", "--again"}, 60000);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(ledger_of(w).size(), 5u);
}

}  // namespace
