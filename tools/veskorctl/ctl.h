// veskorctl: the window tool's operations from the command line, for a
// production line. What the pieces of the program share.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "netdvc/discovery.h"
#include "netdvc/link.h"
#include "netdvc/session.h"

namespace ctl {

// Exit codes.
enum : int { EXIT_DONE = 0, EXIT_DEVICE = 1, EXIT_USAGE = 2, EXIT_FILE = 3, EXIT_SETTINGS = 4, EXIT_INTERRUPTED = 130 };

// ---- the terminal ------------------------------------------------------------
// Texts are cp1251 inside; these convert them to UTF-8 on the way out. Every
// one of them may be called from any thread: the lines never mix.
void out(const std::string& cp1251);   // stdout, as it is
void outln(const std::string& cp1251); // stdout, with a line end
void out_stderr(const std::string& cp1251);  // stderr, as it is
bool isatty_stderr();
bool isatty_stdout();
// One line on stderr: "veskorctl: " and the text.
void err(const std::string& cp1251);
// A command-line argument (UTF-8) as cp1251; false when it has no cp1251 form.
bool arg_text(const char* utf8, std::string& cp1251);

// ---- the view of the line -----------------------------------------------------
// What the terminal shows of the boards being worked on.
//   live:  stderr is a terminal: one line per board in flight, redrawn in
//          place, and a permanent line per finished board above them;
//   lines: it is not: a timestamped line per stage change, nothing redrawn;
//   json:  one JSON object per event on stdout (board, stage, page, total,
//          result, mac, message), for scripts and line dashboards;
//   quiet: results and errors only.
enum class view_mode { live, lines, json, quiet };

// A board's stages, by the key JSON events carry.
enum class stage { waiting, identify, programming, burn, check, read, mac, leaving, done };

class line_view {
 public:
  void setup(view_mode mode, bool verbose, bool answer_yes);
  view_mode mode() const { return mode_; }
  bool verbose() const { return verbose_; }
  bool answer_yes() const { return answer_yes_; }

  // A board enters the view; the number names its row from now on.
  int add(const std::string& address, const std::string& name);
  void rename(int row, const std::string& name);
  void set_stage(int row, stage s);
  void page(int row, int done, int total, int page_size);
  // A message of the board's, for the user: an error line on stderr (and an
  // event in JSON).
  void message(int row, const std::string& text);
  void exchange(int row, const exchange_note& note);
  // The board leaves the view. result is "done", "failed" or "skipped";
  // line is its permanent line for people (stdout), mac the address it got.
  void finish(int row, const char* result, const std::string& line, const std::string& mac,
              const std::string& why);
  // The board leaves the view without a result of its own: a look at it
  // (identify) that is a step of something else or whose answer is the
  // command's output.
  void drop(int row);
  // The end of a run of several boards: how many were done, failed and
  // skipped, and how long it took.
  void summary(int done, int failed, int skipped, uint32_t ms);

  // A line on stderr (err) or stdout (outln) that must not tear the rows
  // standing on the terminal.
  void above(FILE* f, const std::string& utf8_line);

 private:
  struct row {
    int id;
    std::string address, name;
    stage at = stage::waiting;
    int done = 0, total = 0, page_size = 0;
    uint32_t since = 0;  // tick of the first page
    uint32_t json_at = 0;
  };
  row* find(int id);
  void redraw_locked(bool force);
  void erase_locked();
  std::string row_text(const row& r) const;
  void event_locked(const row& r, const char* result, const std::string& mac, const std::string& message);
  // Hands set_left_text the boards in flight as they stand now.
  void left_locked();

  std::mutex lock_;
  view_mode mode_ = view_mode::lines;
  bool verbose_ = false, answer_yes_ = false;
  std::vector<row> rows_;
  int next_id_ = 1;
  int drawn_ = 0;          // rows on the terminal now
  uint32_t drawn_at_ = 0;  // tick of the last redraw
};
extern line_view VIEW;

// What a session of one board reports, into its row of the view.
class board_report : public board_observer {
 public:
  explicit board_report(int row) : row_(row) {}
  void message(const char* text) override;
  bool confirm(const char* question) override;
  void admitted(const page_geometry& g) override { geometry_ = g; }
  void page_done(int done, int pages) override;
  bool stop_requested() override;
  void exchanged(const exchange_note& note) override;
  // A message that repeats the one before is said once; this forgets it.
  void fresh() { last_.clear(); }
  int row() const { return row_; }

 private:
  int row_;
  page_geometry geometry_;
  std::string last_;
};

// Set by SIGINT, SIGTERM or SIGHUP: the work in hand is finished, nothing
// new begun. A second signal ends the process at once.
extern volatile int STOP;
void install_signals();
// What a second signal prints before the process ends (UTF-8): the boards
// left in flight and the state they are left in. Kept current by the view.
void set_left_text(const std::string& utf8_text);
// From now on a signal also stops a burn after the page in hand, and the
// notice the first signal prints is notice.
void stop_ends_burn(const char* notice);

// ---- the command line ----------------------------------------------------------
struct options {
  std::vector<std::string> args;  // positional, UTF-8 as given
  bool json = false, coprocessor = false, next = false, mac_next = false, check = false, yes = false;
  bool quiet = false, verbose = false, force = false, again = false, all = false, only_changed = false;
  bool password_given = false;
  std::string password;        // cp1251
  std::string password_file;   // UTF-8 as given
  std::string interface;       // --interface, UTF-8 as given
  std::string block;           // series --block, UTF-8 as given
  long count = -1;             // -1: no limit
  long parallel = -1;          // -1: the command's own default; 0: every board found
};

// ---- what the commands share ------------------------------------------------------
// The process's loader link, opened once for the whole command: every board
// of the command is worked over it.
extern loader_link LINK;
// The password every board of the command gets (16 characters).
extern std::string PASSWORD;
// The firmware of flash, batch and verify: its image.
extern std::vector<uint8_t> IMAGE;

// Each of these says what is wrong itself and gives the exit code; -1 when
// all is well.
int bad_usage(const std::string& text, const char* command);
int open_link();
int take_password(const options& o);
int ledger_ok();
int settings_ok();
// A file named on the command line that can be read (looked at, not
// opened), as the cp1251 path the program's file
// calls take.
int readable_file(const std::string& arg, const char* what, std::string& path);
// The image from the file, and the SHA-256 of the bytes it came from (the
// file is opened once).
int read_firmware(const std::string& path, std::string& sha);
// The interface --interface names must be there.
int interface_ok(const options& o, const char* command);

// The device address: a strict dotted quad, given back in its plain form.
bool address_arg(const std::string& arg, std::string& ip);
uint32_t address_value(const std::string& ip);
std::string shown_arg(const std::string& utf8);
// The 16 name bytes as a text: up to the first NUL, without trailing
// blanks, control bytes shown as '?'.
std::string device_name(const char* name16);
std::string pad(const std::string& s, size_t w);
std::string json_text(const std::string& cp1251);
std::string pages_text(const page_geometry& g);
// Sorted by address; a board that answered twice is there once.
void sort_devices(std::vector<found_device>& devices);
// What a failure is called when the board said nothing at all.
extern const char NO_ANSWER[];
// More boards than any bench segment holds.
constexpr size_t MAX_DEVICES = 1024;

// Each returns an exit code.
int cmd_discover(const options& o);
int cmd_identify(const options& o);
int cmd_flash(const options& o);
int cmd_verify(const options& o);
int cmd_read(const options& o);
int cmd_mac(const options& o);
int cmd_batch(const options& o);
int cmd_series(const options& o);
int cmd_ledger(const options& o);

}  // namespace ctl
