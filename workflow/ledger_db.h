// The line's record in PostgreSQL: the mac_ledger of a whole line, and what
// only a database has — its schema, made and upgraded by `ledger --init`,
// and the bench ledgers brought into it by `ledger --import`.
//
// Every value goes to the server as a statement parameter. Taking an
// address is one short transaction; a unique index in the database holds
// that no address is reserved or confirmed for two boards. What cannot be
// written while the server is away waits in a local spool (a CSV ledger
// file beside the bench's own, fsynced) and is written, by id, as soon as
// the server answers again — by the run itself or by the next tool started
// on the bench.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "workflow/record.h"

// The schema version this program writes and understands.
constexpr int LEDGER_SCHEMA_VERSION = 2;

std::unique_ptr<mac_ledger> open_database_ledger(const std::string& uri, const std::string& bench,
                                                 const std::string& operator_name);

// Creates Veskor's tables in the database at uri, or upgrades an older
// Veskor schema; run twice it changes nothing. said: what it did, for the
// user ("журнал создан", "журнал уже есть (версия 1)"). A newer schema is
// refused with problem.
bool database_init(const std::string& uri, std::string& said, std::string& problem);

// What an import did.
struct import_report {
  int added = 0;     // records new to the database
  int present = 0;   // records it held already (the same file imported again)
  // Addresses the database now holds confirmed for more than one board:
  // "5A:3C:19:11:46:02: стенд1.csv строка 4, стенд2.csv строка 7".
  std::vector<std::string> confirmed_twice;
};
// Brings the lines of one bench's CSV ledger (read by ledger_read; label
// names the file in messages) into the database. Importing the same lines
// again adds nothing. Addresses confirmed on two benches are imported as
// they stand and reported.
bool database_import(const std::string& uri, const std::string& label, const std::vector<ledger_line>& lines,
                     import_report& report, std::string& problem);

// For tests only: called at points of a reservation's transaction ("before
// commit", "after commit"). False after the commit drops the server's
// answer as a lost connection would, leaving the reservation in doubt.
using ledger_db_hook = bool (*)(const char* point);
void set_ledger_db_hook(ledger_db_hook hook);
