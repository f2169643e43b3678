// UDP over IPv4 on POSIX sockets.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
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

namespace {

// One datagram without waiting, with its sender.
ssize_t recv_now(int s, void* buf, size_t n, uint32_t* from_addr, uint16_t* from_port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  ssize_t r = recvfrom(s, buf, n, MSG_DONTWAIT, (sockaddr*)&sa, &len);
  if (r < 0) return -1;
  if (from_addr) *from_addr = ntohl(sa.sin_addr.s_addr);
  if (from_port) *from_port = ntohs(sa.sin_port);
  return r;
}

}  // namespace

int udp_recv_within(int s, void* buf, size_t n, uint32_t* from_addr, uint16_t* from_port, unsigned ms) {
  pollfd p = {s, POLLIN, 0};
  if (poll(&p, 1, (int)ms) <= 0) return -1;
  return (int)recv_now(s, buf, n, from_addr, from_port);
}

int udp_recv_now(int s, void* buf, size_t n, uint32_t* from_addr, bool* empty) {
  ssize_t r = recv_now(s, buf, n, from_addr, nullptr);
  *empty = r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  return (int)r;
}

bool udp_readable(int s, unsigned ms) {
  pollfd p = {s, POLLIN, 0};
  return poll(&p, 1, (int)ms) > 0 && (p.revents & POLLIN);
}

bool udp_port_busy(uint16_t port) {
  int s = udp_open();
  if (s < 0) return false;
  sockaddr_in sa = make_addr(INADDR_ANY, port);
  bool busy = bind(s, (const sockaddr*)&sa, sizeof sa) != 0 && errno == EADDRINUSE;
  close(s);
  return busy;
}

int udp_send_via(int s, const void* buf, size_t n, uint32_t addr, uint16_t port, unsigned ifindex,
                 uint32_t src) {
  if (ifindex == 0) return udp_send(s, buf, n, addr, port);
  sockaddr_in sa = make_addr(addr, port);
  iovec iov;
  iov.iov_base = const_cast<void*>(buf);
  iov.iov_len = n;
  // The interface is named with the datagram itself: the socket stays bound
  // to the wildcard address, so the answers of every interface reach it.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  memset(control, 0, sizeof control);
  msghdr m;
  memset(&m, 0, sizeof m);
  m.msg_name = &sa;
  m.msg_namelen = sizeof sa;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info;
  memset(&info, 0, sizeof info);
  info.ipi_ifindex = (int)ifindex;
  info.ipi_spec_dst.s_addr = htonl(src);
  memcpy(CMSG_DATA(c), &info, sizeof info);
  ssize_t r = sendmsg(s, &m, 0);
  return r < 0 ? -1 : (int)r;
}

std::vector<broadcast_if> broadcast_interfaces() {
  std::vector<broadcast_if> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  std::vector<std::string> names;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
    unsigned flags = a->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK)) continue;
    uint32_t addr = ntohl(((const sockaddr_in*)a->ifa_addr)->sin_addr.s_addr);
    uint32_t broadcast = 0;
    if (a->ifa_broadaddr && a->ifa_broadaddr->sa_family == AF_INET)
      broadcast = ntohl(((const sockaddr_in*)a->ifa_broadaddr)->sin_addr.s_addr);
    // An address put on by hand ("ip addr add 192.168.0.1/24 dev eth1")
    // names no broadcast address (the C library then reports the address
    // itself), yet the kernel routes the subnet's one out of that interface
    // all the same.
    if (broadcast == addr) broadcast = 0;
    if (broadcast == 0 && a->ifa_netmask && a->ifa_netmask->sa_family == AF_INET) {
      uint32_t mask = ntohl(((const sockaddr_in*)a->ifa_netmask)->sin_addr.s_addr);
      if (mask != 0 && ~mask > 1) broadcast = addr | ~mask;  // /31 and /32 have none
    }
    if (broadcast == 0) continue;
    // A second address of an interface carries a label such as "eth0:1";
    // the interface is the part before the colon, and it gets one request.
    std::string name = a->ifa_name;
    name = name.substr(0, name.find(':'));
    bool seen = false;
    for (const auto& n : names) seen = seen || n == name;
    if (seen) continue;
    names.push_back(name);
    broadcast_if i;
    i.index = if_nametoindex(name.c_str());
    i.addr = addr;
    i.broadcast = broadcast;
    out.push_back(i);
  }
  freeifaddrs(list);
  return out;
}

void udp_drain(int s) {
  char buf[1];
  for (int i = 0; i < 4096; i++)
    if (recv(s, buf, sizeof buf, MSG_DONTWAIT) < 0) return;
}

bool udp_set_receive_buffer(int s, int bytes) {
  return setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

void udp_wake(int s) {
  // On a UDP socket shutdown() only marks the receiving side finished, and
  // that is what wakes a poll() waiting on it.
  shutdown(s, SHUT_RD);
}

unsigned interface_index(const char* name) { return name ? if_nametoindex(name) : 0; }

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
