// The line's record: every MAC address handed out and every burn, kept by
// one interface with two back ends — the CSV file of a single bench
// (ledger.h) and a PostgreSQL database a whole line shares. The steps, both
// front ends and trace speak only to mac_ledger; which back end it is comes
// from the ledger's location.
//
// Records are ledger_line values (ledger.h) of two kinds:
//   "mac":  an address given to a board — new_mac the address, old_mac the
//           board's MAC before, result reserved, then confirmed or failed;
//   "burn": a firmware image written into a board — old_mac the board's MAC
//           at the time, new_mac empty, target "main" or "coprocessor",
//           result begun, then flashed or failed (with stage and page).
// The begin and the end of one record carry one id, made by the bench
// (record_id): the end of a record is written by that id, and a record
// written twice (after a lost commit, or from the local spool) is one
// record.
//
// Every call may be made from several threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "workflow/ledger.h"
#include "workflow/series.h"

extern const char* const RECORD_MAC;   // "mac"
extern const char* const RECORD_BURN;  // "burn"
extern const char* const BURN_BEGUN;   // "begun"
extern const char* const BURN_FLASHED; // "flashed"
extern const char* const BURN_FAILED;  // "failed"
extern const char* const TARGET_MAIN;         // "main"
extern const char* const TARGET_COPROCESSOR;  // "coprocessor"

// A new record id: 32 lower-case hex digits from the system's random source.
// It names one board's line of work as well (a flash in the window, a
// board of a batch): the MAC steps that follow a burn on the same board
// carry step_id(the burn's id), so that trace finds the burn that went
// before an address was given.
std::string record_id();
// line_id, '-' and 8 hex digits of its own.
std::string step_id(const std::string& line_id);
// The first 32 characters of an id: the board's line of work it belongs to.
std::string line_of(const std::string& id);

// ---- where the ledger is, and who writes into it --------------------------------

// The settings values (text, in the key of "LastMac").
extern const char* const SETTINGS_LEDGER;  // "Ledger"
extern const char* const SETTINGS_BENCH;   // "Bench"

// The ledger's location: given (veskorctl's --ledger) when not empty, else
// $VESKOR_LEDGER, else the settings value "Ledger", else the bench's CSV
// file (ledger_path()). cp1251 like every text of the program.
std::string ledger_location(const std::string& given = "");
// Whether the location is a PostgreSQL connection URI (postgresql:// or
// postgres://); anything else is a CSV file path.
bool is_database_location(const std::string& location);
// The location as every message shows it: a password in a URI (in its
// user part, or as a password= parameter) replaced by "***".
std::string shown_location(const std::string& location);

// The bench: given (--bench) when not empty, else $VESKOR_BENCH, else the
// settings value "Bench", else the host name.
std::string bench_name(const std::string& given = "");
// The operator: the login name of the user running the program.
std::string operator_name();

// ---- the interface ------------------------------------------------------------------

enum record_end {
  RECORD_DONE,
  // The database cannot be reached now: nothing was done, and trying again
  // later may succeed (a spooled write counts as done).
  RECORD_AWAY,
  // Anything else (a damaged file, no schema, no rights, a used-up block):
  // problem says what.
  RECORD_FAILED,
};

// Where the series of this bench stands (see series_state in workflow.h).
struct series_state;

// What `ledger --check` finds: warnings (reservations never settled) and
// errors (an address confirmed twice, blocks that overlap), as lines to
// print, and the closing summary line.
struct ledger_check {
  std::vector<std::string> warnings, errors;
  std::string summary;
};

// What trace asks for.
struct trace_query {
  enum by_what { BY_MAC, BY_FIRMWARE, BY_PERIOD } by = BY_PERIOD;
  unsigned char mac[6] = {};
  std::string sha256;              // 64 lower-case hex digits
  long long since = -(1LL << 62);  // seconds since the epoch, both included
  long long until = 1LL << 62;
  std::string bench;               // empty: every bench
};
// One entry of a trace: a record as it stands (the end of a burn or of a
// MAC step folded into its begin), and for --firmware the MAC the board
// has now.
struct trace_entry {
  ledger_line record;
  long long at = 0;     // the record's time, seconds since the epoch
  std::string mac_now;  // "AA:BB:..." or empty
};
// A record's time ("2026-12-08T21:16:52+01:00", the form ledger_time
// writes) as seconds since the epoch; false when it is not one.
bool record_time(const std::string& text, long long& at);

