// veskorctl: the window tool's operations from the command line, for a
// production line. What the pieces of the program share.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "netdvc/discovery.h"
#include "netdvc/link.h"
#include "netdvc/session.h"
#include "tools/veskorctl/events.h"
#include "workflow/record.h"

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

// The terminal as a consumer of the run's events: rows, lines, messages
// and the summary for people. Beside --json it only prints messages and the
// command's own lines.
class terminal_view : public event_sink {
 public:
  explicit terminal_view(view_mode mode) : mode_(mode) {}
  void on(const board_event& e, const std::vector<board_state>& in_flight) override;

 private:
  std::string row_text(const board_state& r) const;
  void erase();
  void redraw(const std::vector<board_state>& rows, bool force);
  void line_above(FILE* f, const std::string& utf8_text, const std::vector<board_state>& rows);
  void summary(const board_event& e);

  view_mode mode_;
  int drawn_ = 0;          // rows on the terminal now
  uint32_t drawn_at_ = 0;  // tick of the last redraw
};

// --json: one object per event on stdout; a board's page events at most
// every quarter of a second.
class json_view : public event_sink {
 public:
  void on(const board_event& e, const std::vector<board_state>& in_flight) override;

 private:
  std::map<int, uint32_t> page_at_;
};

// The JSON object (cp1251, one line) --json writes for e, or empty when e
// is none of its events (or a page event too soon after the board's last:
// page_at keeps when each board's last went out). The line view streams
// the same objects.
std::string event_json(const board_event& e, std::map<int, uint32_t>& page_at);

// Keeps what a second signal prints (set_left_text) up to date: the boards
// in flight and the state the end of the process leaves each in.
class left_on_signal : public event_sink {
 public:
  void on(const board_event& e, const std::vector<board_state>& in_flight) override;

 private:
  uint32_t made_at_ = 0;  // tick the text was last made
};

// The run's boards into the line's live state (a database ledger only):
// each stage, page progress at most once a second a board, and what the
// bench is doing at each heartbeat.
class live_sink : public event_sink {
 public:
  void on(const board_event& e, const std::vector<board_state>& in_flight) override;
  void attach(mac_ledger* ledger) { ledger_ = ledger; }
  // The bench's state: "running", "waiting" (for boards), "ledger_wait" or,
  // at the end, "stopped".
  void heartbeat(bool stopped = false);

 private:
  mac_ledger* ledger_ = nullptr;
  std::map<int, long long> since_;
  std::map<int, uint32_t> sent_at_;
  bool waiting_ledger_ = false;
  size_t in_flight_ = 0;
};

// What a second signal prints before the process ends (UTF-8).
void set_left_text(const std::string& utf8_text);

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
  std::string ledger;          // --ledger, cp1251 (a path or a database URI)
  std::string bench;           // --bench, cp1251
  bool init = false, import = false, csv = false;  // ledger --init / --import, trace --csv
  std::string firmware;        // trace --firmware, UTF-8 as given
  std::string since, until;    // trace --since / --until, as given
  std::string listen;          // view --listen, batch --view: ADDR:PORT as given
  long count = -1;             // -1: no limit
  long parallel = -1;          // -1: the command's own default; 0: every board found
};

// ---- the run ------------------------------------------------------------------
// One command's run: what every board of it shares, made once by main and
// handed to the command, and from there to every board's thread. It owns
// the process's loader link (every board of the command is worked over
// it), the password, the firmware image, where the ledger is, the stop flag
// and the stream of board events with its consumers.
class run {
 public:
  run(const options& o, view_mode mode);
  ~run();
  run(const run&) = delete;
  run& operator=(const run&) = delete;

