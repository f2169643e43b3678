#include "app/macseries.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

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
  if (step.outcome == MAC_SETTINGS_FAILED || step.outcome == MAC_LEDGER_FAILED || step.outcome == MAC_SERIES_EXHAUSTED ||
      step.outcome == MAC_LEDGER_AWAY) {
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

mac_ledger& app_ledger() {
  static std::mutex lock;
  static std::string location;
  static std::unique_ptr<mac_ledger> ledger;
  std::lock_guard<std::mutex> hold(lock);
  std::string now = ledger_location();
  if (!ledger || now != location) {
    ledger = open_ledger(now, bench_name(), operator_name());
    location = now;
  }
  return *ledger;
}

namespace {

// Before anything is sent: a ledger that cannot be read or written (a
// database away) refuses the step, and nothing reaches the device.
bool ledger_usable(mac_ledger& ledger, mac_step& step) {
  if (ledger.ready(step.problem)) return true;
  step.outcome = MAC_LEDGER_FAILED;
  return false;
}

}  // namespace

mac_step next_mac_at(const char* ip, uint16_t port, void (*show)(const char* text), const ledger_device* device) {
  face_board board(ip, port);
  mac_ledger& ledger = app_ledger();
  mac_step step;
  if (ledger_usable(ledger, step)) step = assign_series_mac(ledger, board, device ? *device : ledger_device());
  return tell(step, show, true);
}

mac_step typed_mac_at(const char* ip, uint16_t port, void (*show)(const char* text), const unsigned char mac[6],
                      const ledger_device* device) {
  face_board board(ip, port);
  mac_ledger& ledger = app_ledger();
  mac_step step;
  std::memcpy(step.mac, mac, 6);
  if (ledger_usable(ledger, step)) step = assign_typed_mac(ledger, board, device ? *device : ledger_device(), mac);
  return tell(step, show, false);
}

bool assign_next_mac(const char* ip, uint16_t port, void (*show)(const char* text), unsigned char* assigned,
                     const ledger_device* device) {
  mac_step step = next_mac_at(ip, port, show, device);
  if (step.outcome != MAC_TAKEN) return false;
  if (assigned) memcpy(assigned, step.mac, 6);
  return true;
}
