// What reaches the host's port besides the answer asked for: late answers,
// other hosts, endless chatter, a worn cell, a board gone quiet; and the
// stop flag of a burn.
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "netdvc/netdvc.h"
#include "platform/platform.h"
#include "tests/device/devcase.h"
#include "tests/device/segment.h"

using devtest::box_watch;
using devtest::host_scope;
using devtest::knobs;
using devtest::request_entry;
using devtest::segment;

namespace {

const uint16_t PORT = 48900;

// Valid identification answers (or junk) from a device to the host's port,
// unasked, every 50 ms; quiet again after 30 s, so a listener that never
// stops fails instead of hanging.
const knobs CHATTY = {"--stray-to", "192.0.2.1:48900", "--stray-every", "50", "--stray-for", "30"};

knobs with(knobs a, const knobs& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Wire : public devtest::window_case {
 protected:
  void SetUp() override {
    window_case::SetUp();
    std::mt19937 rnd(11);
    for (auto& b : MEMORY_MAP) b = (unsigned char)rnd();
  }
  static std::vector<int> pages_with(const std::vector<request_entry>& log, int flags) {
    std::vector<int> pages;
    for (auto& r : log)
      if (r.flags == flags) pages.push_back((int)r.page);
    return pages;
  }
  static bool same(const std::vector<uint8_t>& mem, size_t from, size_t to) {
    return mem.size() == sizeof MEMORY_MAP && std::memcmp(mem.data() + from, MEMORY_MAP + from, to - from) == 0;
  }
};

// A board that answers 115 to 130 ms late: the answer to the password comes
// after the set-MAC window has closed, and a pass later it could pass for the
// confirmation of an address the board refused. One that sends each late
// answer twice: the second copy comes after the next request has left.
TEST_F(Wire, LateAnswersAreNeverTakenForALaterRequest) {
  segment seg(std::vector<knobs>{{"--reply-delay", "115-130", "--refuse-mac", "--seed", "3"},
                                 {"--reply-delay", "115-130", "--never-enter", "--seed", "5"},
                                 {"--reply-delay", "115-130", "--refuse-mac", "--twice", "--seed", "7"}});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  const unsigned char mac[6] = {0x5A, 0x3C, 0x19, 0x00, 0x00, 0x07};
  for (int k : {0, 2}) {
    for (int i = 0; i < 3; i++) EXPECT_FALSE(set_mac(seg.device_ip(k).c_str(), PORT, mac)) << k << " " << i;
    char name[17];
    unsigned char now[6], rev;
    ASSERT_TRUE(get_device_name(seg.device_ip(k).c_str(), name, now, &rev, PORT));
    const unsigned char kept[6] = {0x02, 0x00, 0xC0, 0x00, 0x02, (unsigned char)(0x0A + k)};
    EXPECT_EQ(std::memcmp(now, kept, 6), 0) << k << ": the board keeps its address";
  }

  for (int i = 0; i < 2; i++) EXPECT_FALSE(set_programm_mode(seg.device_ip(1).c_str(), PORT)) << i;
}

// Unicast operations hear only the address they asked.
TEST_F(Wire, AnswersFromAnotherHostAreNotTaken) {
  const knobs board = {"--name", "BOARD", "--mac", "5A:3C:19:00:00:01"};
  segment seg(std::vector<knobs>{board, with(CHATTY, {"--name", "STRAY", "--mac", "66:66:66:66:66:66"})});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  ASSERT_TRUE(seg.stop_device(0));
  const unsigned char next[6] = {0x5A, 0x3C, 0x19, 0x00, 0x00, 0x02};
  EXPECT_FALSE(set_mac(seg.device_ip(0).c_str(), PORT, next)) << "the board is off";

  ASSERT_TRUE(seg.start_device(0, board));
  char name[17];
  unsigned char mac[6], rev;
  ASSERT_TRUE(get_device_name(seg.device_ip(0).c_str(), name, mac, &rev, PORT));
  EXPECT_STREQ(name, "BOARD");
  const unsigned char own[6] = {0x5A, 0x3C, 0x19, 0x00, 0x00, 0x01};
  EXPECT_EQ(std::memcmp(mac, own, 6), 0);
}

// A board that babbles every 50 ms would keep a listener that waits for
// silence listening for ever.
TEST_F(Wire, ListeningEndsThoughADeviceKeepsTalking) {
  segment seg(std::vector<knobs>{with(CHATTY, {"--stray-junk"})});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::vector<found_device> found;
  uint32_t t0 = plat::tick();
  EXPECT_EQ(discover_devices(PORT, found, 100), 1);
  EXPECT_LT(plat::tick() - t0, 6000u);
  char name[17];
  unsigned char mac[6], rev;
  t0 = plat::tick();
  EXPECT_TRUE(get_device_name(seg.device_ip(0).c_str(), name, mac, &rev, PORT));
  EXPECT_LT(plat::tick() - t0, 6000u);
}

// A cell that never takes the image's byte: the burn gives up on its page
// and says where, instead of rewriting it until the stall bound.
TEST_F(Wire, WornCellEndsTheBurnNamingIt) {
  segment seg(1, {"--stuck-byte", "0x1805=0xFF"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  MEMORY_MAP[0x1805] = 0x4B;
  // Far longer than the mismatches take; a burn that ignores them ends here
  // with another message instead of keeping the suite for five minutes.
  BURN_STALL_MS = 30000;
  ASSERT_TRUE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
  box_watch watch;
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0], "Прошивка прервана: страница 12: по адресу 0x1805 записано 4B, прочитано FF.");
  auto writes = pages_with(seg.requests(0), REQ_WRITE_PAGE);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back(), 12);
  EXPECT_TRUE(same(seg.memory(0), 0, 12 * 512));
}

// Only the board itself, signed as it signed its password answer, shows it
// is still there: neither another host's chatter nor junk from the board's
// own address (a board that lost its loader) is a sign of life.
TEST_F(Wire, SilentBoardIsGivenUpThoughAnotherHostKeepsTalking) {
  segment seg(std::vector<knobs>{with({"--die-after-pages", "5"}, with(CHATTY, {"--stray-junk"})), CHATTY});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  BURN_SILENCE_MS = 1500;
  ASSERT_TRUE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
  box_watch watch;
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_LT(plat::tick() - t0, 15000u) << "given up at the silence bound, not when the chatter ended";
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0], "Прошивка прервана: страница 5 не подтверждена устройством.");
}

