// Burning the firmware image into simulated devices of each geometry.
#include <cstring>
#include <random>
#include <string>

#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"
#include "platform/platform.h"
#include "tests/device/segment.h"

using devtest::host_scope;
using devtest::knobs;
using devtest::request_entry;
using devtest::segment;

namespace {

const uint16_t PORT = 48900;

class Burn : public ::testing::Test {
 protected:
  void SetUp() override {
    static int instance;
    reg_class("VeskorBurnTest", &instance, 1);
    std::memset(DEV_PASS, 0, sizeof DEV_PASS);
    std::memcpy(DEV_PASS, "________________", 16);
    std::mt19937 rnd(7);
    for (auto& b : MEMORY_MAP) b = (unsigned char)rnd();
  }
  // Esc codes still waiting in the ring: each message box shown takes one.
  static int escapes_left() {
    int n = 0;
    for (int i = CURRENT; i != LAST; i = (i + 1) % KEY_RING) n += KEY[i].code == 27;
    return n;
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
    for (size_t i = from; i < mem.size(); i++)
      if (mem[i] != 0xFF) return false;
    return true;
  }
};

TEST_F(Burn, EveryGeometryWritesItsPagesAndTheMemoryEqualsTheImage) {
  segment seg(std::vector<knobs>{{"--model", "GXonTaq_"}, {"--model", "WIBQE715"}, {"--model", "HYFRO529"}});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  struct {
    unsigned size, count;
  } want[] = {{512, 255}, {256, 127}, {256, 255}};
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
    auto writes = pages_with(log, REQ_WRITE_PAGE);
    ASSERT_EQ((int)writes.size(), page_count + 1) << k;
    for (int i = 0; i <= page_count; i++) EXPECT_EQ(writes[i], i);
    for (auto& r : log) {
      if (r.flags == REQ_WRITE_PAGE) {
        EXPECT_EQ(r.len, 14 + (int)page_size);
      } else if (r.flags == REQ_READ_PAGE) {
        EXPECT_EQ(r.len, 14);
      }
    }
    EXPECT_GE(took, (page_count + 1) * 20u) << "two 10 ms pauses per page";
  }
}

TEST_F(Burn, CoprocessorPagesCarryTheSpFlagAndGoToItsMemory) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  enter(seg, 0);
  ASSERT_TRUE(burn_device(seg.device_ip(0).c_str(), PORT, 1));
  auto log = seg.requests(0);
  EXPECT_EQ(pages_with(log, 0x2010).size(), 256u);
  EXPECT_EQ(pages_with(log, 0x2020).size(), 256u);
  EXPECT_EQ(pages_with(log, REQ_WRITE_PAGE).size(), 0u);
  EXPECT_EQ(pages_with(log, REQ_IDENTIFY).size(), 2u) << "one to enter programming mode, one to burn";
  EXPECT_EQ(pages_with(log, REQ_PASSWORD).size(), 2u);
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
  ASSERT_EQ(writes.size(), 257u);
  EXPECT_EQ(writes[0], 0);
  EXPECT_EQ(writes[1], 0) << "the page whose read-back differed is written again";
  for (int i = 1; i < 256; i++) EXPECT_EQ(writes[i + 1], i);
  EXPECT_TRUE(same(seg.memory(0), 0, sizeof MEMORY_MAP));
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
  for (int i = 0; i < 20; i++) set_key(27, nullptr, 0, 0, 0);
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_LT(plat::tick() - t0, 1600u);
  EXPECT_GT(20 - escapes_left(), 0) << "the password error was shown";
  EXPECT_TRUE(pages_with(seg.requests(0), REQ_WRITE_PAGE).empty());
  EXPECT_FALSE(burn_device("192.0.2.200", PORT, 0));
}

TEST_F(Burn, SlowDeviceDyingMidTransferEndsInBoundedTimeWithAMessage) {
  segment seg(1, {"--die-after-pages", "20"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  enter(seg, 0);
  // The progress window pumps events, so no key can be queued for the
  // message in advance: it stands for its ten seconds and closes itself.
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  uint32_t took = plat::tick() - t0;
  EXPECT_GE(took, 19000u) << "about ten seconds of retries, then the message's ten seconds";
  EXPECT_LT(took, 25000u);
  auto writes = pages_with(seg.requests(0), REQ_WRITE_PAGE);
  ASSERT_GE(writes.size(), 20u);
  EXPECT_EQ(writes.back(), 20) << "the page after the last confirmed one is the one retried";
}

}  // namespace
