// Locks, the coarse polling timer and the busy-cursor scope.
#pragma once

namespace plat {
struct semaphore;
struct critical_section;
}  // namespace plat

// A counting semaphore used as a lock. Callers take it with wait(-1) and give
// it back with free(1) on every path out of the guarded code.
class tsync {
 public:
  plat::semaphore* HSM;
  explicit tsync(int n);
  // Shared by every process of the user that names it. A count taken is
  // held until it is freed or its taker ends (a crash included), and only
  // the counts this handle took can be freed through it.
  tsync(const char* name, int n);
  ~tsync();
  tsync(const tsync&) = delete;
  tsync& operator=(const tsync&) = delete;
  // 0 when taken, the time-out code otherwise; -1 waits forever.
  int wait(int timeout_ms);
  void free(int n);
};

class tcriticalsection {
 public:
  plat::critical_section* CS;
  tcriticalsection();
  ~tcriticalsection();
  tcriticalsection(const tcriticalsection&) = delete;
  tcriticalsection& operator=(const tcriticalsection&) = delete;
  void enter();
  void leave();
};

// A countdown in tenths of a second, read by polling. Comparing with n
// computes the remaining time: a timer equal to 0 has run out, one unequal
// to 0 is still running.
class ttimer {
 public:
  unsigned tim;  // the period last armed with
  unsigned st;   // the arming instant, tick / 100
  unsigned rz;   // elapsed time found by the last comparison
  explicit ttimer(unsigned n = 0);
  ttimer& operator=(unsigned n);
  bool operator==(unsigned n);
  bool operator!=(unsigned n);
  // The remaining time, as the comparisons see it.
  unsigned remaining();
};

// Shows the hourglass while it lives. There is no nesting count: the first
// one to go restores the arrow.
class twait {
 public:
  twait();
  ~twait();
  twait(const twait&) = delete;
  twait& operator=(const twait&) = delete;
};

// Library-wide locks, made before the program's entry function runs.
extern tsync KEY_SYNC;
extern tcriticalsection _VIDEO_CS;
extern tsync SORT_SYNC;