// What the line view shows of a board in flight: its bench, the stage it
// is in (the JSON events' stage keys: "burn", "ledger_wait", ...), the pages
// of that stage, and since when. A board that left the run is "gone".
struct live_board {
  std::string bench, address, name, stage;  // cp1251
  int page = 0, total = 0;
  long long since = 0;    // seconds since the epoch
  long long updated = 0;  // when the bench last said so
  long long said_ms = 0;  // when this state was published, ms since the epoch
};
// A bench as the line view knows it: what its run is doing ("running",
// "waiting" for boards, "ledger_wait") and when it said so last.
struct live_bench {
  std::string bench, state;
  long long seen = 0;
};

class mac_ledger {
 public:
  virtual ~mac_ledger() = default;

  // The location as messages name it (shown_location).
  virtual std::string where() const = 0;
  virtual bool is_database() const = 0;

  // Whether records can be read and written: checked before any board is
  // touched. The database back end first writes what its local spool holds.
  // False with problem (the text the user sees, naming where()).
  virtual bool ready(std::string& problem) = 0;

  // The next address of the series for the board record describes (kind
  // "mac": address, name, old_mac, firmware, sha256, bench, operator_name;
  // id made by the caller), written as reserved before the call returns:
  // past every address the ledger holds, inside the series and the bench's
  // block when it has one. The file back end takes "LastMac" into account
  // under the settings lock; the database keeps the series itself. On
  // RECORD_DONE record.new_mac holds the address and record.result is
  // reserved. exhausted is set (with RECORD_FAILED) when the block or the
  // series is used up.
  virtual record_end reserve_next(ledger_line& record, bool& exhausted, std::string& problem) = 0;
  // A typed address (record.new_mac), reserved the same way. The database
  // refuses an address it holds for another board.
  virtual record_end reserve_typed(ledger_line& record, std::string& problem) = 0;
  // The end of a MAC step: record as reserved, with result now confirmed
  // or failed. A database that cannot be reached keeps it in the spool
  // (RECORD_DONE).
  virtual record_end settle(const ledger_line& record, std::string& problem) = 0;
  // A burn's begin or end (kind "burn"): the end replaces the begin of the
  // same id. A database that cannot be reached keeps it in the spool.
  virtual record_end burn(const ledger_line& record, std::string& problem) = 0;

  // The record by which mac is given to another board than one whose MAC
  // now is current_mac (see ledger_given_elsewhere); false when it is free
  // or the board's own. where_text says where it stands: "строка 12" or
  // "стенд A, 2026-12-08T21:16:52+01:00".
  virtual bool given_elsewhere(const unsigned char mac[6], const std::string& current_mac, std::string& where_text) = 0;
  // The MACs of boards finished with the firmware sha256 (batch's re-run
  // rule: the address's last confirmation, or its last line reserved,
  // beside that firmware).
  virtual bool finished_with(const std::string& sha256, std::vector<std::string>& macs, std::string& problem) = 0;

  // Where the series stands for this bench; the block of this bench.
  virtual bool series(series_state& state, std::string& problem) = 0;
  virtual bool set_block(const mac_block& block, std::string& problem) = 0;

  virtual bool trace(const trace_query& q, std::vector<trace_entry>& out, std::string& problem) = 0;
  virtual bool check(ledger_check& report, std::string& problem) = 0;

  // The line's live state, which only a database shares between benches;
  // the file back end keeps none. publish never waits on the server: the
  // latest state of each board and of the bench goes out on a thread of the
  // ledger's own, and what the server cannot take meanwhile is dropped (it
  // is state, not record).
  virtual void publish(const live_board& board) { (void)board; }
  virtual void publish_bench(const std::string& state) { (void)state; }
  // Every board and bench the line has said anything of; boards "gone"
  // included, for the caller to leave out.
  virtual bool live(std::vector<live_board>& boards, std::vector<live_bench>& benches, std::string& problem) {
    boards.clear();
    benches.clear();
    (void)problem;
    return true;
  }
  // Waits up to ms for the benches' notifications of a change: appends a
  // note per change (UTF-8 JSON of the board or bench). False when none
  // can come (no database, or its connection lost: the caller takes a
  // fresh snapshot by live() once it answers again).
  virtual bool changes(std::vector<std::string>& notes, unsigned ms) {
    (void)notes;
    (void)ms;
    return false;
  }
};

// The ledger at location for records written by bench and operator.
std::unique_ptr<mac_ledger> open_ledger(const std::string& location, const std::string& bench,
                                        const std::string& operator_name);
// The back ends, for the tools that need one of them as such.
std::unique_ptr<mac_ledger> open_file_ledger(const std::string& path, const std::string& bench,
                                             const std::string& operator_name);
