#include "netdvc/link.h"

#include <algorithm>
#include <cstring>

#include "platform/net.h"
#include "platform/base.h"

namespace {

// Room for many boards answering at once while the receiving thread is
// busy elsewhere: 32 boards × a 526-byte page answer, many times over.
constexpr int RECEIVE_BUFFER = 1 << 20;
// How long catch_up() waits for the receiving thread at most: a flood must
// not keep a request from leaving.
constexpr uint32_t CATCH_UP_MS = 20;

}  // namespace

loader_link::~loader_link() { close(); }

bool loader_link::open(uint16_t port) {
  close();
  busy_ = false;
  int s = plat::udp_open();
  if (s < 0) return false;
  if (!plat::udp_bind(s, port)) {
    busy_ = plat::udp_port_busy(port);
    plat::udp_close(s);
    return false;
  }
  plat::udp_set_broadcast(s);
  plat::udp_set_receive_buffer(s, RECEIVE_BUFFER);
  sock_ = s;
  port_ = port;
  stopping_ = false;
  receiver_ = std::thread([this] { receive_loop(); });
  return true;
}

void loader_link::close() {
  if (sock_ < 0) return;
  stopping_ = true;
  // Wakes the receiving thread out of its wait at once: every device call
  // of the window tool opens and closes a link, and none may pay for a
  // polling interval.
  plat::udp_wake(sock_);
  if (receiver_.joinable()) receiver_.join();
  plat::udp_close(sock_);
  sock_ = -1;
}

bool loader_link::send(uint32_t addr, const void* data, size_t n) {
  return sock_ >= 0 && plat::udp_send(sock_, data, n, addr, port_) == (int)n;
}

bool loader_link::broadcast(const void* data, size_t n, const char* only) {
  if (sock_ < 0) return false;
  // Noted before the first copy leaves: its answers may come at once.
  uint32_t now = plat::tick();
  last_broadcast_ = now ? now : 1;
  std::vector<plat::broadcast_if> ifs = plat::broadcast_interfaces();
  if (only) {
    unsigned index = plat::interface_index(only);
    ifs.erase(std::remove_if(ifs.begin(), ifs.end(), [&](const plat::broadcast_if& i) { return i.index != index; }),
              ifs.end());
    // The bench's own segment was asked for: never the routed broadcast,
    // which would leave by whatever interface the routes prefer.
    if (ifs.empty()) return false;
  }
  if (ifs.empty()) return plat::udp_send(sock_, data, n, plat::IPV4_BROADCAST, port_) == (int)n;
  bool sent = false;
  for (const plat::broadcast_if& i : ifs)
    if (plat::udp_send_via(sock_, data, n, i.broadcast, port_, i.index, i.addr) == (int)n) sent = true;
  return sent;
}

void loader_link::attach(loader_mailbox* box) {
  std::lock_guard<std::mutex> hold(boxes_lock_);
  boxes_.push_back(box);
}

void loader_link::detach(loader_mailbox* box) {
  std::lock_guard<std::mutex> hold(boxes_lock_);
  boxes_.erase(std::remove(boxes_.begin(), boxes_.end(), box), boxes_.end());
}

void loader_link::receive_loop() {
  datagram d;
  while (!stopping_) {
    if (!plat::udp_readable(sock_, 1000) || stopping_) continue;
    // Everything the socket holds now, one datagram after another, and then
    // one note that it is empty: a line of boards keeps it busy, and a
    // look at it per datagram would cost as much as the datagram.
    for (;;) {
      std::memset(d.bytes, 0, sizeof d.bytes);
      uint32_t from = 0;
      bool empty = false;
      // Marked before the datagram leaves the socket: catch_up() looks at
      // the socket first, then at this.
      in_hand_ = true;
      int got = plat::udp_recv_now(sock_, d.bytes, sizeof d.bytes, &from, &empty);
      if (got < 0 || stopping_) {
        in_hand_ = false;
        if (empty || stopping_) break;
        continue;  // an error the socket reported, taken off it
      }
      d.from = from;
      d.len = got;
      d.at = plat::tick();
      dispatch(d);
      in_hand_ = false;
    }
    std::lock_guard<std::mutex> hold(drained_lock_);
    drained_count_++;
    drained_.notify_all();
  }
}

// A board being worked on answers its own session only: its page and MAC
// answers carry RSP_OK too, and a listening round must not take them for a
// new board.
void loader_link::dispatch(const datagram& d) {
  std::lock_guard<std::mutex> hold(boxes_lock_);
  bool claimed = false;
  for (loader_mailbox* box : boxes_)
    if (box->sender_ == d.from) {
      box->put(d);
      claimed = true;
    }
  if (!claimed)
    for (loader_mailbox* box : boxes_)
      if (box->sender_ == ANYONE) box->put(d);
}

void loader_link::catch_up() {
  if (sock_ < 0 || stopping_) return;
  std::unique_lock<std::mutex> hold(drained_lock_);
  uint64_t before = drained_count_;
  // The socket is looked at before the datagram in hand, as the receiving
  // thread marks one in hand before it leaves the socket. Once the socket
  // has been found empty after this look, everything that was in it has
  // reached its mailbox.
  if (!plat::udp_readable(sock_, 0) && !in_hand_) return;
  drained_.wait_for(hold, std::chrono::milliseconds(CATCH_UP_MS),
                    [&] { return drained_count_ != before || stopping_; });
}

loader_mailbox::loader_mailbox(loader_link& link, uint32_t sender) : link_(link), sender_(sender) {
  link_.attach(this);
}

loader_mailbox::~loader_mailbox() { link_.detach(this); }

void loader_mailbox::clear() {
  std::lock_guard<std::mutex> hold(lock_);
  queue_.clear();
}

bool loader_mailbox::take(datagram& d, unsigned wait_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  if (queue_.empty() && wait_ms > 0)
    arrived_.wait_for(hold, std::chrono::milliseconds(wait_ms), [this] { return !queue_.empty(); });
  if (queue_.empty()) return false;
  d = queue_.front();
  queue_.pop_front();
  return true;
}

void loader_mailbox::put(const datagram& d) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (queue_.size() >= LIMIT) queue_.pop_front();
    queue_.push_back(d);
  }
  arrived_.notify_all();
}
