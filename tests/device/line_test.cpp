// The line at scale: veskorctl working several simulated boards side by side
// over its one socket, reading boards back, a bench's own segment and its
// own block of the MAC series.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "loadhex/hexfile.h"
#include "tests/device/ctlrun.h"
#include "tests/device/segment.h"
#include "app/macseries.h"
#include "workflow/series.h"

using devtest::host_scope;
using devtest::segment;
using namespace devtest::ctlrun;

namespace {

bool written_after(const segment& seg, int k, size_t from) {
  auto log = seg.requests(k);
  for (size_t i = from; i < log.size(); i++)
    if ((log[i].flags & 0xFF) == REQ_WRITE_PAGE) return true;
  return false;
}

// How often each address entered programming mode in one run, from its
// timestamped stage lines.
std::map<std::string, int> entered(const std::string& err) {
  std::map<std::string, int> n;
  std::istringstream lines(err);
  for (std::string l; std::getline(lines, l);) {
    if (l.find(u8(": режим программирования")) == std::string::npos) continue;
    std::istringstream words(l);
    std::string clock, address;
    words >> clock >> address;
    if (!address.empty() && address.back() == ':') address.pop_back();
    n[address]++;
  }
  return n;
}

bool holds(const segment& seg, int k, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> mem = seg.memory(k);
  return mem.size() >= image.size() && std::equal(image.begin(), image.end(), mem.begin());
}

// Boards worked at once: each gets the image and an address of its own,
// whatever the others do; a board that joins while the others are being
// flashed is taken too.
TEST(Line, BoardsSideBySideEachGetTheImageAndAnAddressOfTheirOwn) {
  segment seg(4, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(31);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  // The fourth board is off when the batch begins.
  ASSERT_TRUE(seg.stop_device(3));
  pid_t pid = start_ctl(seg, w, {"batch", w.dir + "/fw.hex", "--mac-next", "--count", "4", "--parallel", "0",
                                 "--json"},
                        "batch");
  uint32_t start = plat::tick();
  while (!written_after(seg, 0, 0) && plat::tick() - start < 30000) plat::sleep_ms(20);
  ASSERT_TRUE(seg.start_device(3, SMALL));
  ASSERT_EQ(segment::wait_exit(pid, 90000), 0) << read_file(w.dir + "/batch.err");
  std::set<std::string> macs;
  for (int k = 0; k < 4; k++) {
    EXPECT_TRUE(holds(seg, k, image)) << k;
    host_scope in(seg);
    macs.insert(device_mac(seg, k));
  }
  std::vector<ledger_line> lines = ledger_of(w);
  std::set<std::string> confirmed;
  for (auto& l : lines)
    if (l.result == LEDGER_CONFIRMED) confirmed.insert(l.new_mac);
  EXPECT_EQ(confirmed.size(), 4u) << "an address given twice";
  EXPECT_EQ(macs, confirmed);
  EXPECT_TRUE(ledger_confirmed_twice(lines).empty());
  // One JSON object a line, every board's end among them.
  std::istringstream events(read_file(w.dir + "/batch.out"));
  int results = 0;
  for (std::string e; std::getline(events, e);) {
    EXPECT_EQ(e.front(), '{') << e;
    EXPECT_EQ(e.back(), '}') << e;
    results += e.find("\"result\":\"done\"") != std::string::npos;
  }
  EXPECT_EQ(results, 4);
}

TEST(Line, SlowABoardThatFailsLeavesTheOthersAlone) {
  segment seg(std::vector<devtest::knobs>{SMALL,
                                          {"--model", "WIBQE715", "--password", "other"},
                                          {"--model", "WIBQE715", "--die-after-pages", "20"},
                                          SMALL});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(37);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  std::vector<std::string> args = {"flash"};
  for (int k = 0; k < 4; k++) args.push_back(seg.device_ip(k));
  // Named twice, worked once: two sessions of one board never end.
  args.push_back(seg.device_ip(0));
  args.push_back(w.dir + "/fw.hex");
  run r = ctl(seg, w, args, 90000);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_TRUE(holds(seg, 0, image));
  EXPECT_TRUE(holds(seg, 3, image));
  EXPECT_FALSE(holds(seg, 2, image));
  EXPECT_EQ(count_of(r.out, u8("Прошилось")), 2) << r.out;
  EXPECT_NE(r.err.find(seg.device_ip(1)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(u8("Ошибка пароля")), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(u8("не подтверждена устройством")), std::string::npos) << r.err;
}

// Reading a board back writes nothing; verify names the first byte that
// differs, read dumps the memory as HEX that reads back byte for byte (also
// from a board whose answers come late and twice, its first one spoiled), and a
// flash of what the board holds already writes no page.
TEST(Line, SlowVerifyReadAndOnlyChangedPagesWriteNothingNeedless) {
  devtest::knobs shaky = SMALL;
  for (const char* k : {"--corrupt-reads", "1", "--twice", "--reply-delay", "12-16", "--seed", "4"}) shaky.push_back(k);
  segment seg(std::vector<devtest::knobs>{SMALL, shaky});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(41);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  run r = ctl(seg, w, {"flash", seg.device_ip(0), w.dir + "/fw.hex", "--only-changed"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_TRUE(holds(seg, 0, image));

  size_t before = seg.requests(0).size();
  r = ctl(seg, w, {"flash", seg.device_ip(0), w.dir + "/fw.hex", "--only-changed"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(written_after(seg, 0, before)) << "a page the board held already was written";

  r = ctl(seg, w, {"verify", seg.device_ip(0), w.dir + "/fw.hex"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  std::vector<uint8_t> other = image;
  other[0x1F00] ^= 0x5A;
  write_file(w.dir + "/other.hex", hex_of(other, other.size()));
  char want[96];
  std::snprintf(want, sizeof want, "0x1F00: на устройстве %02X, в файле %02X", image[0x1F00], other[0x1F00]);
  r = ctl(seg, w, {"verify", seg.device_ip(0), w.dir + "/other.hex"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find(u8(want)), std::string::npos) << r.out;
  EXPECT_FALSE(written_after(seg, 0, before)) << "verify wrote";

  r = ctl(seg, w, {"read", seg.device_ip(0), w.dir + "/dump.hex"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<uint8_t> back(HEX_IMAGE_SIZE);
  hex_file_info info;
  ASSERT_TRUE(read_hex_file((w.dir + "/dump.hex").c_str(), back.data(), info));
  std::vector<uint8_t> mem = seg.memory(0);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + SMALL_BYTES, mem.begin()));
  EXPECT_EQ(back[SMALL_BYTES], 0xFF) << "more than the board's memory";
  r = ctl(seg, w, {"read", seg.device_ip(0), w.dir + "/sp.hex", "--coprocessor"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_TRUE(read_hex_file((w.dir + "/sp.hex").c_str(), back.data(), info));
  std::vector<uint8_t> sp = seg.sp_memory(0);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + SMALL_BYTES, sp.begin()));
  EXPECT_FALSE(written_after(seg, 0, before)) << "read wrote";

  r = ctl(seg, w, {"read", seg.device_ip(1), w.dir + "/shaky.hex"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_TRUE(read_hex_file((w.dir + "/shaky.hex").c_str(), back.data(), info));
  mem = seg.memory(1);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + SMALL_BYTES, mem.begin())) << "a spoiled or stale page read";
}

// A line PC on the office network too: --interface asks the bench's segment
// only.
TEST(Line, TheInterfaceNamedIsTheOnlyOneAsked) {
  segment seg(2);
  seg.second_bridge_from(1);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  run both = ctl(seg, w, {"discover"});
  EXPECT_EQ(both.code, 0) << both.err;
  EXPECT_NE(both.out.find(seg.device_ip(0)), std::string::npos) << both.out;
  EXPECT_NE(both.out.find(seg.device_ip(1)), std::string::npos) << both.out;
  run one = ctl(seg, w, {"discover", "--interface", "eth1"});
  EXPECT_EQ(one.code, 0) << one.err;
  EXPECT_EQ(one.out.find(seg.device_ip(0)), std::string::npos) << one.out;
  EXPECT_NE(one.out.find(seg.device_ip(1)), std::string::npos) << one.out;
  run none = ctl(seg, w, {"discover", "--interface", "nosuch0"});
  EXPECT_EQ(none.code, 2) << none.err;
}

// A bench's block of the series: handed out to its end, then refused before
// anything is sent, by both tools; the ledgers of two benches that gave one
// address twice are caught together.
TEST(Line, ABlockRunsOutAndTwoBenchesAreCheckedTogether) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::string ip = seg.device_ip(0);
  run r = ctl(seg, w, {"series", "--block", "5A:3C:19:20:00:FA-5A:3C:19:20:01:00"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(u8("осталось адресов: 2")), std::string::npos) << r.out;
  EXPECT_EQ(ctl(seg, w, {"series", "--block", "5A:3C:19:20:01:00-5A:3C:19:20:00:FA"}).code, 2);
  for (const char* want : {"5A.3C.19.20.00.FA", "5A.3C.19.20.01.00"}) {
    r = ctl(seg, w, {"mac", ip, "--next"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
  }
  size_t requests = seg.requests(0).size();
  r = ctl(seg, w, {"mac", ip, "--next"});
  EXPECT_EQ(r.code, 4) << r.err;
  EXPECT_NE(r.err.find(u8("Серия исчерпана: последний адрес блока 5A:3C:19:20:01:00 выдан.")), std::string::npos)
      << r.err;
  for (size_t i = requests; i < seg.requests(0).size(); i++) EXPECT_NE(seg.requests(0)[i].flags, REQ_SET_MAC);
  // The window tool's MAC++ keeps to the same block.
  {
    host_scope in(seg);
    std::memset(DEV_PASS, 0, sizeof DEV_PASS);
    std::memcpy(DEV_PASS, "________________", 16);
    static std::vector<std::string> shown;
    EXPECT_FALSE(assign_next_mac(ip.c_str(), PORT, [](const char* t) { shown.push_back(t); }));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Серия исчерпана: последний адрес блока 5A:3C:19:20:01:00 выдан.");
  }

  // A block that lost one of its bounds is damage, not "no block": the
  // whole series would reach into the blocks of other benches.
  {
    const std::string hive = read_file(w.hive());
    size_t at = hive.find("\"SeriesLast\"");
    ASSERT_NE(at, std::string::npos) << hive;
    write_file(w.hive(), hive.substr(0, at) + hive.substr(hive.find('\n', at) + 1));
    requests = seg.requests(0).size();
    for (auto args : {std::vector<std::string>{"mac", ip, "--next"}, {"series"}}) {
      r = ctl(seg, w, args);
      EXPECT_EQ(r.code, 4) << args[0] << r.out << r.err;
      EXPECT_NE(r.err.find(u8("блок серии")), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("HKEY_CURRENT_USER.reg"), std::string::npos) << r.err;
    }
    for (size_t i = requests; i < seg.requests(0).size(); i++) EXPECT_NE(seg.requests(0)[i].flags, REQ_SET_MAC);
    write_file(w.hive(), hive);
  }

  // A second bench that handed out 5A:3C:19:20:01:00 as well.
  std::string mine = read_file(w.ledger());
  std::string theirs = w.dir + "/bench2.csv";
  write_file(theirs, mine.substr(0, mine.find('\n') + 1) +
                         "2026-01-01T00:00:00+00:00,192.0.2.99,X,,5A:3C:19:20:01:00,,,confirmed\n");
  r = ctl(seg, w, {"ledger", "--check", w.ledger(), theirs});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("5A:3C:19:20:01:00"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bench2.csv"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("5A:3C:19:20:00:FA"), std::string::npos) << "an address of one bench only" << r.out;
  // A bench's ledger misnamed or named twice would pass the check unseen.
  r = ctl(seg, w, {"ledger", "--check", w.ledger(), w.dir + "/bench3.csv"});
  EXPECT_EQ(r.code, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("bench3.csv"), std::string::npos) << r.err;
  EXPECT_EQ(ctl(seg, w, {"ledger", "--check", theirs, w.dir + "/./bench2.csv"}).code, 2);
}

}  // namespace

namespace {

// A batch killed outright in the middle of the burn and started again at
// once, over and over: the boards still answer the dead run's last requests
// (some answers come 150 ms late), into the new run's discovery. Every run
// enters each board once, the last one ends by itself, and every board ends
// with an address of its own, confirmed in the ledger.
TEST(Line, SlowABatchStartedAgainAfterAKillWorksEveryBoardOnceAndEnds) {
  std::vector<devtest::knobs> boards;
  for (int k = 0; k < 3; k++)
    boards.push_back({"--model", "WIBQE715", "--reply-delay", "150", "--delay-share", "15", "--seed",
                      std::to_string(7 + k)});
  segment seg(boards);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(53);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  const std::vector<std::string> args = {"batch", w.dir + "/fw.hex", "--mac-next", "--again", "--parallel", "3",
                                         "--count", "3"};
  std::mt19937 rnd(99);
  for (int i = 0; i < 7; i++) {
    std::string tag = "restart" + std::to_string(i);
    size_t writes = seg.requests(0).size();
    pid_t pid = start_ctl(seg, w, args, tag);
    uint32_t start = plat::tick();
    while (!written_after(seg, 0, writes) && plat::tick() - start < 20000) plat::sleep_ms(10);
    plat::sleep_ms(std::uniform_int_distribution<int>(100, 2500)(rnd));
    kill(pid, SIGKILL);
    ASSERT_GE(segment::wait_exit(pid, 10000), 0);
    for (auto& e : entered(read_file(w.dir + "/" + tag + ".err"))) EXPECT_EQ(e.second, 1) << tag << " " << e.first;
  }
  pid_t pid = start_ctl(seg, w, args, "last");
  int code = segment::wait_exit(pid, 120000);
  if (code < 0) kill(pid, SIGKILL);
  std::string err = read_file(w.dir + "/last.err");
  ASSERT_EQ(code, 0) << err;
  for (auto& e : entered(err)) EXPECT_EQ(e.second, 1) << e.first;
  std::vector<ledger_line> lines = ledger_of(w);
  EXPECT_TRUE(ledger_confirmed_twice(lines).empty());
  std::set<std::string> macs;
  host_scope in(seg);
  for (int k = 0; k < 3; k++) {
    EXPECT_TRUE(holds(seg, k, image)) << k;
    std::string mac = device_mac(seg, k);
    macs.insert(mac);
    bool confirmed = false;
    for (auto& l : lines) confirmed |= l.new_mac == mac && l.result == LEDGER_CONFIRMED;
    EXPECT_TRUE(confirmed) << mac;
  }
  EXPECT_EQ(macs.size(), 3u);
}

// A board another host keeps taking out of programming mode answers every
// page, only to refuse it. The first SIGTERM lets the boards in hand end
// within their bounds (this one at the silence bound, not after minutes);
// the second ends the process at once and says which board it left, in
// what state.
TEST(Line, SlowASignalEndsABatchWithAStuckBoardWithinItsBounds) {
  // The other host is a device of a model no round lists, quiet until the
  // board's burn has begun.
  const devtest::knobs quiet = {"--model", "FOREIGN_"};
  devtest::knobs talking = quiet;
  for (const char* k : {"--stray-to", "192.0.2.11:48900", "--stray-request", "4000", "--stray-every", "30",
                        "--stray-for", "0"})
    talking.push_back(k);
  segment seg(std::vector<devtest::knobs>{SMALL, SMALL, quiet});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(59);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  const std::vector<std::string> args = {"batch", w.dir + "/fw.hex", "--parallel", "2", "--count", "2"};
  auto stuck_in_burn = [&](const std::string& tag) {
    ASSERT_TRUE(seg.start_device(2, quiet));
    uint32_t start = plat::tick();
    while (read_file(w.dir + "/" + tag + ".err").find(seg.device_ip(1) + " SIM1: " + u8("прошивка")) ==
               std::string::npos &&
           plat::tick() - start < 20000)
      plat::sleep_ms(10);
    ASSERT_TRUE(seg.start_device(2, talking));
    plat::sleep_ms(500);
  };

  pid_t pid = start_ctl(seg, w, args, "once");
  stuck_in_burn("once");
  kill(pid, SIGTERM);
  uint32_t t0 = plat::tick();
  int code = segment::wait_exit(pid, 60000);
  if (code < 0) kill(pid, SIGKILL);
  EXPECT_EQ(code, 1) << read_file(w.dir + "/once.err");
  EXPECT_LT(plat::tick() - t0, 30000u) << "the silence bound and leaving programming mode";
  EXPECT_TRUE(holds(seg, 0, image));
  EXPECT_NE(read_file(w.dir + "/once.out").find(seg.device_ip(1)), std::string::npos);

  pid = start_ctl(seg, w, args, "twice");
  stuck_in_burn("twice");
  kill(pid, SIGTERM);
  plat::sleep_ms(300);
  kill(pid, SIGTERM);
  code = segment::wait_exit(pid, 5000);
  if (code < 0) kill(pid, SIGKILL);
  EXPECT_EQ(code, 128 + SIGTERM);
  std::string err = read_file(w.dir + "/twice.err");
  EXPECT_NE(err.find(u8("прервано повторным сигналом")), std::string::npos) << err;
  EXPECT_NE(err.find(seg.device_ip(1) + " SIM1: " + u8("прошивка")), std::string::npos) << err;
  EXPECT_NE(err.find(u8("прошито не полностью, осталось в режиме программирования")), std::string::npos) << err;
}

}  // namespace

namespace {

// --parallel K: never more than K boards in flight, by the events of the
// run itself (a board is in flight from its first event to its result); a
// board named twice is one board.
TEST(Line, NoMoreThanKBoardsAtOnceAndABoardNamedTwiceIsOne) {
  segment seg(3, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(61);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  run r = ctl(seg, w, {"flash", seg.device_ip(0), seg.device_ip(1), seg.device_ip(2), seg.device_ip(1),
                       w.dir + "/fw.hex", "--parallel", "2", "--json"},
              90000);
  EXPECT_EQ(r.code, 0) << r.err;
  std::set<std::string> in_flight;
  size_t most = 0;
  int done = 0;
  std::istringstream events(r.out);
  for (std::string e; std::getline(events, e);) {
    size_t at = e.find("\"board\":\"");
    if (at == std::string::npos) continue;
    std::string board = e.substr(at + 9, e.find('"', at + 9) - at - 9);
    if (e.find("\"result\":null") != std::string::npos) {
      in_flight.insert(board);
      most = std::max(most, in_flight.size());
    } else {
      in_flight.erase(board);
      done += e.find("\"result\":\"done\"") != std::string::npos;
    }
  }
  EXPECT_EQ(most, 2u);
  EXPECT_EQ(done, 3);
  for (int k = 0; k < 3; k++) EXPECT_TRUE(holds(seg, k, image)) << k;
}

// What lies past the board's memory can never be on it: verify of such an
// image finds a difference even where every byte the board has matches.
TEST(Line, VerifyOfAnImageLargerThanTheBoardIsADifference) {
  segment seg(1, SMALL);
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image(SMALL_BYTES + 16, 0xFF);
  std::fill(image.begin() + SMALL_BYTES, image.end(), 0x01);
  write_file(w.dir + "/big.hex", hex_of(image, image.size()));
  run r = ctl(seg, w, {"verify", seg.device_ip(0), w.dir + "/big.hex"});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find(u8("за пределами памяти устройства")), std::string::npos) << r.out;
}

}  // namespace

// A run's pace counts the boards done: boards that all refused the password
// are no boards a minute, on the terminal's summary and in JSON.
TEST(Line, BoardsThatAllFailAreNoBoardsAMinute) {
  segment seg(std::vector<devtest::knobs>{{"--model", "WIBQE715", "--password", "other"},
                                          {"--model", "WIBQE715", "--password", "other"}});
  START_SEGMENT_OR_SKIP(seg);
  workspace w;
  std::vector<uint8_t> image = random_image(41);
  write_file(w.dir + "/fw.hex", hex_of(image, image.size()));
  run json = ctl(seg, w, {"batch", w.dir + "/fw.hex", "--count", "2", "--parallel", "2", "--json"}, 60000);
  EXPECT_EQ(json.code, 1) << json.err;
  EXPECT_NE(json.out.find("\"done\":0,\"failed\":2,"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"per_minute\":0.0}"), std::string::npos) << json.out;
  run text = ctl(seg, w, {"flash", seg.device_ip(0), seg.device_ip(1), w.dir + "/fw.hex"}, 60000);
  EXPECT_NE(text.err.find(u8("ошибок 2")), std::string::npos) << text.err;
  EXPECT_NE(text.err.find(u8("0.0 плат/мин")), std::string::npos) << text.err;
}
