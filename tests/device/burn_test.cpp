// Burning the firmware image into simulated devices of each geometry.
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"
#include "netdvc/session.h"
#include "platform/platform.h"
#include "tests/device/devcase.h"
#include "tests/device/segment.h"

using devtest::box_watch;
using devtest::escapes_left;
using devtest::host_scope;
using devtest::knobs;
using devtest::request_entry;
using devtest::segment;

namespace {

const uint16_t PORT = 48900;

class Burn : public devtest::window_case {
 protected:
  void SetUp() override {
    window_case::SetUp();
    std::mt19937 rnd(7);
    for (auto& b : MEMORY_MAP) b = (unsigned char)rnd();
  }
  // The device accepts pages only in programming mode, as the tool leaves it.
  static void enter(const segment& seg, int k) { ASSERT_TRUE(set_programm_mode(seg.device_ip(k).c_str(), PORT)); }
  static std::vector<int> pages_with(const std::vector<request_entry>& log, int flags) {
    std::vector<int> pages;
    for (auto& r : log)
      if (r.flags == flags) pages.push_back((int)r.page);
    return pages;
  }
  static bool same(const std::vector<uint8_t>& mem, size_t from, size_t to) {
    return mem.size() == sizeof MEMORY_MAP && std::memcmp(mem.data() + from, MEMORY_MAP + from, to - from) == 0;
  }
  static bool erased(const std::vector<uint8_t>& mem, size_t from) {
    if (mem.size() != sizeof MEMORY_MAP) return false;
    for (size_t i = from; i < mem.size(); i++)
      if (mem[i] != 0xFF) return false;
    return true;
  }
  // The pages of the requests went 0, 1, ... last without a gap and without
  // going back. A page may come more than once in a row: an answer that
  // arrives late is legitimately asked for again, so counts prove nothing.
  static ::testing::AssertionResult walks_every_page(const std::vector<int>& pages, int last) {
    int expect = 0;
    for (size_t n = 0; n < pages.size(); n++) {
      int p = pages[n];
      if (p != expect && !(n > 0 && p == pages[n - 1]))
        return ::testing::AssertionFailure() << "request " << n << " is for page " << p << ", expected " << expect;
      if (p == expect) expect++;
    }
    if (expect != last + 1) return ::testing::AssertionFailure() << "pages end at " << expect - 1 << ", not " << last;
    return ::testing::AssertionSuccess();
  }
  static int count(const std::vector<int>& v, int value) { return (int)std::count(v.begin(), v.end(), value); }
  // A burn admitted (identify and password under their one-second budget) on
  // a lossy link; a burn that fails before its transfer is simply tried again,
  // as the technician would. False when a transfer was given up.
  static bool burn_on_lossy_link(const segment& seg, int k, box_watch& watch) {
    for (int attempt = 0; attempt < 20; attempt++) {
      if (burn_device(seg.device_ip(k).c_str(), PORT, 0)) return true;
      if (!watch.seen.empty()) return false;
    }
    return false;
  }
};

TEST_F(Burn, EveryGeometryWritesItsPagesAndTheMemoryEqualsTheImage) {
  segment seg(std::vector<knobs>{{"--model", "GXonTaq_"}, {"--model", "WIBQE715"}, {"--model", "HYFRO529"}});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  struct {
    unsigned size, count;
  } want[] = {{512, 255}, {256, 127}, {256, 255}};
  // The image fills all 128 KB: the smaller devices ask first, and are told yes.
  box_watch watch;
  watch.answer = 13;
  for (int k = 0; k < 3; k++) {
    enter(seg, k);
    uint32_t t0 = plat::tick();
    ASSERT_TRUE(burn_device(seg.device_ip(k).c_str(), PORT, 0)) << k;
    uint32_t took = plat::tick() - t0;
    EXPECT_EQ(page_size, want[k].size) << k;
    EXPECT_EQ(page_count, want[k].count) << k;
    size_t bytes = (size_t)page_size * (page_count + 1);
    auto mem = seg.memory(k);
    EXPECT_TRUE(same(mem, 0, bytes)) << k;
    EXPECT_TRUE(erased(mem, bytes)) << k;
    auto log = seg.requests(k);
    EXPECT_TRUE(walks_every_page(pages_with(log, REQ_WRITE_PAGE), page_count)) << k;
    EXPECT_TRUE(walks_every_page(pages_with(log, REQ_READ_PAGE), page_count)) << k;
    for (auto& r : log) {
      if (r.flags == REQ_WRITE_PAGE) {
        EXPECT_EQ(r.len, 14 + (int)page_size);
      } else if (r.flags == REQ_READ_PAGE) {
        EXPECT_EQ(r.len, 14);
      }
    }
    EXPECT_GE(took, (page_count + 1) * 20u) << "two 10 ms pauses per page";
    EXPECT_EQ(watch.seen.size(), (size_t)k) << "asked by the devices of 32 and 64 KB only";
  }
}

TEST_F(Burn, CoprocessorPagesCarryTheSpFlagAndGoToItsMemory) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  enter(seg, 0);
  ASSERT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 1));
  auto log = seg.requests(0);
  EXPECT_TRUE(walks_every_page(pages_with(log, 0x2010), 255));
  EXPECT_TRUE(walks_every_page(pages_with(log, 0x2020), 255));
  // Identify and password are the plain ones; no page request lacks the flag.
  for (auto& r : log)
    EXPECT_TRUE(r.flags == REQ_IDENTIFY || r.flags == REQ_PASSWORD || r.flags == REQ_ENTER_PROGRAMM ||
                r.flags == 0x2010 || r.flags == 0x2020)
        << std::hex << r.flags;
  EXPECT_GE(pages_with(log, REQ_IDENTIFY).size(), 2u) << "one to enter programming mode, one to burn";
  EXPECT_TRUE(same(seg.sp_memory(0), 0, sizeof MEMORY_MAP));
  EXPECT_TRUE(erased(seg.memory(0), 0));
}

