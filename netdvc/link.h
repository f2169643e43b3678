// What the device operations share: the link of one operation, the exchange
// and the budgeted repetition of a sequence of exchanges.
#pragma once

#include <cstdint>

#include "bcp/wait.h"
#include "netdvc/records.h"
#include "platform/net.h"
#include "platform/platform.h"

// How long the link must be quiet after a failed exchange before the next
// request: longer than any answer of a board that is late but alive.
constexpr unsigned QUIET_MS = 150;

class tlink {
 public:
  int SOCK = -1;
  uint32_t DEST = 0;
  uint16_t PORT = 0;
  unsigned TIMEOUT = 0;  // of one receive, in ms
  _wait* BUSY = nullptr;
  union {
    device_respond_t REPLY;
    unsigned char RAW[sizeof(device_respond_t)];
  };
  int GOT = -1;  // bytes of the last reply, -1 for none (also for one cut inside its header)
  // The last exchange's request went out: until the link has been quiet,
  // its answer may still be on the way.
  bool SENT = false;
  // The signature the board signs with, once known (burning), and the tick
  // of the last datagram from the board that carried it: the sign that the
  // board is still there.
  char OWN[SIGNATURE_SIZE + 1] = {};
  uint32_t HEARD = 0;

  tlink();
  ~tlink();
  tlink(const tlink&) = delete;
  tlink& operator=(const tlink&) = delete;

  // Opens the link to ip (a dotted address; anything else fails before a
  // socket exists) with the given receive time-out.
  bool open(const char* ip, uint16_t port, unsigned sock_timeout);

  // Whether a datagram from addr can be an answer: only the address asked,
  // anyone for the broadcast address.
  bool from_device(uint32_t addr) const { return DEST == plat::IPV4_BROADCAST || addr == DEST; }

  // One exchange up to the receive: clear the reply, send len bytes of rec,
  // pause, receive. False when sending failed (nothing is received then).
  bool ask(const void* rec, int len, unsigned pause_ms);
  // Receives the device's next datagram into the reply, waiting at most
  // wait_ms; other hosts' datagrams are skipped without ending the wait.
  // Its length, or -1.
  int receive(unsigned wait_ms);
  // After a failed exchange: throws away whatever the device still sends
  // until it has been quiet for QUIET_MS, or bound_ms have passed, so that
  // no late answer is read as the answer to the next request. Nothing to do
  // when the request never went out.
  void settle(uint32_t bound_ms);
  // From now on, datagrams from the device signed sig count as signs of life.
  void own_signature(const char* sig);
  // The reply carries flag and a model signature.
  bool answered(uint16_t flag) const;
  // The password answer: true to go on; a refusal shows the message.
  bool password_accepted(bool extra_signature);
};

// The request records, cleared and signed.
void make_request(host_request& r, uint16_t flags);
void make_data(host_data& d, uint16_t flags, uint32_t page);

// The identify step every operation but discovery begins with.
bool identify(tlink& link, unsigned pause_ms);
// The password step: 526 bytes carrying DEV_PASS.
bool present_password(tlink& link, bool extra_signature);

// Repeats pass until it succeeds or budget_ms have passed since the first
// send; a pass that has begun always runs to its end. Between passes the
// link settles, within what is left of the budget.
template <class Pass>
bool run_budget(tlink& link, unsigned budget_ms, Pass pass) {
  uint32_t start = plat::tick();
  for (;;) {
    if (pass()) return true;
    uint32_t spent = plat::tick() - start;
    if (!(spent < budget_ms)) return false;
    link.settle(budget_ms - spent);
    if (!((uint32_t)(plat::tick() - start) < budget_ms)) return false;
  }
}
