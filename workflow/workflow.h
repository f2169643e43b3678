// What both front ends do with a board, in one place: the window tool
// drives its board through the device calls of its main window, the
// command-line tool through board sessions of its own, and both through
// these steps — programming mode with its pause and confirmation, the MAC
// series and a typed MAC through the ledger, the texts they show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "workflow/ledger.h"
#include "workflow/record.h"
#include "workflow/series.h"

// The loader's port on both sides.
constexpr uint16_t DEVICE_PORT = 48900;
// After switching programming mode on, the board restarts its loader; it is
// asked whether it is back only after this pause.
constexpr uint32_t RESTART_PAUSE_MS = 1000;
// The largest firmware file taken: an image of 128 KB written the way
// firmware tools write it is well under a megabyte.
constexpr long MAX_FIRMWARE_FILE = 16L << 20;

// The per-user settings key and its values.
extern const char* const SETTINGS_KEY;        // below HKEY_CURRENT_USER
extern const char* const SETTINGS_LAST_FILE;  // text: the firmware file chosen last
extern const char* const SETTINGS_LAST_MAC;   // 6 bytes: the series' last address
// 6 bytes each: the first and the last address of this bench's block of the
// series (both absent: the whole series).
extern const char* const SETTINGS_SERIES_FIRST;
extern const char* const SETTINGS_SERIES_LAST;

// "1.0.0", the version of this build.
extern const char* const PROGRAM_VERSION;
// The loader's version byte as the tools show it: "%d.%d" of the signed
// byte's tenths and units (12 is "1.2", 0x8C is "-11.-6").
std::string loader_version_text(unsigned char rev);
// What the tools say when another program holds the loader port.
extern const char* const PORT_BUSY_TEXT;

// What the steps need of a board; each call is one blocking device
// operation with its own budget, true when the board did what was asked.
class board_ops {
 public:
  virtual ~board_ops() = default;
  // The board's address, dotted, for the ledger.
  virtual std::string address() const = 0;
  virtual bool enter_programming() = 0;
  virtual bool confirm_found() = 0;
  virtual bool exit_programming() = 0;
  virtual bool set_mac(const unsigned char mac[6]) = 0;
  // Every page of the board from image (size bytes, the rest erased), each
  // read back, into main memory or the coprocessor; with only_changed a
  // page the board holds already is not written.
  virtual bool burn(const unsigned char* image, size_t size, bool coprocessor, bool only_changed) = 0;
  // How often the board's operations have told the user something so far
  // (a refused password, why a burn gave up, a question): a step that
  // failed without a new one failed without a word.
  virtual unsigned reports() const = 0;
  // The pages of the burn in hand done so far; -1 when not known.
  virtual int pages_done() const { return -1; }
  // Whether the user asked for the work in hand to stop (a signal).
  virtual bool stop_requested() const { return false; }
};

// How a step on a board ended. Each front end words it in one place, and
// says nothing more of a failure the board's own report has told already.
enum step_end {
  STEP_DONE,
  STEP_NO_PROGRAMMING,  // programming mode did not come on
  STEP_LOADER_GONE,     // the loader did not answer after its restart
  STEP_FAILED,          // the board's operation failed
  STEP_STOPPED,         // ended because the user asked it to stop
};
struct step_outcome {
  step_end end = STEP_DONE;
  // The board's own report has told the user why already; false for a
  // failure nobody has explained, above all a board that said nothing.
  bool reported = false;
  bool ok() const { return end == STEP_DONE; }
};
// The texts both tools show for an end: "Режим программирования не
// включился...", "Устройство не найдено..."; nullptr for the others, which
// each front end words its own way.
const char* step_text(step_end end);

// Programming mode on, the pause while the board restarts its loader (pause
// is called with the milliseconds to wait: the window tool keeps its
// windows alive meanwhile), and the loader's answer again.
step_outcome enter_programming(board_ops& board, void (*pause)(uint32_t ms));
// The burn (board_ops::burn): failed, or stopped when a stop was asked for.
step_outcome flash_image(board_ops& board, const unsigned char* image, size_t size, bool coprocessor,
                         bool only_changed = false);

