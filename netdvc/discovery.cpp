#include "netdvc/discovery.h"

#include <algorithm>
#include <cstring>

#include "platform/net.h"
#include "platform/base.h"

namespace {

// This long without any datagram ends the listening, and this long after
// the request at the latest.
constexpr uint32_t SILENCE_MS = 100;
constexpr uint32_t LISTEN_MS = 2000;

}  // namespace

void listen_after_identify(loader_mailbox& box, uint32_t sent_at, const std::function<bool(const datagram&)>& heard) {
  plat::sleep_ms(IDENTIFY_PAUSE_MS);
  uint32_t since = plat::tick();
  datagram d;
  for (;;) {
    uint32_t now = plat::tick();
    uint32_t listened = now - sent_at, waited = now - since;
    if (listened >= LISTEN_MS || waited >= SILENCE_MS) return;
    if (!box.take(d, std::min(SILENCE_MS - waited, LISTEN_MS - listened))) continue;
    since = plat::tick();
    if (!heard(d)) return;
  }
}

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
  if (max == 0) {
    plat::sleep_ms(IDENTIFY_PAUSE_MS);
    return 0;
  }
  listen_after_identify(box, sent_at, [&](const datagram& d) {
    // Anything but an identification is skipped without ending the
    // listening: an empty datagram, one cut inside its header, the request
    // itself come back signed "KvelLoad", and the late answers a killed run
    // left on their way to this port.
    if (!is_identification(d.reply, d.len)) return true;
    found_device f;
    std::memset(&f, 0, sizeof f);
    f.addr = d.from;
    plat::format_ipv4(d.from, f.ip);
    std::memcpy(f.name, d.reply.data + IDENT_NAME_OFFSET, IDENT_NAME_SIZE);
    f.rev = d.reply.data[IDENT_REV_OFFSET];
    std::memcpy(f.mac, d.reply.data + IDENT_MAC_OFFSET, 6);
    found.push_back(f);
    return found.size() < max;
  });
  return (int)found.size();
}