TEST_F(Burn, CorruptedReadBackRepeatsOnlyThatPage) {
  segment seg(1, {"--corrupt-reads", "1"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  enter(seg, 0);
  ASSERT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  auto writes = pages_with(seg.requests(0), REQ_WRITE_PAGE);
  // The pages before it are not repeated: the walk never goes back.
  EXPECT_TRUE(walks_every_page(writes, 255));
  EXPECT_GE(count(writes, 0), 2) << "the page whose read-back differed is written again";
  EXPECT_TRUE(same(seg.memory(0), 0, sizeof MEMORY_MAP));
}

// The whole page must come back: a short read-back is no confirmation, even
// where the missing part would read as the zeros the page holds.
TEST_F(Burn, ShortReadBackIsNoConfirmation) {
  segment seg(1, {"--model", "WIBQE715", "--short-reads", "3"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::memset(MEMORY_MAP, 0, sizeof MEMORY_MAP);
  std::memset(MEMORY_MAP + 32768, 0xFF, sizeof MEMORY_MAP - 32768);
  enter(seg, 0);
  ASSERT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  auto writes = pages_with(seg.requests(0), REQ_WRITE_PAGE);
  EXPECT_TRUE(walks_every_page(writes, 127));
  EXPECT_GE(count(writes, 0), 4) << "three half pages came back for page 0";
  EXPECT_TRUE(same(seg.memory(0), 0, 32768));
}

// As long as the device answers, a page it does not confirm is written again:
// nineteen spoilt read-backs in a row are no reason to stop (the twentieth
// is: a worn cell). A device that only ever sends half pages back has
// confirmed nothing when the stall bound passes, and the burn gives up,
// naming the page.
TEST_F(Burn, AnsweringDeviceIsAskedAgainUntilItConfirmsOrTheStallBoundPasses) {
  segment seg(std::vector<knobs>{{"--model", "WIBQE715", "--corrupt-reads", "19"},
                                 {"--model", "WIBQE715", "--short-reads", "1000000000"}});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::memset(MEMORY_MAP + 32768, 0xFF, sizeof MEMORY_MAP - 32768);
  box_watch watch;
  enter(seg, 0);
  ASSERT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  auto writes = pages_with(seg.requests(0), REQ_WRITE_PAGE);
  EXPECT_TRUE(walks_every_page(writes, 127));
  EXPECT_GE(count(writes, 0), 20);
  EXPECT_TRUE(same(seg.memory(0), 0, 32768));
  EXPECT_TRUE(watch.seen.empty());

  enter(seg, 1);
  BURN_STALL_MS = 2000;
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(burn_device(seg.device_ip(1).c_str(), PORT, 0));
  uint32_t took = plat::tick() - t0;
  EXPECT_GE(took, 2000u);
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0], "Прошивка прервана: страница 0 не подтверждена устройством.");
  writes = pages_with(seg.requests(1), REQ_WRITE_PAGE);
  EXPECT_GT(writes.size(), 10u);
  EXPECT_EQ(count(writes, 0), (int)writes.size());
}

// A fresh session starts its clock of signs of life with the transfer: the
// first page answer lost (of a write, or of a read of a dump) is asked
// again, not taken for a board silent since the session began.
TEST_F(Burn, AFreshSessionAsksAgainWhenTheFirstPageAnswerIsLost) {
  const knobs lose_one = {"--model", "WIBQE715", "--drop-first-pages", "1"};
  segment seg(1, lose_one);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::memset(MEMORY_MAP + 32768, 0xFF, sizeof MEMORY_MAP - 32768);
  box_watch watch;
  enter(seg, 0);
  EXPECT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_TRUE(watch.seen.empty());
  EXPECT_TRUE(same(seg.memory(0), 0, 32768));

  ASSERT_TRUE(seg.start_device(0, lose_one));
  loader_link link;
  ASSERT_TRUE(link.open(PORT));
  board_session s(link, seg.device_addr(0), "________________");
  ASSERT_TRUE(s.enter_programming());
  std::vector<uint8_t> dump(32768);
  EXPECT_TRUE(s.read_memory(false, dump.data())) << s.failure();
  EXPECT_EQ(std::memcmp(dump.data(), MEMORY_MAP, dump.size()), 0);
}

// A page answer one byte short confirms nothing and is no page of a dump:
// the byte it lacks would read as the zero the buffer was cleared to.
TEST_F(Burn, APageAnswerOneByteShortIsNoAnswer) {
  // 14 header bytes and 255 of the 256 of a page.
  segment seg(1, {"--model", "WIBQE715", "--cut-replies", "269"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::memset(MEMORY_MAP + 32768, 0xFF, sizeof MEMORY_MAP - 32768);
  BURN_STALL_MS = 1500;
  box_watch watch;
  enter(seg, 0);
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0], "Прошивка прервана: страница 0 не подтверждена устройством.");

  loader_link link;
  ASSERT_TRUE(link.open(PORT));
  board_session s(link, seg.device_addr(0), "________________");
  burn_bounds quick;
  quick.silence_ms = 1500;
  s.set_bounds(quick);
  std::vector<uint8_t> dump(32768);
  EXPECT_FALSE(s.read_memory(false, dump.data()));
  EXPECT_EQ(s.failure(), "Чтение прервано: страница 0 не получена от устройства.");
}

// Data past the device's memory would be silently left out: the user is
// asked first, and on no nothing is written.
TEST_F(Burn, ImageLargerThanTheDeviceIsBurntOnlyWhenTheUserAgrees) {
  segment seg(1, {"--model", "WIBQE715"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  const std::string question = "Образ больше памяти устройства (32768 байт). Прошить только первые 32768 байт?";
  enter(seg, 0);
  box_watch watch;
  watch.answer = 27;
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0], question);
  EXPECT_TRUE(pages_with(seg.requests(0), REQ_WRITE_PAGE).empty());
  EXPECT_TRUE(erased(seg.memory(0), 0));

  watch.seen.clear();
  watch.answer = 13;
  EXPECT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0], question);
  EXPECT_TRUE(same(seg.memory(0), 0, 32768));
  EXPECT_TRUE(erased(seg.memory(0), 32768));

  // One byte past the device's memory is enough to ask; an image that fits
  // asks nothing.
  std::memset(MEMORY_MAP + 32768, 0xFF, sizeof MEMORY_MAP - 32768);
  MEMORY_MAP[sizeof MEMORY_MAP - 1] = 0xFE;
  watch.seen.clear();
  watch.answer = 27;
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_EQ(watch.seen.size(), 1u);
  MEMORY_MAP[sizeof MEMORY_MAP - 1] = 0xFF;
  MEMORY_MAP[0] ^= 0x5A;
  watch.seen.clear();
  EXPECT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_TRUE(watch.seen.empty());
  EXPECT_TRUE(same(seg.memory(0), 0, 32768));
}