enum mac_outcome {
  MAC_TAKEN,            // the board confirmed the address
  MAC_REFUSED,          // it did not (the device call reports its own reasons)
  MAC_SETTINGS_FAILED,  // nothing sent: the settings cannot be read, written or locked
  MAC_LEDGER_FAILED,    // nothing sent: the ledger cannot be read, parsed or written
  MAC_SERIES_EXHAUSTED, // nothing sent: the bench's block has been handed out
  // Nothing sent: the database cannot be reached now. The same step, given
  // the same attempt, may be tried again once it can.
  MAC_LEDGER_AWAY,
};

// What a MAC step did.
struct mac_step {
  mac_outcome outcome = MAC_REFUSED;
  unsigned char mac[6] = {};  // the address sent (or that would have been)
  bool stored = false;        // "LastMac" took it (series steps)
  bool reported = false;      // the board's own report said why it refused
  std::string problem;        // why the step could not begin, or a warning
  // The record's id. A step tried again after MAC_LEDGER_AWAY takes it
  // back, so that a reservation whose commit was lost is found, not made
  // twice.
  std::string attempt;
  // The board's part of the step, for the words of a refusal.
  step_outcome as_step() const {
    step_outcome o;
    o.end = outcome == MAC_TAKEN ? STEP_DONE : STEP_FAILED;
    o.reported = reported;
    return o;
  }
};

// Whether the settings the series is kept in can be written and hold no
// damaged block; false with problem (a cp1251 message naming the settings
// file) when not.
// Opening the key creates it when it is missing.
bool series_settings_writable(std::string& problem);
// "LastMac" follows an address a board took: it only ever moves up, and
// only to an address of the series (of the bench's block in the settings,
// when there is one). Whether it holds the address (or one past it) now.
bool follow_last_mac(const unsigned char mac[6]);

// Where the series of this bench stands: its last address handed out (past
// "LastMac" and the ledger), the next one, its block, how many are left.
struct series_state {
  bool has_last = false;
  unsigned char last[6] = {};
  bool has_next = false;     // false when the block is used up
  unsigned char next[6] = {};
  bool has_block = false;
  mac_block block;
  uint32_t left = 0;         // addresses still to hand out, next included
};

// One step of the series on board through ledger: the next address is taken
// and written as reserved (record.h: reserve_next), then sent without any
// lock or transaction held, so that the boards of a line get theirs side by
// side; a confirmed (or failed) record follows and, once confirmed,
// "LastMac" follows the address. A ledger or settings that cannot be used
// refuse the step before anything is sent; so does a used-up block, with
// "Серия исчерпана: последний адрес блока ... выдан." A database that
// cannot be reached refuses it with MAC_LEDGER_AWAY: try again with
// attempt = the step's attempt. A failure to write the board's answer is a
// warning in problem: the reservation already keeps the address from being
// handed out again.
mac_step assign_series_mac(mac_ledger& ledger, board_ops& board, const ledger_device& device,
                           const std::string& attempt = "");
// An address typed by hand: reserved, sent, confirmed or failed, as above;
// the settings are not touched. One of the series' prefix thereby pushes
// the series past it.
mac_step assign_typed_mac(mac_ledger& ledger, board_ops& board, const ledger_device& device,
                          const unsigned char mac[6]);
// Whether an address typed for device has been given to another device
// already (mac_ledger::given_elsewhere; where_text says where the record
// stands). A second device with the same address would make both
// unreachable, so the front ends write it only when asked for twice.
bool typed_mac_given(mac_ledger& ledger, const ledger_device& device, const unsigned char mac[6],
                     std::string& where_text);
// The window's question for that: "Адрес %s уже выдан (журнал MAC-адресов,
// строка %d). Записать ещё раз?" (the device that has it may be this one,
// its MAC changed since: the ledger cannot tell).
std::string mac_given_question(const unsigned char mac[6], const std::string& where_text);

// A burn on the record: its begin written when made (so that even a run
// killed halfway leaves it on record as begun), its end by end(). A record
// that cannot be written does not stop the burn: problem says why.
class burn_on_record {
 public:
  // ledger may be null: nothing is recorded then.
  burn_on_record(mac_ledger* ledger, const std::string& address, const ledger_device& device, bool coprocessor);
  // flashed, or failed at stage ("programming", "burn") and page (-1: none).
  void end(bool flashed, const char* stage, int page);
  // The burn's id, which the MAC steps of the same board carry (step_id).
  const std::string& id() const { return line_.id; }
  std::string problem;

 private:
  mac_ledger* ledger_;
  ledger_line line_;
};
