// Discovery and identify-by-address against loader simulators on a private
// segment, and the chooser that discovery shows.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "class/class.h"
#include "netdvc/netdvc.h"
#include "platform/platform.h"
#include "tests/device/devcase.h"
#include "tests/device/segment.h"

using devtest::host_scope;
using devtest::knobs;
using devtest::segment;

namespace {

const uint16_t PORT = 48900;

void register_class() {
  static int instance;
  static bool done = false;
  if (!done) reg_class("VeskorDiscoverTest", &instance, 1);
  done = true;
}

// How often each address answered a windowless round.
std::map<std::string, int> round_of(std::vector<found_device>* keep = nullptr) {
  std::vector<found_device> found;
  EXPECT_GE(discover_devices(PORT, found, 1000), 0);
  std::map<std::string, int> seen;
  for (auto& d : found) seen[d.ip]++;
  if (keep) *keep = found;
  return seen;
}

const found_device* entry(const std::vector<found_device>& v, const std::string& ip) {
  for (auto& d : v)
    if (ip == d.ip) return &d;
  return nullptr;
}

int identifies(const segment& seg, int k) {
  int n = 0;
  for (auto& r : seg.requests(k)) n += r.flags == REQ_IDENTIFY;
  return n;
}

// Acts once, on the tick-th tick: ticks reach every window's elements, so it
// runs inside the chooser's loop, where THWND is the chooser's window.
class spy : public tobject {
 public:
  std::function<void()> act;
  int ticks;
  spy(int tick, std::function<void()> f) : act(std::move(f)), ticks(tick) { set_object(this); }
  ~spy() override { reset_object(); }
  int message(int code) override {
    if (code == 387 && ticks > 0 && --ticks == 0) act();
    return 0;
  }
};

void click(void* w, int x, int y) {
  plat::inject_mouse_move(w, x, y);
  plat::inject_mouse_button(w, x, y, 1, true);
  plat::inject_mouse_button(w, x, y, 1, false);
}

// Grid rows in the chooser's client area: the background starts at 5, the
// header takes 18, a row 15.
int row_y(int r) { return 5 + 18 + r * 15 + 7; }

struct outputs {
  char ip[32], name[32];
  unsigned char mac[16], rev;
  outputs() { clear(); }
  void clear() {
    memset(ip, '#', sizeof ip);
    memset(name, '#', sizeof name);
    memset(mac, '#', sizeof mac);
    rev = '#';
  }
  bool untouched() const {
    outputs fresh;
    return !memcmp(ip, fresh.ip, sizeof ip) && !memcmp(name, fresh.name, sizeof name) &&
           !memcmp(mac, fresh.mac, sizeof mac) && rev == fresh.rev;
  }
  int find() { return find_dhcp_devices(ip, name, mac, &rev, PORT); }
};

std::string padded(const std::string& s, size_t n) {
  std::string p = s;
  p.resize(n, ' ');
  return p;
}

// Sixteen name bytes as loadersim sends them: NUL-padded.
std::string name16(const char* s) {
  std::string n(s);
  n.resize(16, '\0');
  return n;
}

class Discovery : public devtest::device_case {};
class Chooser : public devtest::device_case {};

TEST_F(Discovery, NothingAnsweringGivesOneAndNoAddressAnswersFalse) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  register_class();
  ASSERT_TRUE(seg.stop_device(0));
  outputs o;
  EXPECT_EQ(o.find(), 1);
  EXPECT_TRUE(o.untouched());
  EXPECT_FALSE(get_device_name(seg.device_ip(0).c_str(), o.name, o.mac, &o.rev, PORT));
  EXPECT_FALSE(get_device_name("not an address", o.name, o.mac, &o.rev, PORT));
  EXPECT_TRUE(o.untouched());
  EXPECT_EQ(THWND, nullptr) << "no window was shown";
}