  const options& opts;
  loader_link link;
  std::string password;        // 16 characters, what every board gets
  std::vector<uint8_t> image;  // the firmware of flash, batch and verify
  // The line's record: the bench's CSV file or the line's database
  // (--ledger, VESKOR_LEDGER, the settings' "Ledger"), for this bench.
  std::string ledger_location;
  std::unique_ptr<mac_ledger> ledger;
  event_stream events;
  view_mode mode() const { return mode_; }
  bool verbose() const { return opts.verbose; }
  bool answer_yes() const { return opts.yes; }

  // Set by the first SIGINT, SIGTERM or SIGHUP: the work in hand is
  // finished, nothing new begun. A second signal ends the process at once.
  bool stopping() const { return stop_ != 0; }
  // From now on a stop also ends every burn after the page in hand, and the
  // notice the first signal prints is notice.
  void stop_ends_burn(const char* notice);
  bool burn_must_stop() const { return stop_ != 0 && burn_stops_ != 0; }

  // Each says what is wrong itself and gives the exit code; -1 when all is
  // well.
  int open_link();
  int take_password();
  int ledger_ok();
  // flash and batch without MAC addresses: the burns go on record where
  // they can; a ledger that cannot take them is said once, and the boards
  // are flashed all the same (a database's records wait on the bench's
  // disk).
  void records_ready();
  int settings_ok();
  // The image from the file, and the SHA-256 of the bytes it came from (the
  // file is opened once).
  int read_firmware(const std::string& path, std::string& sha);
  // The interface --interface names must be there.
  int interface_ok(const char* command);

 private:
  friend void install_signals(run& r);
  friend void on_signal(int sig);
  view_mode mode_;
  volatile sig_atomic_t stop_ = 0;
  volatile sig_atomic_t burn_stops_ = 0;
  terminal_view terminal_;
  json_view json_;
  left_on_signal left_;
 public:
  live_sink live;
};

// The first signal sets r's stop flag and prints a notice; the second ends
// the process, saying which boards it leaves.
void install_signals(run& r);

// The first of the checks (each -1 when all is well, else an exit code
// after saying what is wrong) that fails, or -1.
int first_failure(std::initializer_list<std::function<int()>> checks);

// What a session of one board reports, into its row of the run's events.
class board_report : public board_observer {
 public:
  board_report(run& r, int row) : run_(r), row_(row) {}
  void message(const char* text) override;
  bool confirm(const char* question) override;
  void admitted(const page_geometry& g) override { geometry_ = g; }
  void page_done(int done, int pages) override;
  bool stop_requested() override { return run_.burn_must_stop(); }
  void exchanged(const exchange_note& note) override;
  // A message that repeats the one before is said once; this forgets it.
  void fresh() { last_.clear(); }
  int row() const { return row_; }

 private:
  run& run_;
  int row_;
  page_geometry geometry_;
  std::string last_;
};

// ---- what the commands share ------------------------------------------------------
int bad_usage(const std::string& text, const char* command);
// A file named on the command line that can be read (looked at, not
// opened), as the cp1251 path the program's file calls take.
int readable_file(const std::string& arg, const char* what, std::string& path);

// A board's address is a number through the core and the run; it is text
// only where it meets people: on the command line (a strict dotted quad),
// on the terminal and in the ledger.
bool address_arg(const std::string& arg, uint32_t& addr);
std::string address_text(uint32_t addr);
// A board known by its address alone.
found_device board_at(uint32_t addr);
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
int cmd_discover(run& r);
int cmd_identify(run& r);
int cmd_flash(run& r);
int cmd_verify(run& r);
int cmd_read(run& r);
int cmd_mac(run& r);
int cmd_batch(run& r);
int cmd_series(run& r);
int cmd_ledger(run& r);
int cmd_trace(run& r);
int cmd_view(run& r);
// A trace entry as the JSON object trace --json writes (cp1251); firmware
// adds the MAC the board has now.
std::string trace_entry_json(const trace_entry& e, bool firmware);
// `ledger` of a database: every record as CSV.
int print_whole_record(run& r);

}  // namespace ctl
