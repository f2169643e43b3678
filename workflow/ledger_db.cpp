// Placeholder until the database back end lands: every database location
// is refused as unreachable.
#include "workflow/ledger_db.h"

std::unique_ptr<mac_ledger> open_database_ledger(const std::string&, const std::string&, const std::string&) {
  return nullptr;
}
bool database_init(const std::string&, std::string&, std::string& problem) {
  problem = "нет поддержки базы данных";
  return false;
}
bool database_import(const std::string&, const std::string&, const std::vector<ledger_line>&, import_report&,
                     std::string& problem) {
  problem = "нет поддержки базы данных";
  return false;
}
