// veskorctl: the window tool's operations from the command line, for a
// production line. What the pieces of the program share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "class/dialogs.h"

namespace ctl {

// Exit codes.
enum : int { EXIT_DONE = 0, EXIT_DEVICE = 1, EXIT_USAGE = 2, EXIT_FILE = 3, EXIT_SETTINGS = 4, EXIT_INTERRUPTED = 130 };

const uint16_t PORT = 48900;

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

// Messages and questions of the device operations as lines on stderr; the
// progress window as one line redrawn in place while stderr is a terminal
// (nothing of it otherwise).
class term_sink : public tdialog_sink {
 public:
  bool answer_yes = false;  // what a question gets
  std::string device;       // the address the progress line names
  bool tty = false;

  void message(const char* text) override;
  int yes_no(const char* text) override;
  void progress_open(const char* title, int max) override;
  void progress_step(int pos, int max) override;
  void progress_close() override;
  // A message that repeats the one before is said once; this forgets it.
  void fresh() { last_.clear(); }
  // Takes the progress line off the terminal, so a message can stand there.
  void clear_progress();

 private:
  std::string last_;
  std::string title_;
  uint32_t start_ = 0, drawn_at_ = 0;
  bool drawn_ = false;
};
extern term_sink SINK;

// Set by SIGINT, SIGTERM or SIGHUP: the work in hand is finished, nothing
// new begun. A second signal ends the process at once.
extern volatile int STOP;
void install_signals();
// From now on a signal also stops a burn after the page in hand (BURN_STOP),
// and the notice the first signal prints is text.
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
