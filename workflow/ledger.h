// The MAC ledger: one line for every MAC address that was about to be sent
// to a device, and one for what became of it. It is what keeps one address
// from ever reaching two devices: a line saying "reserved" is on disk before
// the address leaves, so even a crash between sending and storing "LastMac"
// leaves the address accounted for, and the next address of the series is
// always taken past every address the ledger holds.
//
// The file is ${XDG_DATA_HOME:-~/.local/share}/veskor/ledger.csv, UTF-8
// CSV with a header line. Lines are only ever appended, each one fsynced
// before the call returns; a file that cannot be parsed is never written to.
//
// The ledger only reads and appends lines: who sends an address, and where
// the series' last address is kept, is the workflow's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "workflow/series.h"

// What became of an address: written before it is sent, then confirmed by
// the device, or refused (or not confirmed) by it.
extern const char* const LEDGER_RESERVED;
extern const char* const LEDGER_CONFIRMED;
extern const char* const LEDGER_FAILED;

// One line. Texts are cp1251 like every text of the program; the file holds
// them in UTF-8.
struct ledger_line {
  std::string time;      // local time, "2026-12-08T21:16:52+01:00"
  std::string address;   // the device's IPv4 address
  std::string name;      // the device's name as its loader reports it
  std::string old_mac;   // "AA:BB:CC:DD:EE:FF" before; empty when not known
  std::string new_mac;   // "AA:BB:CC:DD:EE:FF", the address sent
  std::string firmware;  // the firmware file flashed before; empty for none
  std::string sha256;    // its SHA-256 in 64 lower-case hex digits, or empty
  std::string result;    // LEDGER_RESERVED, LEDGER_CONFIRMED or LEDGER_FAILED;
                         // for a burn BURN_BEGUN, BURN_FLASHED or BURN_FAILED
  // What this version writes beside them (record.h): lines written by the
  // previous version have none of these, and are MAC lines.
  std::string bench;          // the bench's name
  std::string operator_name;  // the login name of whoever ran the tool
  std::string id;             // the record's id: its begin and end share it
  std::string kind;           // RECORD_MAC or RECORD_BURN ("" read as mac)
  std::string target;         // a burn's TARGET_MAIN or TARGET_COPROCESSOR
  std::string stage;          // where a failed burn ended ("burn", "programming"...)
  int page = -1;              // the page it ended at; -1 for none
  int line = 0;          // the line number in the file, when read from it
  bool is_burn() const;
};

// The file (a file-system path); empty when there is no home to put it in.
std::string ledger_path();

// Reads every line of the ledger at path (a missing file is an empty ledger).
// False with error (a cp1251 message naming the file and, where it applies,
// the line that cannot be parsed) when it cannot be read or parsed.
bool ledger_read(const std::string& path, std::vector<ledger_line>& lines, std::string& error);
// Appends one line (the header first when the file is new or empty, the
// folders made as needed) and fsyncs it. The file is checked first: one
// that cannot be parsed is left exactly as it is and false returned with
// error. Holds the file's lock while it reads and writes.
bool ledger_append(const std::string& path, ledger_line line, std::string& error);
// Whether ledger_append could write at path at all: the file opens for
// writing, or, when it is not there yet, its folder takes new files.
// Nothing is written or made. A full disk is not foreseen: the reserved
// line still stands in the way of sending an address.
bool ledger_writable(const std::string& path, std::string& error);

// Addresses that more than one line reports confirmed, each with the lines.
struct ledger_duplicate {
  std::string mac;
  std::vector<int> lines;
};
std::vector<ledger_duplicate> ledger_confirmed_twice(const std::vector<ledger_line>& lines);
// Addresses whose last line is "reserved": sent, perhaps, but nothing known.
std::vector<ledger_line> ledger_unsettled(const std::vector<ledger_line>& lines);

// The line by which the ledger gives mac to another device than one whose
// MAC now is current_mac: the address's last line, when it is confirmed or
// reserved (sent, perhaps taken) and current_mac is not mac. Null when the
// address is free (never written, or last refused) or the device's own.
const ledger_line* ledger_given_elsewhere(const std::vector<ledger_line>& lines, const unsigned char mac[6],
                                          const std::string& current_mac);

// The current local time as the ledger writes it.
std::string ledger_time();

// The next address of the series after last that no line of the ledger
// holds: past every address of the series in the ledger and past last
// (after ...:FA:FA:FA the series starts again at ...:00:00:00, skipping
// what the ledger holds). Addresses without the series' prefix (typed by
// hand) count for nothing, and a last without it is taken as the series'
// default start.
void ledger_series_next(const std::vector<ledger_line>& lines, const unsigned char* last, unsigned char* next);
// The same within a bench's block: the next address of the block past every
// address of it that the ledger holds and past last when last lies in it
// (the block's first address when none does). False when the block's last
// address is taken already: the block is used up, and next is untouched.
bool ledger_block_next(const std::vector<ledger_line>& lines, const unsigned char* last, const mac_block& block,
                       unsigned char* next);

// What the ledger records about a device beside the address it gets.
struct ledger_device {
  std::string name;      // as its loader reports it (cp1251); empty when not known
  std::string old_mac;   // "AA:BB:CC:DD:EE:FF" before; empty when not known
  std::string firmware;  // the file flashed into it just before; empty for none
  std::string sha256;
  // The id of that burn's record (record.h): the MAC steps that follow it
  // belong to the same line of work. Empty when there was none.
  std::string line_id;
};

// SHA-256 of n bytes / of a file (cp1251 path, a regular file of at most
// max_size bytes); the digest as 64 lower-case hex digits. The file form
// gives false when it cannot be read.
std::string sha256_hex(const void* data, size_t n);
bool sha256_file(const char* cp1251_path, std::string& hex, long max_size = 16L << 20);