// Every valid answer is listed, once per datagram; the one request reached
// every device once; nothing else is listed.
TEST_F(Discovery, ListsEveryValidAnswerAndNothingElse) {
  segment seg(std::vector<knobs>{
      {"--mac", "00:1A:00:00:7F:00", "--version", "37"},
      {"--twice"},
      {"--model", "FOREIGN_"},
      {"--identify-flags", "fffe"},
      // RSP_OK is in the low flag byte: only the cut header stops it.
      {"--cut-replies", "13"},
  });
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  register_class();
  std::vector<found_device> found;
  std::map<std::string, int> seen = round_of(&found);
  EXPECT_EQ(seen, (std::map<std::string, int>{{"192.0.2.10", 1}, {"192.0.2.11", 2}}))
      << "the host's own request, foreign, unflagged and cut answers are not listed";
  const found_device* d = entry(found, "192.0.2.10");
  ASSERT_NE(d, nullptr);
  const unsigned char mac[6] = {0x00, 0x1A, 0x00, 0x00, 0x7F, 0x00};
  EXPECT_EQ(memcmp(d->mac, mac, 6), 0) << "zero bytes come back unchanged";
  EXPECT_EQ(d->rev, 37);
  EXPECT_EQ(std::string(d->name, 16), name16("SIM0"));
  for (int k = 0; k < seg.devices(); k++) {
    EXPECT_EQ(identifies(seg, k), 1) << "device " << k << ": one request per round";
    EXPECT_EQ(seg.requests(k)[0].from, "192.0.2.1:48900");
  }
  // Listening stops once as many as wanted are there.
  EXPECT_EQ(discover_devices(PORT, found, 1), 1);
  EXPECT_EQ(found.size(), 1u);
}

// A board answers more than identify requests, and a run that was killed
// leaves answers on their way to the port: every other kind of answer from
// a board's own address, signed as the board signs, lists no second board
// and overwrites nothing that identify-by-address took.
TEST_F(Discovery, OnlyAnIdentificationIsABoard) {
  auto stray = [](const char* flags, bool bare) {
    knobs k = {"--stray-to", "192.0.2.1:48900", "--stray-every", "150", "--stray-for", "30", "--stray-flags", flags,
               "--mac", "02:00:00:00:00:0A"};
    if (bare) k.push_back("--stray-bare");
    return k;
  };
  segment seg(std::vector<knobs>{
      stray("0001", true),   // a page write, the password or a MAC taken
      stray("0020", false),  // a page read back (its bytes behind the header)
      stray("0004", true),   // a refused password
      stray("0000", true),   // a refused page or programming mode
      stray("8000", true),   // programming mode entered
  });
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  register_class();
  plat::sleep_ms(100);  // the strays are on their way
  std::vector<found_device> found;
  std::map<std::string, int> seen = round_of(&found);
  std::map<std::string, int> once;
  for (int k = 0; k < seg.devices(); k++) once[seg.device_ip(k)] = 1;
  EXPECT_EQ(seen, once);
  const unsigned char mac[6] = {2, 0, 0, 0, 0, 0x0A};
  for (auto& d : found) EXPECT_EQ(memcmp(d.mac, mac, 6), 0) << d.ip;
  for (int k = 0; k < seg.devices(); k++) {
    outputs o;
    ASSERT_TRUE(get_device_name(seg.device_ip(k).c_str(), o.name, o.mac, &o.rev, PORT)) << k;
    EXPECT_EQ(memcmp(o.mac, mac, 6), 0) << k;
    EXPECT_EQ(std::string(o.name, 16), name16(("SIM" + std::to_string(k)).c_str())) << k;
  }
}

// A short answer after a long one: the bytes it does not carry are zero, not
// the long one's.
TEST_F(Discovery, ShortAnswerInheritsNothing) {
  segment seg(std::vector<knobs>{
      {"--name", "LONGDEVICENAME01", "--mac", "11:22:33:44:55:66", "--version", "99"},
      // Header and six name bytes, after the long answer.
      {"--name", "SHORT1", "--cut-replies", "20", "--reply-delay", "250"},
  });
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  register_class();
  const std::string short_name = name16("SHORT1");
  const unsigned char zero[6] = {0, 0, 0, 0, 0, 0};

  std::vector<found_device> found;
  round_of(&found);
  const found_device* s = entry(found, "192.0.2.11");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s->name, 16), short_name);
  EXPECT_EQ(memcmp(s->mac, zero, 6), 0);
  EXPECT_EQ(s->rev, 0);

  outputs o;
  ASSERT_TRUE(get_device_name(seg.device_ip(1).c_str(), o.name, o.mac, &o.rev, PORT));
  EXPECT_EQ(std::string(o.name, 17), short_name + '\0');
  EXPECT_EQ(memcmp(o.mac, zero, 6), 0);
  EXPECT_EQ(o.mac[6], '#') << "six bytes, no NUL";
  EXPECT_EQ(o.rev, 0);

  ASSERT_TRUE(get_device_name(seg.device_ip(0).c_str(), o.name, o.mac, &o.rev, PORT));
  EXPECT_EQ(std::string(o.name, 17), name16("LONGDEVICENAME01") + '\0');
  const unsigned char mac0[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  EXPECT_EQ(memcmp(o.mac, mac0, 6), 0);
  EXPECT_EQ(o.rev, 99);
}

