// veskorctl: the window tool's operations from the command line, for a
// production line. What the pieces of the program share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netdvc/session.h"

namespace ctl {

// Exit codes.
enum : int { EXIT_DONE = 0, EXIT_DEVICE = 1, EXIT_USAGE = 2, EXIT_FILE = 3, EXIT_SETTINGS = 4, EXIT_INTERRUPTED = 130 };


// ---- the terminal ------------------------------------------------------------
// Texts are cp1251 inside; these convert them to UTF-8 on the way out.
void out(const std::string& cp1251);   // stdout, as it is
void outln(const std::string& cp1251); // stdout, with a line end
void out_stderr(const std::string& cp1251);  // stderr, as it is
bool isatty_stderr();
// One line on stderr: "veskorctl: " and the text.
void err(const std::string& cp1251);
// A command-line argument (UTF-8) as cp1251; false when it has no cp1251 form.
bool arg_text(const char* utf8, std::string& cp1251);

// What the terminal shows of the work on one board: its messages and
// questions as lines on stderr, its burn as one progress line redrawn in
// place while stderr is a terminal (nothing of it otherwise).
class board_report : public board_observer {
 public:
  explicit board_report(const std::string& address) : address_(address) {}
  void message(const char* text) override;
  bool confirm(const char* question) override;
  void admitted(const page_geometry& g) override { geometry_ = g; }
  void burn_started(int pages) override;
  void page_done(int done, int pages) override;
  void burn_ended() override;
  bool stop_requested() override;
  // How many messages the board's operations said: a failure after none
  // was a board that did not answer at all.
  unsigned said() const { return said_; }
  // A message that repeats the one before is said once; this forgets it.
  void fresh() { last_.clear(); }

 private:
  std::string address_;
  page_geometry geometry_;
  std::string last_;
  unsigned said_ = 0;
  uint32_t start_ = 0, drawn_at_ = 0;
};

// What every board's report shares: whether questions get yes, whether
// progress is drawn.
struct report_settings {
  bool answer_yes = false;
  bool tty = false;
};
extern report_settings REPORT;
// Takes the progress line off the terminal, so a message can stand there.
void clear_progress();

// Set by SIGINT, SIGTERM or SIGHUP: the work in hand is finished, nothing
// new begun. A second signal ends the process at once.
extern volatile int STOP;
void install_signals();
// From now on a signal also stops a burn after the page in hand, and the
// notice the first signal prints is notice.
void stop_ends_burn(const char* notice);

// ---- the command line ----------------------------------------------------------
struct options {
  std::vector<std::string> args;  // positional, UTF-8 as given
  bool json = false, coprocessor = false, next = false, mac_next = false, check = false, yes = false;
  bool quiet = false, force = false, again = false;
  bool password_given = false;
  std::string password;        // cp1251
  std::string password_file;   // UTF-8 as given
  long count = -1;             // -1: no limit
};

// Each returns an exit code.
int cmd_discover(const options& o);
int cmd_identify(const options& o);
int cmd_flash(const options& o);
int cmd_mac(const options& o);
int cmd_batch(const options& o);
int cmd_ledger(const options& o);

}  // namespace ctl