// Datagram loss makes pages go again and again, but the burn completes and
// the device holds the image.
TEST_F(Burn, SlowTwentyPercentLossOnAHundredTwentyEightPageDevice) {
  segment seg(1, {"--model", "WIBQE715", "--pages-anytime", "--drop", "20", "--seed", "11"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::memset(MEMORY_MAP + 32768, 0xFF, sizeof MEMORY_MAP - 32768);
  box_watch watch;
  EXPECT_TRUE(burn_on_lossy_link(seg, 0, watch));
  EXPECT_TRUE(watch.seen.empty());
  EXPECT_TRUE(same(seg.memory(0), 0, 32768));
  EXPECT_TRUE(erased(seg.memory(0), 32768));
}

TEST_F(Burn, SlowTenPercentLossAndTenPercentDuplicatesOnATwoHundredFiftySixPageDevice) {
  segment seg(1, {"--model", "HYFRO529", "--pages-anytime", "--drop", "10", "--duplicate", "10", "--seed", "5"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::memset(MEMORY_MAP + 65536, 0xFF, sizeof MEMORY_MAP - 65536);
  box_watch watch;
  EXPECT_TRUE(burn_on_lossy_link(seg, 0, watch));
  EXPECT_TRUE(watch.seen.empty());
  EXPECT_TRUE(same(seg.memory(0), 0, 65536));
  EXPECT_TRUE(erased(seg.memory(0), 65536));
}

TEST_F(Burn, ExtraPasswordSignatureGivesFullPages) {
  // A password answer signed Y7KE____ is taken only by burning, so this
  // device accepts pages without programming mode.
  segment seg(1, {"--model", "WIBQE715", "--password-signature", "Y7KE____", "--page-size", "512",
                  "--pages-anytime"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  ASSERT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_EQ(page_size, 512);
  EXPECT_EQ(page_count, 255);
  EXPECT_TRUE(same(seg.memory(0), 0, sizeof MEMORY_MAP));
}

TEST_F(Burn, WrongPasswordOrNoDeviceFailsWithoutTransfer) {
  segment seg(1, {"--password", "secret"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  devtest::queue_escapes(20);
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_LT(plat::tick() - t0, 3000u);
  EXPECT_GT(20 - escapes_left(), 0) << "the password error was shown";
  EXPECT_TRUE(pages_with(seg.requests(0), REQ_WRITE_PAGE).empty());
  EXPECT_FALSE(burn_device("192.0.2.200", PORT, 0));
}

// A device that falls silent ends the burn after ten seconds of silence,
// with the message naming the page.
TEST_F(Burn, SlowDeviceDyingMidTransferEndsInBoundedTimeWithAMessage) {
  segment seg(1, {"--die-after-pages", "20"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  enter(seg, 0);
  box_watch watch;
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  uint32_t took = plat::tick() - t0;
  EXPECT_GE(took, 10000u) << "ten seconds of silence";
  EXPECT_LT(took, 60000u);
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0], "Прошивка прервана: страница 20 не подтверждена устройством.");
  auto writes = pages_with(seg.requests(0), REQ_WRITE_PAGE);
  ASSERT_GE(writes.size(), 21u);
  EXPECT_EQ(writes.back(), 20) << "the page after the last confirmed one is the one retried";
}

}  // namespace
