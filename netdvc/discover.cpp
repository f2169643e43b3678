// Finding devices: one identify request to the whole bench, and identifying
// the one device at an address typed by hand.
#include <cstdio>
#include <cstring>
#include <memory>

#include "class/class.h"
#include "netdvc/link.h"
#include "netdvc/netdvc.h"
#include "platform/net.h"
#include "platform/platform.h"

namespace {

// Long enough for every device's answer to queue up in the socket.
constexpr unsigned IDENTIFY_PAUSE_MS = 400;
// The receive time-out: this long without any datagram ends the listening.
constexpr unsigned SILENCE_MS = 100;
// ... and this long after the request at the latest: a host that sends
// something every 50 ms must not keep the tool listening for ever.
constexpr unsigned LISTEN_MS = 2000;

// The identify request to the broadcast address of every interface that
// can broadcast, each by its own interface, from the one socket: a bench
// port without the default route would never see a datagram sent to
// 255.255.255.255. Without such an interface the limited broadcast goes out
// as routed. True when at least one request left.
bool broadcast_identify(tlink& link) {
  host_request r;
  make_request(r, REQ_IDENTIFY);
  const int len = (int)sizeof r;
  std::vector<plat::broadcast_if> ifs = plat::broadcast_interfaces();
  if (ifs.empty()) return plat::udp_send(link.SOCK, &r, sizeof r, plat::IPV4_BROADCAST, link.PORT) == len;
  bool sent = false;
  for (const plat::broadcast_if& i : ifs)
    if (plat::udp_send_via(link.SOCK, &r, sizeof r, i.broadcast, link.PORT, i.index, i.addr) == len) sent = true;
  return sent;
}

// Receives until SILENCE_MS pass without a datagram from whoever may answer
// (anyone for discovery, the address asked otherwise), or LISTEN_MS after
// sent_at, and hands every valid identification answer (with its sender) to
// take; take returns false to stop listening.
template <class Take>
void collect_answers(tlink& link, uint32_t sent_at, Take take) {
  uint32_t since = plat::tick();
  for (;;) {
    uint32_t now = plat::tick();
    uint32_t listened = now - sent_at, waited = now - since;
    if (listened >= LISTEN_MS || waited >= SILENCE_MS) return;
    uint32_t wait = SILENCE_MS - waited < LISTEN_MS - listened ? SILENCE_MS - waited : LISTEN_MS - listened;
    // Cleared before every datagram: bytes a short answer does not carry
    // read as zero, never as the name or MAC of a longer one before it.
    std::memset(link.RAW, 0, sizeof link.RAW);
    uint32_t from = 0;
    int got = plat::udp_recv_within(link.SOCK, link.RAW, sizeof link.RAW, &from, nullptr, wait);
    // Another host's datagram is skipped; the receive goes on for the rest
    // of its time.
    if (got < 0 || !link.from_device(from)) continue;
    since = plat::tick();
    // An empty datagram is a datagram all the same, and one cut inside its
    // header cannot say what it answers: both are skipped, neither ends the
    // listening.
    if (got < REPLY_HEADER_SIZE || !link.answered(RSP_OK)) continue;
    if (!take(from)) return;
  }
}

}  // namespace

int discover_devices(uint16_t port, std::vector<found_device>& found, size_t max) {
  found.clear();
  tlink link;
  if (!link.open("255.255.255.255", port, SILENCE_MS)) return -1;
  uint32_t sent_at = plat::tick();
  if (!broadcast_identify(link)) return -1;
  plat::sleep_ms(IDENTIFY_PAUSE_MS);
  if (max == 0) return 0;
  collect_answers(link, sent_at, [&](uint32_t from) {
    const uint8_t* p = link.REPLY.data;
    found_device d;
    plat::format_ipv4(from, d.ip);
    std::memcpy(d.name, p + IDENT_NAME_OFFSET, IDENT_NAME_SIZE);
    d.rev = p[IDENT_REV_OFFSET];
    std::memcpy(d.mac, p + IDENT_MAC_OFFSET, 6);
    found.push_back(d);
    return found.size() < max;
  });
  return (int)found.size();
}

int find_dhcp_devices(char* ip, char* name, unsigned char* mac, unsigned char* rev, uint16_t port) {
  std::vector<found_device> found;
  // More than the record base can hold would only be thrown away.
  if (discover_devices(port, found, DB_MAX_RECORDS) <= 0) return 1;
  // The memory base is half a megabyte: not for the caller's stack.
  std::unique_ptr<_mbase> base(new _mbase("dhcpdev", "s16 s16 s48 c s6", 100, 0));
  tdbquery DHCP(base.get());
  for (const found_device& d : found) {
    // A full base gives no new record: the fields would be written over
    // the current one.
    if (DHCP.append() < 0) break;
    char text[16];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", d.mac[0], d.mac[1], d.mac[2], d.mac[3],
                  d.mac[4], d.mac[5]);
    DHCP.set_binary(d.name, 0);
    DHCP.set_string(d.ip, 1);
    DHCP.set_string(text, 2);
    DHCP.set_char((char)d.rev, 3);
    DHCP.set_binary(d.mac, 4);
  }
  if (DHCP.size() == 0) return 1;
  return choose_device(DHCP, ip, name, mac, rev);
}

bool get_device_name(const char* ip, char* name, unsigned char* mac, unsigned char* rev, uint16_t port) {
  tlink link;
  if (!link.open(ip, port, SILENCE_MS)) return false;
  host_request r;
  make_request(r, REQ_IDENTIFY);
  uint32_t sent_at = plat::tick();
  if (plat::udp_send(link.SOCK, &r, sizeof r, link.DEST, link.PORT) != (int)sizeof r) return false;
  plat::sleep_ms(IDENTIFY_PAUSE_MS);
  // Only the address asked is heard, and a later answer wins.
  bool found = false;
  collect_answers(link, sent_at, [&](uint32_t) {
    const uint8_t* p = link.REPLY.data;
    std::memcpy(name, p + IDENT_NAME_OFFSET, IDENT_NAME_SIZE);
    name[IDENT_NAME_SIZE] = '\0';
    *rev = p[IDENT_REV_OFFSET];
    std::memcpy(mac, p + IDENT_MAC_OFFSET, 6);
    found = true;
    return true;
  });
  return found;
}
