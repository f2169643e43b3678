#include "netdvc/discovery.h"

#include <algorithm>
#include <cstring>

#include "platform/net.h"
#include "platform/base.h"

namespace {

// Long enough for every board's answer to arrive.
constexpr unsigned IDENTIFY_PAUSE_MS = 400;
// This long without any datagram ends the listening ...
constexpr uint32_t SILENCE_MS = 100;
// ... and this long after the request at the latest: a host that sends
// something every 50 ms must not keep the tool listening for ever.
constexpr uint32_t LISTEN_MS = 2000;

}  // namespace

int discover_round(loader_link& link, std::vector<found_device>& found, size_t max, const char* only) {
  found.clear();
  // Listening before asking: the first answers may come at once.
  loader_mailbox box(link, loader_link::ANYONE);
  host_request r;
  std::memset(&r, 0, sizeof r);
  r.flags = REQ_IDENTIFY;
  std::memcpy(r.signature, LOADER_SIGNATURE, SIGNATURE_SIZE);
  uint32_t sent_at = plat::tick();
  if (!link.broadcast(&r, sizeof r, only)) return -1;
  plat::sleep_ms(IDENTIFY_PAUSE_MS);
  if (max == 0) return 0;
  uint32_t since = plat::tick();
  datagram d;
  while (found.size() < max) {
    uint32_t now = plat::tick();
    uint32_t listened = now - sent_at, waited = now - since;
    if (listened >= LISTEN_MS || waited >= SILENCE_MS) break;
    if (!box.take(d, std::min(SILENCE_MS - waited, LISTEN_MS - listened))) continue;
    since = plat::tick();
    // Anything but an identification is skipped without ending the
    // listening: an empty datagram, one cut inside its header, the request
    // itself come back signed "KvelLoad", and the late answers a killed run
    // left on their way to this port.
    if (!is_identification(d.reply, d.len)) continue;
    found_device f;
    std::memset(&f, 0, sizeof f);
    plat::format_ipv4(d.from, f.ip);
    std::memcpy(f.name, d.reply.data + IDENT_NAME_OFFSET, IDENT_NAME_SIZE);
    f.rev = d.reply.data[IDENT_REV_OFFSET];
    std::memcpy(f.mac, d.reply.data + IDENT_MAC_OFFSET, 6);
    found.push_back(f);
  }
  return (int)found.size();
}
