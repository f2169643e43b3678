// The loader port of this process: one socket for every board, and a mailbox
// per board into which the datagrams its address sends are sorted.
//
// Every board answers to UDP port 48900 on the host, and a port is bound
// once per host: boards worked side by side must share one socket. A
// receiving thread takes every datagram off it and hands it to the mailbox
// of its sender; a datagram from a sender no mailbox is kept for goes to
// every mailbox that listens to anyone (discovery), and is dropped when
// there is none. Sessions (session.h) run
// on threads of their own and only wait on their mailboxes.
//
// No toolkit, no globals: the window tool's device calls open one of these
// per call, the command-line tool one for its whole run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "netdvc/records.h"

// One datagram as it arrived: its sender, when (tick) and its bytes, cut to
// the largest reply there is.
struct datagram {
  uint32_t from = 0;
  uint32_t at = 0;
  int len = 0;
  union {
    device_respond_t reply;
    uint8_t bytes[sizeof(device_respond_t)];
  };
  datagram() : reply() {}
};

class loader_mailbox;

class loader_link {
 public:
  // A mailbox registered for this address takes every sender's datagrams.
  static constexpr uint32_t ANYONE = 0xFFFFFFFFu;

  loader_link() = default;
  ~loader_link();
  loader_link(const loader_link&) = delete;
  loader_link& operator=(const loader_link&) = delete;

  // Binds the wildcard address on port, allows broadcast and starts
  // receiving. False when the port cannot be had (port_busy() tells whether
  // another socket holds it) or no socket could be made; nothing is sent
  // then.
  bool open(uint16_t port);
  // Stops receiving and closes the socket; idempotent.
  void close();
  bool is_open() const { return sock_ >= 0; }
  uint16_t port() const { return port_; }
  bool port_busy() const { return busy_; }

  // Sends n bytes to addr at the loader port; false when they did not leave.
  bool send(uint32_t addr, const void* data, size_t n);
  // Sends n bytes to the broadcast address of every interface that can
  // broadcast, each by its own interface (only the one named interface when
  // only is given), or to 255.255.255.255 as routed when there is none.
  // False when no copy left.
  bool broadcast(const void* data, size_t n, const char* only = nullptr);
  // Tick of the last broadcast, 0 before any. Every board on the segment
  // answers one, the boards sessions are working on too: a session keeps its
  // requests whose answer is a bare RSP_OK clear of that moment (session.h).
  uint32_t last_broadcast() const { return last_broadcast_; }
  // Returns once every datagram that had reached the socket when it was
  // called is in its mailbox (or after a few milliseconds of a flood): a
  // mailbox cleared after it holds nothing that arrived before. The
  // receiving thread may be behind on a busy machine.
  void catch_up();

 private:
  friend class loader_mailbox;
  void dispatch(const datagram& d);
  void attach(loader_mailbox* box);
  void detach(loader_mailbox* box);
  void receive_loop();

  int sock_ = -1;
  uint16_t port_ = 0;
  bool busy_ = false;
  std::atomic<bool> stopping_{false};
  // The receiving thread holds a datagram taken off the socket and not yet
  // in a mailbox.
  std::atomic<bool> in_hand_{false};
  // Counts the moments the receiving thread found the socket empty after
  // passing a datagram on: catch_up() waits for the next one instead of
  // spinning, which a line of boards answering all the time would keep
  // doing for every request of every board.
  std::mutex drained_lock_;
  std::condition_variable drained_;
  uint64_t drained_count_ = 0;
  std::atomic<uint32_t> last_broadcast_{0};
  std::thread receiver_;
  std::mutex boxes_lock_;
  std::vector<loader_mailbox*> boxes_;
};

// The datagrams of one sender (or of anyone), in order of arrival. Lives
// no longer than its link.
class loader_mailbox {
 public:
  loader_mailbox(loader_link& link, uint32_t sender);
  ~loader_mailbox();
  loader_mailbox(const loader_mailbox&) = delete;
  loader_mailbox& operator=(const loader_mailbox&) = delete;

  uint32_t sender() const { return sender_; }
  // Throws away whatever has arrived.
  void clear();
  // The next datagram, waiting at most wait_ms for one (0: only one that is
  // there already). False when none came.
  bool take(datagram& d, unsigned wait_ms);

 private:
  friend class loader_link;
  void put(const datagram& d);

  // A board that floods its address must not eat the host's memory: the
  // oldest datagrams go first.
  static constexpr size_t LIMIT = 256;

  loader_link& link_;
  uint32_t sender_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<datagram> queue_;
};
