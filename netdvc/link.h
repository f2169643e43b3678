// What the device operations share: the link of one operation, the exchange
// and the budgeted repetition of a sequence of exchanges.
#pragma once

#include <cstdint>

#include "bcp/wait.h"
#include "netdvc/records.h"
#include "platform/platform.h"

class tlink {
 public:
  int SOCK = -1;
  uint32_t DEST = 0;
  uint16_t PORT = 0;
  _wait* BUSY = nullptr;
  union {
    device_respond_t REPLY;
    unsigned char RAW[sizeof(device_respond_t)];
  };
  int GOT = -1;  // bytes of the last reply, -1 for none (also for one cut inside its header)
  // Tick of the last reply from a device of the model table, whatever it
  // said: the sign that the device is still there.
  uint32_t HEARD = 0;

  tlink();
  ~tlink();
  tlink(const tlink&) = delete;
  tlink& operator=(const tlink&) = delete;

  // Opens the link to ip (a dotted address; anything else fails before a
  // socket exists) with the given receive time-out.
  bool open(const char* ip, uint16_t port, unsigned sock_timeout);

  // One exchange up to the receive: send len bytes of rec, clear the reply,
  // pause, receive. False when sending failed (nothing is received then).
  bool ask(const void* rec, int len, unsigned pause_ms);
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
// send; a pass that has begun always runs to its end.
template <class Pass>
bool run_budget(unsigned budget_ms, Pass pass) {
  uint32_t start = plat::tick();
  for (;;) {
    if (pass()) return true;
    if (!((uint32_t)(plat::tick() - start) < budget_ms)) return false;
  }
}
