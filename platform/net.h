// UDP over IPv4 for the device link: the only code that sees socket headers.
//
// Addresses are IPv4 numbers in host byte order (192.0.2.1 is 0xC0000201);
// ports are host order too. Sockets are plain descriptors, -1 meaning none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plat {

constexpr uint32_t IPV4_BROADCAST = 0xFFFFFFFFu;  // 255.255.255.255

// A new UDP socket, or -1.
int udp_open();
// Binds to the wildcard address on port. No address reuse: a port that
// another socket holds makes this fail, which is what the link relies on.
bool udp_bind(int s, uint16_t port);
// Receive time-out in milliseconds (0 waits for ever).
bool udp_set_timeout(int s, unsigned ms);
bool udp_set_broadcast(int s);
// Bytes sent, or -1.
int udp_send(int s, const void* buf, size_t n, uint32_t addr, uint16_t port);
// Bytes received (a datagram longer than n is cut to n), or -1 on time-out or
// error. The sender's address and port go to from_addr / from_port when given.
int udp_recv(int s, void* buf, size_t n, uint32_t* from_addr, uint16_t* from_port);
// The same without the socket's time-out: waits at most ms (0: takes only a
// datagram already waiting). -1 when none came in time, on an error, or when
// a signal cut the wait short.
int udp_recv_within(int s, void* buf, size_t n, uint32_t* from_addr, uint16_t* from_port, unsigned ms);
// One datagram the socket holds now, without waiting: its length, or -1
// with empty set when the socket holds none (and clear for an error the
// socket reported instead, which the call has taken off it).
int udp_recv_now(int s, void* buf, size_t n, uint32_t* from_addr, bool* empty);
// Whether a datagram (an empty one too) is waiting, waiting at most ms for
// one (0: only looks).
bool udp_readable(int s, unsigned ms);
// Whether another socket holds port: binding the wildcard address on it
// fails with EADDRINUSE.
bool udp_port_busy(uint16_t port);
// Sends like udp_send, leaving by the interface with index ifindex whatever
// the routes say, from its address src (ifindex 0: as routed).
int udp_send_via(int s, const void* buf, size_t n, uint32_t addr, uint16_t port, unsigned ifindex,
                 uint32_t src);
// Throws away every datagram already waiting, without waiting for more.
void udp_drain(int s);
// Asks for a receive buffer of at least bytes (the system may cap it).
bool udp_set_receive_buffer(int s, int bytes);
// Ends the socket's receiving: a thread waiting on it in udp_recv_within
// returns at once, and every later receive returns at once too.
void udp_wake(int s);
void udp_close(int s);

// An IPv4 interface that can broadcast: its index, its address and that
// address's broadcast address.
struct broadcast_if {
  unsigned index;
  uint32_t addr;
  uint32_t broadcast;
};
// Every IPv4 interface that is up, has a broadcast address and is not a
// loopback, once each (by the first of its addresses), in the order the
// system lists them. Empty when there is none or the list cannot be read.
std::vector<broadcast_if> broadcast_interfaces();
// The index of the interface called name ("eth1"), 0 when there is none.
unsigned interface_index(const char* name);

// Strict dotted quad: four decimal octets 0..255 without leading zeros,
// optionally followed by blanks (discovery pads addresses to 16 characters).
// Anything else is refused and *out is left alone.
bool parse_ipv4(const char* text, uint32_t* out);
// "%d.%d.%d.%d" into out, which holds at least 16 bytes.
void format_ipv4(uint32_t addr, char* out);

}  // namespace plat
