// A private Ethernet segment for device tests, built from network namespaces.
//
//   bridge namespace  <name>-br : bridge br0, one veth port per member
//   host namespace    <name>-h  : eth0 192.0.2.1/24, default route on eth0
//   device namespaces <name>-dK : eth0 192.0.2.(10+K)/24, loadersim on 48900
//
// With second_bridge_from(F), devices F and later sit on a second bridge br1
// as 198.51.100.(10+K)/24, the host joins it as eth1 198.51.100.1/24, and the
// host has a default route on neither: a bench PC whose default route
// leaves by another interface.
//
// <name> is "vsk<pid>-<serial>", so tests may run in parallel. Everything is
// removed by teardown() or the destructor, and also when the process is
// killed by a signal it can catch; namespaces left behind by a process that
// died anyway are swept when the next segment starts.
//
// The test's own code runs in the host namespace: enter_host() (or a
// host_scope) moves the calling thread there with setns(), so every socket
// made afterwards lives on the segment; nothing is sent from the namespace
// the test started in. Processes forked while inside inherit the namespace.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace devtest {

// loadersim options of one device, e.g. {"--model", "WIBQE715", "--twice"}.
using knobs = std::vector<std::string>;

// One line of a simulator's request log.
struct request_entry {
  uint32_t ms = 0;       // monotonic milliseconds (the same clock as plat::tick)
  std::string from;      // "192.0.2.1:48900"
  int len = 0;
  int flags = -1;        // -1 when the datagram was too short to hold them
  long page = -1;        // -1 likewise
  std::string mac;       // "AA:BB:CC:DD:EE:FF" for set-MAC requests
  std::string outcome;   // answered refused ignored dropped silent dead died
};

class segment {
 public:
  // devices simulators, each started with common knobs; or one list per device.
  explicit segment(int devices, const knobs& common = {});
  explicit segment(const std::vector<knobs>& per_device);
  ~segment();
  segment(const segment&) = delete;
  segment& operator=(const segment&) = delete;

  // False, with the reason, where segments cannot be built (not root, no
  // `ip`, no loadersim binary).
  static bool supported(std::string* why);
  // Builds the namespaces and links and starts every simulator, waiting until
  // each one listens. False with error() on any failure (half-built parts are
  // removed again).
  bool start();
  const std::string& error() const { return error_; }
  // Stops the simulators, leaves the host namespace and deletes every
  // namespace; idempotent. State directories are removed unless the current
  // test has failed or VESKOR_KEEP_SEGMENT is set.
  void teardown();

  // Before start(): devices from k on go to the second bridge.
  void second_bridge_from(int k) { second_from_ = k; }
  bool on_second_bridge(int k) const { return second_from_ >= 0 && k >= second_from_; }

  int devices() const { return (int)knobs_.size(); }
  static const char* host_ip() { return "192.0.2.1"; }
  static uint32_t host_addr() { return 0xC0000201u; }
  std::string device_ip(int k) const;
  uint32_t device_addr(int k) const {
    return (on_second_bridge(k) ? 0xC633640Au : 0xC000020Au) + (uint32_t)k;
  }
  const std::string& name() const { return name_; }
  std::string host_netns() const { return name_ + "-h"; }
  std::string bridge_netns() const { return name_ + "-br"; }
  std::string device_netns(int k) const { return name_ + "-d" + std::to_string(k); }
  const std::string& state_dir(int k) const { return state_dirs_[k]; }
  pid_t device_pid(int k) const { return pids_[k]; }

  // Moves the calling thread into the host namespace / back to where it was.
  bool enter_host();
  bool leave_host();
  bool in_host() const { return in_host_; }

  // SIGTERM to device k's simulator; true when it exited with status 0.
  bool stop_device(int k);
  // (Re)starts device k's simulator with new knobs; its state directory, and
  // so its memories, stay. The request log starts afresh.
  bool start_device(int k, const knobs& args);
  bool device_running(int k);

  std::vector<uint8_t> memory(int k) const;
  std::vector<uint8_t> sp_memory(int k) const;
  std::vector<request_entry> requests(int k) const;
  // What the simulator wrote on stdout and stderr.
  std::string device_output(int k) const;

  // Starts a program in the host namespace (stdout and stderr to output_path
  // when given, else inherited). The child gets SIGTERM if this process dies.
  pid_t spawn_in_host(const std::vector<std::string>& argv, const std::string& output_path = "");
  // Waits for a child up to timeout_ms; its exit status, 128+signal when
  // killed, or -1 when it is still running.
  static int wait_exit(pid_t pid, int timeout_ms);

  // Deletes namespaces named vsk<pid>-... whose process is gone, killing what
  // still runs inside them. Returns how many were deleted.
  static int sweep();

  // Called from the fatal-signal handler: no allocation, no locks.
  void emergency_cleanup();

 private:
  bool fail(const std::string& what);
  bool run_ip(const std::vector<std::string>& args);
  bool add_member(const std::string& ns, const std::string& port, const char* cidr,
                  bool default_route, const char* bridge = "br0", const char* ifname = "eth0");

  std::string name_;
  std::vector<knobs> knobs_;
  std::vector<std::string> state_dirs_;
  std::string root_dir_;
  std::vector<std::string> ns_paths_;  // /run/netns/..., in creation order
  std::vector<pid_t> pids_;
  std::string error_;
  int origin_fd_ = -1;
  int host_fd_ = -1;
  bool in_host_ = false;
  bool started_ = false;
  pid_t owner_ = 0;
  int second_from_ = -1;
};

// The calling thread inside seg's host namespace for the life of the scope.
class host_scope {
 public:
  explicit host_scope(segment& seg) : seg_(seg), ok_(seg.enter_host()) {}
  ~host_scope() {
    if (ok_) seg_.leave_host();
  }
  bool ok() const { return ok_; }

 private:
  segment& seg_;
  bool ok_;
};

}  // namespace devtest

// Skips the test where segments cannot be built, fails it when building fails.
#define START_SEGMENT_OR_SKIP(seg)                                              \
  do {                                                                          \
    std::string why_unsupported_;                                               \
    if (!::devtest::segment::supported(&why_unsupported_))                      \
      GTEST_SKIP() << "device test skipped: " << why_unsupported_;             \
    ASSERT_TRUE((seg).start()) << "segment " << (seg).name() << ": " << (seg).error(); \
  } while (0)
