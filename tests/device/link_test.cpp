// Programming mode and MAC assignment against the loader simulator on a
// private segment.
#include <cstring>
#include <string>

#include "class/class.h"
#include "netdvc/netdvc.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "tests/device/devcase.h"
#include "tests/device/segment.h"

using devtest::escapes_left;
using devtest::host_scope;
using devtest::queue_escapes;
using devtest::knobs;
using devtest::request_entry;
using devtest::segment;

namespace {

const uint16_t PORT = 48900;

void use_password(const char* p) {
  std::memset(DEV_PASS, 0, sizeof DEV_PASS);
  std::strncpy(DEV_PASS, p, sizeof DEV_PASS - 1);
}

int count_flags(const std::vector<request_entry>& log, int flags) {
  int n = 0;
  for (auto& r : log) n += r.flags == flags;
  return n;
}

class ProgrammingMode : public devtest::device_case {};
class Link : public devtest::device_case {};
class Mac : public devtest::device_case {};

TEST_F(ProgrammingMode, RightPasswordEntersAndLeaves) {
  segment seg(1, {"--password", "secret"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("secret__________");
  std::string ip = seg.device_ip(0);
  uint32_t t0 = plat::tick();
  EXPECT_TRUE(set_programm_mode(ip.c_str(), PORT));
  EXPECT_LT(plat::tick() - t0, 3000u);
  auto log = seg.requests(0);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0].flags, REQ_IDENTIFY);
  EXPECT_EQ(log[0].len, 10);
  EXPECT_EQ(log[1].flags, REQ_PASSWORD);
  EXPECT_EQ(log[1].len, 526);
  EXPECT_EQ(log[2].flags, REQ_ENTER_PROGRAMM);
  EXPECT_EQ(log[0].from, std::string("192.0.2.1:48900")) << "sent from the port it sends to";
  EXPECT_TRUE(check_device_found(ip.c_str(), PORT));
  EXPECT_TRUE(exit_programm_mode(ip.c_str(), PORT));
  EXPECT_EQ(count_flags(seg.requests(0), REQ_EXIT_PROGRAMM), 1);
}

TEST_F(ProgrammingMode, WrongPasswordIsReportedEveryPassAndFailsWithinTheBudget) {
  segment seg(1, {"--password", "secret"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("wrong___________");
  queue_escapes(40);
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
  uint32_t took = plat::tick() - t0;
  EXPECT_GE(took, 1000u);
  EXPECT_LT(took, 3000u) << "the budget and one pass, with room for a busy machine";
  int shown = 40 - escapes_left();
  int passwords = count_flags(seg.requests(0), REQ_PASSWORD);
  EXPECT_GE(passwords, 3);
  EXPECT_EQ(shown, passwords) << "one message per refused pass";
  EXPECT_EQ(count_flags(seg.requests(0), REQ_ENTER_PROGRAMM), 0);
}

TEST_F(ProgrammingMode, DeviceThatNeverConfirmsIsAskedAgainForOneSecond) {
  segment seg(1, {"--never-enter"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("________________");
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
  EXPECT_GE(plat::tick() - t0, 1000u);
  auto log = seg.requests(0);
  int enters = count_flags(log, REQ_ENTER_PROGRAMM);
  EXPECT_GE(enters, 2);
  EXPECT_EQ(count_flags(log, REQ_IDENTIFY), enters) << "every pass starts again from identify";
  EXPECT_EQ(count_flags(log, REQ_PASSWORD), enters);
}

TEST_F(ProgrammingMode, CheckFindsTheDeviceWhenItsSilenceEnds) {
  segment seg(1, {"--silent-after-enter", "2"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("________________");
  std::string ip = seg.device_ip(0);
  ASSERT_TRUE(set_programm_mode(ip.c_str(), PORT));
  uint32_t t0 = plat::tick();
  EXPECT_TRUE(check_device_found(ip.c_str(), PORT));
  uint32_t took = plat::tick() - t0;
  EXPECT_GE(took, 1500u);
  EXPECT_LT(took, 6000u);
  EXPECT_GE(count_flags(seg.requests(0), REQ_IDENTIFY), 4) << "asked about twice a second";
}

TEST_F(ProgrammingMode, SlowCheckGivesUpAfterThirtySeconds) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  ASSERT_TRUE(seg.stop_device(0));
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(check_device_found(seg.device_ip(0).c_str(), PORT));
  uint32_t took = plat::tick() - t0;
  EXPECT_GE(took, 30000u);
  EXPECT_LT(took, 33000u);
  t0 = plat::tick();
  EXPECT_FALSE(exit_programm_mode(seg.device_ip(0).c_str(), PORT));
  took = plat::tick() - t0;
  EXPECT_GE(took, 8000u);
  EXPECT_LT(took, 10000u);
}

TEST_F(Link, BadAddressOrBusyPortFailsAtOnceWithoutSending) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("________________");
  const unsigned char mac[6] = {1, 2, 3, 4, 5, 6};
  for (const char* bad : {"", "192.0.2", "192.0.2.10.1", "192.0.2.256", "host", "192.0.2.10x", " 192.0.2.10"}) {
    uint32_t t0 = plat::tick();
    EXPECT_FALSE(set_programm_mode(bad, PORT)) << bad;
    EXPECT_FALSE(set_mac(bad, PORT, mac)) << bad;
    EXPECT_FALSE(exit_programm_mode(bad, PORT)) << bad;
    EXPECT_LT(plat::tick() - t0, 500u) << bad;
  }
  // Discovery pads addresses with blanks: still good.
  std::string padded = seg.device_ip(0);
  padded.resize(16, ' ');
  EXPECT_TRUE(set_programm_mode(padded.c_str(), PORT));
  size_t before = seg.requests(0).size();

  int holder = plat::udp_open();
  ASSERT_TRUE(plat::udp_bind(holder, PORT));
  uint32_t t0 = plat::tick();
  EXPECT_FALSE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
  EXPECT_FALSE(check_device_found(seg.device_ip(0).c_str(), PORT));
  EXPECT_FALSE(set_mac(seg.device_ip(0).c_str(), PORT, mac));
  EXPECT_LT(plat::tick() - t0, 500u) << "far below any budget: nothing was waited for";
  plat::udp_close(holder);
  plat::sleep_ms(100);
  EXPECT_EQ(seg.requests(0).size(), before) << "nothing sent while the port was busy";
  EXPECT_EQ(plat::cursor_id(plat::get_cursor()), IDC_ARROW) << "the hourglass is gone";
}

TEST_F(Mac, StoredConfirmedAndReportedByIdentify) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("________________");
  const unsigned char mac[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02};
  EXPECT_TRUE(set_mac(seg.device_ip(0).c_str(), PORT, mac));
  auto log = seg.requests(0);
  ASSERT_EQ(count_flags(log, REQ_SET_MAC), 1);
  for (auto& r : log)
    if (r.flags == REQ_SET_MAC) {
      EXPECT_EQ(r.len, 20);
      EXPECT_EQ(r.mac, "5A:3C:19:11:46:02");
      EXPECT_EQ(r.page, 0);
    }
}

TEST_F(Mac, RefusedOrForeignConfirmationFailsAfterOneSecondOfRetries) {
  segment seg(std::vector<knobs>{{"--refuse-mac"}, {"--foreign-mac-signature"}});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("________________");
  const unsigned char mac[6] = {0, 0, 0, 0, 0, 0};
  for (int k = 0; k < 2; k++) {
    uint32_t t0 = plat::tick();
    EXPECT_FALSE(set_mac(seg.device_ip(k).c_str(), PORT, mac)) << k;
    EXPECT_GE(plat::tick() - t0, 1000u);
    auto log = seg.requests(k);
    int stores = count_flags(log, REQ_SET_MAC);
    EXPECT_GE(stores, 2) << k;
    EXPECT_EQ(count_flags(log, REQ_IDENTIFY), stores) << "each pass starts from identify";
  }
}

// An answer is taken only when it holds the whole header, begins with a
// model signature (the thirteenth one only in burning) and carries the
// step's flag bit; any other datagram is no answer, whatever else it holds.
TEST_F(Link, AnswersThatFailTheirChecksAreNoAnswers) {
  segment seg(std::vector<knobs>{
      // 0: identify and enter answered by a device outside the model table,
      //    the password answer signed as one of ours
      {"--model", "FOREIGN_", "--password-signature", "GXonTaq_"},
      // 1: the password answer signed with the signature only burning takes
      {"--password-signature", "Y7KE____"},
      // 2: identify answered with every flag bit but RSP_OK
      {"--identify-flags", "fffe"},
      // 3: every answer cut inside the header, after the low flag byte
      {"--cut-replies", "13"},
      // 4: every flag bit set: each check tests its own bit only
      {"--identify-flags", "ffff"},
  });
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  use_password("________________");
  queue_escapes(40);
  const unsigned char mac[6] = {0x02, 0, 0, 0, 0, 9};
  auto ip = [&](int k) { return seg.device_ip(k); };

  EXPECT_FALSE(set_programm_mode(ip(0).c_str(), PORT));
  EXPECT_EQ(count_flags(seg.requests(0), REQ_PASSWORD), 0) << "a foreign identify answer ends the pass";

  EXPECT_FALSE(set_programm_mode(ip(1).c_str(), PORT));
  EXPECT_FALSE(set_mac(ip(1).c_str(), PORT, mac));
  EXPECT_EQ(count_flags(seg.requests(1), REQ_ENTER_PROGRAMM), 0);
  EXPECT_EQ(count_flags(seg.requests(1), REQ_SET_MAC), 0);

  EXPECT_FALSE(set_programm_mode(ip(2).c_str(), PORT));
  EXPECT_EQ(count_flags(seg.requests(2), REQ_PASSWORD), 0) << "identify without RSP_OK ends the pass";

  // Cut to 13 bytes, RSP_OK (in the low flag byte) would still be there.
  EXPECT_FALSE(set_mac(ip(3).c_str(), PORT, mac));
  EXPECT_EQ(count_flags(seg.requests(3), REQ_PASSWORD), 0) << "a cut identify answer ends the pass";

  EXPECT_TRUE(set_programm_mode(ip(4).c_str(), PORT));
  EXPECT_EQ(escapes_left(), 40) << "no password message: the refusal bit is not looked at after RSP_OK";
}

TEST_F(Link, DoubledAnswersAreNotTakenForTheNextRequest) {
  segment seg(1, {"--twice", "--password", "secret"});
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  // The doubled answer to identify carries RSP_OK; it must not pass for the
  // answer to a wrong password.
  use_password("wrong___________");
  queue_escapes(40);
  EXPECT_FALSE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
  EXPECT_EQ(count_flags(seg.requests(0), REQ_ENTER_PROGRAMM), 0);
  use_password("secret__________");
  EXPECT_TRUE(set_programm_mode(seg.device_ip(0).c_str(), PORT));
}

}  // namespace
