#include "netdvc/link.h"

#include <cstring>

#include "class/class.h"
#include "netdvc/netdvc.h"
#include "platform/net.h"
#include "platform/platform.h"

char DEV_PASS[100];

tlink::tlink() { std::memset(RAW, 0, sizeof RAW); }

tlink::~tlink() {
  if (SOCK < 0) return;
  delete BUSY;
  plat::udp_close(SOCK);
}

bool tlink::open(const char* ip, uint16_t port, unsigned sock_timeout) {
  // A text that is not an address must not become the broadcast address,
  // or any device that answers would be taken for the one typed.
  if (!plat::parse_ipv4(ip, &DEST)) return false;
  PORT = port;
  TIMEOUT = sock_timeout;
  int s = plat::udp_open();
  if (s < 0) return false;
  if (!plat::udp_bind(s, port)) {
    plat::udp_close(s);
    return false;
  }
  SOCK = s;
  HEARD = plat::tick();
  BUSY = new _wait;
  plat::udp_set_timeout(SOCK, sock_timeout);
  plat::udp_set_broadcast(SOCK);
  return true;
}

bool tlink::ask(const void* rec, int len, unsigned pause_ms) {
  // Whatever arrived before the request cannot be its answer: a late or
  // doubled reply to an earlier request would otherwise be read as this one's.
  plat::udp_drain(SOCK);
  // Cleared for every exchange, also one whose request does not leave: an
  // answer taken for one step is never read again in the next.
  std::memset(RAW, 0, sizeof RAW);
  GOT = -1;
  SENT = plat::udp_send(SOCK, rec, (size_t)len, DEST, PORT) == len;
  if (!SENT) return false;
  plat::sleep_ms(pause_ms);
  GOT = receive(TIMEOUT);
  // A datagram cut inside the header cannot say what it answers: a missing
  // flag byte would read as the zero the buffer was cleared to, and the
  // byte that did come could pass for a whole answer.
  if (GOT >= 0 && GOT < REPLY_HEADER_SIZE) {
    std::memset(RAW, 0, sizeof RAW);
    GOT = -1;
  }
  if (GOT >= 0 && OWN[0] && signature_is(REPLY.signature, OWN)) HEARD = plat::tick();
  return true;
}

int tlink::receive(unsigned wait_ms) {
  uint32_t start = plat::tick();
  for (;;) {
    uint32_t spent = plat::tick() - start;
    if (spent >= wait_ms) return -1;
    std::memset(RAW, 0, sizeof RAW);
    uint32_t from = 0;
    int got = plat::udp_recv_within(SOCK, RAW, sizeof RAW, &from, nullptr, wait_ms - spent);
    if (got >= 0 && from_device(from)) return got;
  }
}

void tlink::settle(uint32_t bound_ms) {
  if (!SENT) return;
  SENT = false;
  unsigned char buf[sizeof RAW];
  uint32_t start = plat::tick(), last = start;
  for (;;) {
    uint32_t now = plat::tick();
    uint32_t quiet = now - last, spent = now - start;
    if (quiet >= QUIET_MS || spent >= bound_ms) return;
    uint32_t wait = QUIET_MS - quiet < bound_ms - spent ? QUIET_MS - quiet : bound_ms - spent;
    uint32_t from = 0;
    int got = plat::udp_recv_within(SOCK, buf, sizeof buf, &from, nullptr, wait);
    // Another host's chatter says nothing about what the device may still send.
    if (got < 0 || !from_device(from)) continue;
    last = plat::tick();
    if (got >= REPLY_HEADER_SIZE && OWN[0] && signature_is(buf, OWN)) HEARD = last;
  }
}

void tlink::own_signature(const char* sig) {
  std::memcpy(OWN, sig, SIGNATURE_SIZE);
  OWN[SIGNATURE_SIZE] = '\0';
}

bool tlink::answered(uint16_t flag) const {
  return (REPLY.flags & flag) != 0 && is_model_signature(REPLY.signature);
}

bool tlink::password_accepted(bool extra_signature) {
  bool signed_ok = is_model_signature(REPLY.signature) ||
                   (extra_signature && signature_is(REPLY.signature, EXTRA_PASSWORD_SIGNATURE));
  if (!signed_ok) return false;
  if (REPLY.flags & RSP_OK) return true;
  if (REPLY.flags & RSP_BAD_PASSWORD) message("Ошибка пароля");
  return false;
}

void make_request(host_request& r, uint16_t flags) {
  std::memset(&r, 0, sizeof r);
  r.flags = flags;
  std::memcpy(r.signature, LOADER_SIGNATURE, SIGNATURE_SIZE);
}

void make_data(host_data& d, uint16_t flags, uint32_t page) {
  std::memset(&d, 0, sizeof d);
  d.flags = flags;
  std::memcpy(d.signature, LOADER_SIGNATURE, SIGNATURE_SIZE);
  d.page_number = page;
}

bool identify(tlink& link, unsigned pause_ms) {
  host_request r;
  make_request(r, REQ_IDENTIFY);
  return link.ask(&r, sizeof r, pause_ms) && link.answered(RSP_OK);
}

bool present_password(tlink& link, bool extra_signature) {
  host_data d;
  make_data(d, REQ_PASSWORD, 0);
  std::memcpy(d.data, DEV_PASS, PASSWORD_SIZE);
  return link.ask(&d, sizeof d, 100) && link.password_accepted(extra_signature);
}

bool loader_port_busy(uint16_t port) { return plat::udp_port_busy(port); }