// A bench PC: the default route leaves elsewhere, devices sit on two ports.
TEST_F(Discovery, FindsDevicesBehindEveryInterfaceWithoutADefaultRoute) {
  segment seg(3);
  seg.second_bridge_from(1);
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  register_class();
  EXPECT_EQ(round_of(), (std::map<std::string, int>{{"192.0.2.10", 1}, {"198.51.100.11", 1}, {"198.51.100.12", 1}}));
  for (int k = 0; k < seg.devices(); k++) EXPECT_EQ(identifies(seg, k), 1) << "device " << k;
}

// The chooser after a real round: rows by address text, Enter and the Select
// button take the focus row, Esc and the close box take nothing.
TEST_F(Chooser, PicksByEnterAndSelectAndGivesUpOnEscAndClose) {
  segment seg(std::vector<knobs>{
      {"--name", "GATE-01", "--mac", "00:1A:00:00:7F:00", "--version", "12"},
      {"--name", "PUMP-STATION-7", "--model", "WIBQE715", "--version", "21"},
      {"--name", "Котельная-2", "--model", "HYFRO529", "--version", "30"},
      {"--name", "METER-B", "--twice", "--version", "105"},
  });
  START_SEGMENT_OR_SKIP(seg);
  host_scope host(seg);
  register_class();
  outputs o;

  // Enter on the first row.
  {
    spy s(3, [&] {
      if (const char* png = std::getenv("VESKOR_CHOOSER_PNG")) {
        const char* bmp = "/tmp/veskor-chooser.bmp";
        if (plat::save_client(THWND, bmp)) {
          EXPECT_EQ(std::system((std::string("convert ") + bmp + " " + png).c_str()), 0);
        }
        std::remove(bmp);
      }
      plat::inject_key(THWND, VK_RETURN, true);
      plat::inject_key(THWND, VK_RETURN, false);
    });
    ASSERT_EQ(o.find(), 0);
  }
  EXPECT_EQ(std::string(o.ip, 17), padded("192.0.2.10", 16) + '\0');
  EXPECT_EQ(std::string(o.name, 17), name16("GATE-01") + '\0');
  const unsigned char mac0[7] = {0x00, 0x1A, 0x00, 0x00, 0x7F, 0x00, 0x00};
  EXPECT_EQ(memcmp(o.mac, mac0, 7), 0) << "six bytes unchanged and a NUL";
  EXPECT_EQ(o.rev, 12);

  // A click on the third row, then Select.
  o.clear();
  {
    spy s(2, [&] {
      click(THWND, 60, row_y(2));
      click(THWND, 200, 186);
    });
    ASSERT_EQ(o.find(), 0);
  }
  EXPECT_EQ(std::string(o.ip, 17), padded("192.0.2.12", 16) + '\0');
  EXPECT_EQ(std::string(o.name, 17), name16("Котельная-2") + '\0');
  EXPECT_EQ(o.rev, 30);

  for (int how = 0; how < 2; how++) {
    o.clear();
    spy s(2, [&] {
      if (how == 0) {
        plat::inject_key(THWND, VK_ESCAPE, true);
        plat::inject_key(THWND, VK_ESCAPE, false);
      } else {
        plat::inject_close(THWND);
      }
    });
    EXPECT_EQ(o.find(), 2) << how;
    EXPECT_TRUE(o.untouched()) << how;
  }
  EXPECT_EQ(THWND, nullptr) << "the chooser's window is gone";
  for (int k = 0; k < seg.devices(); k++) EXPECT_EQ(identifies(seg, k), 4) << "one request per round";
}

// Without a network: the rows are in the text order of the addresses.
TEST_F(Chooser, OrdersAddressesAsText) {
  register_class();
  std::unique_ptr<_mbase> base(new _mbase("dhcpdev", "s16 s16 s48 c s6", 100, 0));
  tdbquery q(base.get());
  const char* ips[] = {"192.168.0.9", "192.168.0.10", "192.168.0.100"};
  for (int i = 0; i < 3; i++) {
    ASSERT_GE(q.append(), 0);
    q.set_string(ips[i], 1);
    q.set_char((char)i, 3);
  }
  outputs o;
  set_key(13, nullptr, 0, 0, 0);
  EXPECT_EQ(choose_device(q, o.ip, o.name, o.mac, &o.rev), 0);
  EXPECT_EQ(std::string(o.ip), padded("192.168.0.10", 16));
  EXPECT_EQ(o.rev, 1);
  std::vector<std::string> order;
  for (int i = 0; i < q.size(); i++) order.push_back(q.get_string(1, i));
  EXPECT_EQ(order, (std::vector<std::string>{padded("192.168.0.10", 16), padded("192.168.0.100", 16),
                                             padded("192.168.0.9", 16)}));
}

}  // namespace