// Another host on the bench keeps telling the board to leave programming
// mode: the board answers every page request, but only to refuse it. An
// answer of the wrong kind is no sign of life for this burn: it ends at the
// silence bound, not when the neighbour falls quiet.
TEST_F(Wire, ABoardKeptBusyByAnotherHostIsGivenUpAtTheSilenceBound) {
  segment seg(std::vector<knobs>{{}, with(CHATTY, {"--stray-to", "192.0.2.10:48900", "--stray-request", "4000",
                                                   "--stray-every", "30"})});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  BURN_SILENCE_MS = 1500;
  set_programm_mode(seg.device_ip(0).c_str(), PORT);
  box_watch watch;
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_LT(plat::tick() - t0, 15000u) << "given up at the silence bound, not when the neighbour fell quiet";
  ASSERT_EQ(watch.seen.size(), 1u);
  EXPECT_EQ(watch.seen[0].rfind("Прошивка прервана: страница ", 0), 0u) << watch.seen[0];
}

// The stall bound counts from the last confirmed page: a lossy burn that
// takes far longer than the bound, each page well within it, completes.
TEST_F(Wire, SlowStallBoundRestartsWithEveryConfirmedPage) {
  segment seg(1, {"--model", "WIBQE715", "--pages-anytime", "--drop", "5", "--seed", "4"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  std::memset(MEMORY_MAP + 32768, 0xFF, sizeof MEMORY_MAP - 32768);
  // 128 pages at 20 ms and a second of receive time-out for every lost
  // datagram: well over 6 s in all, a page's few retries well under.
  BURN_STALL_MS = 6000;
  box_watch watch;
  bool done = false;
  // A burn that fails before its transfer (identify or password lost) is
  // simply tried again.
  for (int attempt = 0; attempt < 20 && !done && watch.seen.empty(); attempt++)
    done = burn_device(seg.device_ip(0).c_str(), PORT, 0);
  EXPECT_TRUE(done);
  EXPECT_TRUE(watch.seen.empty());
  EXPECT_TRUE(same(seg.memory(0), 0, 32768));
}

// The stop flag, set before the burn, lets at most the page in hand go out.
TEST_F(Wire, StopFlagEndsTheBurnAfterThePageInHand) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  ASSERT_TRUE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
  box_watch watch;
  BURN_STOP = 1;
  EXPECT_FALSE(burn_device(seg.device_ip(0).c_str(), PORT, 0));
  EXPECT_TRUE(watch.seen.empty()) << "no message";
  auto writes = pages_with(seg.requests(0), REQ_WRITE_PAGE);
  EXPECT_LE(std::set<int>(writes.begin(), writes.end()).size(), 1u);
  auto mem = seg.memory(0);
  ASSERT_EQ(mem.size(), sizeof MEMORY_MAP);
  for (size_t i = 512; i < mem.size(); i++) ASSERT_EQ(mem[i], 0xFF) << i;
}

}  // namespace
