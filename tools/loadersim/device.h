// The simulated loader: what one device does with one datagram.
//
// Kept apart from sockets and files so that the rules of the device stand in
// one place; main.cpp feeds it datagrams and sends back what it answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int SIM_MEMORY_SIZE = 131072;

struct sim_config {
  char model[8];
  uint8_t name[16];
  uint8_t version = 12;
  uint8_t mac[6];
  char password[16];
  int page_size = 0;  // 0: by model
  double drop_percent = 0;
  int drop_first_pages = 0;  // the first N page requests (write or read) go unanswered
  uint32_t seed = 1;
  bool twice = false;
  double duplicate_percent = 0;  // a share of the answers sent twice
  int corrupt_reads = 0;
  int short_reads = 0;  // read-backs carrying only the first half of the page
  int cut_replies = 0;  // every answer cut to this many bytes; 0: whole
  bool never_enter = false;
  bool pages_anytime = false;  // page requests need the password only
  bool refuse_mac = false;
  double silent_after_enter = 0;  // seconds
  long die_after_pages = -1;      // -1: never
  bool die_exits = false;
  bool password_sig_set = false;
  char password_sig[8];
  bool mac_sig_set = false;
  char mac_sig[8];
  bool identify_flags_set = false;
  uint16_t identify_flags = 0;
  unsigned reply_delay_ms = 0;
  // Above reply_delay_ms: every answer waits a delay drawn from the seeded
  // sequence between the two.
  unsigned reply_delay_max_ms = 0;
  // The share of the answers that wait the delay; the rest leave at once.
  // A few late answers among prompt ones: what a host that was killed and
  // started again at once meets of its dead run's requests.
  double delay_percent = 100;
  // A worn cell of the main memory: whatever is written, it holds and reads
  // back stuck_value. -1: none.
  long stuck_addr = -1;
  uint8_t stuck_value = 0;
  // Unasked datagrams to another host (a chatty neighbour on the bench):
  // identification answers signed stray_sig (the model by default), or junk.
  bool stray = false;
  uint32_t stray_addr = 0;  // host byte order
  uint16_t stray_port = 0;
  unsigned stray_every_ms = 50;
  double stray_for_s = 30;  // then it falls quiet, so no test can hang on it
  bool stray_sig_set = false;
  char stray_sig[8];
  bool stray_junk = false;
  // The unasked answers' flag word, and whether they are the bare header
  // (as the answers to a page write, the password, the MAC and programming
  // mode are) instead of an identification.
  uint16_t stray_flags = 0x0001;
  bool stray_bare = false;
  // A request with this flag word instead of an answer: another host that
  // keeps talking to a device on the bench. 0: none.
  uint16_t stray_request = 0;

  sim_config();
  int effective_page_size() const;
};

// The bytes of a memory changed since its owner last saved it: [first, end).
struct sim_dirty {
  size_t first = 0, end = 0;
  bool any() const { return end > first; }
  void mark(size_t at, size_t n);
  void clear() { first = end = 0; }
};

// What became of a datagram; the name goes into the request log.
enum class sim_outcome { answered, refused, ignored, dropped, silent, dead, died };
const char* outcome_name(sim_outcome o);

class sim_device {
 public:
  explicit sim_device(const sim_config& cfg);

  // Handles one received datagram at monotonic time now_ms; the replies to
  // send back (zero, one, or two with --twice) are appended to out.
  sim_outcome handle(const uint8_t* buf, int len, uint32_t now_ms,
                     std::vector<std::vector<uint8_t>>& out);
  // How long to hold back the next answer.
  unsigned reply_delay();
  // One unasked datagram for the stray host.
  std::vector<uint8_t> unasked();

  std::vector<uint8_t> memory;     // main memory
  std::vector<uint8_t> sp_memory;  // coprocessor memory
  // What main.cpp still has to put into the memory files.
  sim_dirty memory_dirty;
  sim_dirty sp_memory_dirty;
  bool programming = false;
  bool authorized = false;
  bool dead = false;
  long pages_written = 0;
  uint8_t mac[6];

 private:
  // True for percent of the calls, in a sequence fixed by the seed.
  bool roll(double percent);
  std::vector<uint8_t> reply(const char* sig, uint16_t flags, const uint8_t* data, int n);
  // Silence runs until silent_until_; wrap-safe comparison against now.
  bool silent_at(uint32_t now_ms) const;

  sim_config cfg_;
  uint32_t rng_;
  uint32_t packet_ = 0;
  int corrupt_left_;
  int short_left_;
  int page_drops_left_;
  bool silent_ = false;
  uint32_t silent_until_ = 0;
};
