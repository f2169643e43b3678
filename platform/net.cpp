// UDP over IPv4 on POSIX sockets.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {

static sockaddr_in make_addr(uint32_t addr, uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  return sa;
}

int udp_open() {
  // Close-on-exec: a dialog helper started while a link is open must not
  // inherit the socket and keep the port busy after the link closes.
  return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

bool udp_bind(int s, uint16_t port) {
  sockaddr_in sa = make_addr(INADDR_ANY, port);
  return bind(s, (const sockaddr*)&sa, sizeof sa) == 0;
}

bool udp_set_timeout(int s, unsigned ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool udp_set_broadcast(int s) {
  int on = 1;
  return setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

int udp_send(int s, const void* buf, size_t n, uint32_t addr, uint16_t port) {
  sockaddr_in sa = make_addr(addr, port);
  ssize_t r = sendto(s, buf, n, 0, (const sockaddr*)&sa, sizeof sa);
  return r < 0 ? -1 : (int)r;
}

int udp_recv(int s, void* buf, size_t n, uint32_t* from_addr, uint16_t* from_port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  ssize_t r = recvfrom(s, buf, n, 0, (sockaddr*)&sa, &len);
  if (r < 0) return -1;
  if (from_addr) *from_addr = ntohl(sa.sin_addr.s_addr);
  if (from_port) *from_port = ntohs(sa.sin_port);
  return (int)r;
}

void udp_drain(int s) {
  char buf[1];
  for (int i = 0; i < 4096; i++)
    if (recv(s, buf, sizeof buf, MSG_DONTWAIT) < 0) return;
}

void udp_close(int s) {
  if (s >= 0) close(s);
}

bool parse_ipv4(const char* text, uint32_t* out) {
  if (!text) return false;
  const char* p = text;
  uint32_t addr = 0;
  for (int part = 0; part < 4; part++) {
    if (part > 0) {
      if (*p != '.') return false;
      p++;
    }
    if (*p < '0' || *p > '9') return false;
    // A leading zero would read as octal elsewhere; refuse rather than guess.
    if (*p == '0' && p[1] >= '0' && p[1] <= '9') return false;
    unsigned v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      if (++digits > 3) return false;
      v = v * 10 + (unsigned)(*p - '0');
      p++;
    }
    if (v > 255) return false;
    addr = (addr << 8) | v;
  }
  while (*p == ' ') p++;
  if (*p != '\0') return false;
  *out = addr;
  return true;
}

void format_ipv4(uint32_t addr, char* out) {
  snprintf(out, 16, "%u.%u.%u.%u", (unsigned)(addr >> 24), (unsigned)((addr >> 16) & 255),
           (unsigned)((addr >> 8) & 255), (unsigned)(addr & 255));
}

}  // namespace plat
