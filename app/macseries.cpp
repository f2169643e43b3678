#include "app/macseries.h"

#include <cstdio>
#include <cstring>

#include "class/dialogs.h"
#include "netdvc/netdvc.h"

bool face_board::enter_programming() { return set_programm_mode(ip_.c_str(), port_); }
bool face_board::confirm_found() { return check_device_found(ip_.c_str(), port_); }
bool face_board::exit_programming() { return exit_programm_mode(ip_.c_str(), port_); }
bool face_board::set_mac(const unsigned char mac[6]) { return ::set_mac(ip_.c_str(), port_, mac); }
bool face_board::burn(const unsigned char*, size_t, bool coprocessor, bool) {
  return burn_device(ip_.c_str(), port_, coprocessor ? 1 : 0);
}
unsigned face_board::reports() const { return MESSAGES_SHOWN; }
bool face_board::stop_requested() const { return BURN_STOP != 0; }

namespace {

// What a MAC step tells the user: why it could not begin, or that the MAC
// changed (and whatever went wrong around it).
mac_step tell(const mac_step& step, void (*show)(const char* text), bool series) {
  if (step.outcome == MAC_SETTINGS_FAILED || step.outcome == MAC_LEDGER_FAILED || step.outcome == MAC_SERIES_EXHAUSTED) {
    show(step.problem.c_str());
    return step;
  }
  if (step.outcome != MAC_TAKEN) return step;
  char text[256];
  mac_changed_text(text, sizeof text, step.mac);
  if (series && !step.stored) {
    size_t n = strlen(text);
    snprintf(text + n, sizeof text - n, ", но не сохранён в настройках.");
  }
  show(text);
  // The device has the address; only the ledger's second line was lost.
  if (!step.problem.empty()) show(step.problem.c_str());
  return step;
}

}  // namespace

mac_step next_mac_at(const char* ip, uint16_t port, void (*show)(const char* text), const ledger_device* device) {
  face_board board(ip, port);
  return tell(assign_series_mac(board, device ? *device : ledger_device()), show, true);
}

mac_step typed_mac_at(const char* ip, uint16_t port, void (*show)(const char* text), const unsigned char mac[6],
                      const ledger_device* device) {
  face_board board(ip, port);
  return tell(assign_typed_mac(board, device ? *device : ledger_device(), mac), show, false);
}

bool assign_next_mac(const char* ip, uint16_t port, void (*show)(const char* text), unsigned char* assigned,
                     const ledger_device* device) {
  mac_step step = next_mac_at(ip, port, show, device);
  if (step.outcome != MAC_TAKEN) return false;
  if (assigned) memcpy(assigned, step.mac, 6);
  return true;
}
