// The window tool's MAC commands: the shared steps of the series and of a
// typed address (workflow/workflow.h), on the device at the main window's
// address, with what the user is told going through show.
#pragma once

#include <cstdint>
#include <string>

#include "workflow/workflow.h"

// The board at ip, driven through the window tool's device calls (the
// program-wide password, the message boxes and the progress window).
class face_board : public board_ops {
 public:
  face_board(const char* ip, uint16_t port) : ip_(ip), port_(port) {}
  std::string address() const override { return ip_; }
  bool enter_programming() override;
  bool confirm_found() override;
  bool exit_programming() override;
  bool set_mac(const unsigned char mac[6]) override;
  // The window tool's image is MEMORY_MAP, whatever image says: the device
  // call burns it whole, with its progress window.
  bool burn(const unsigned char* image, size_t size, bool coprocessor, bool only_changed) override;
  // The message boxes shown so far.
  unsigned reports() const override;
  bool stop_requested() const override;

 private:
  std::string ip_;
  uint16_t port_;
};

// The line's record the window tool writes into: opened at first use from
// ledger_location() for this bench (bench_name()) and its operator, and
// opened again when the location has changed since.
mac_ledger& app_ledger();

// One step of the series on the device at ip (assign_series_mac). What the
// user is told goes through show: that the MAC changed (and, if so, that it
// could not be stored in the settings), or why the step could not begin
// (the settings or the ledger cannot be used: a database that cannot be
// reached says "Журнал MAC-адресов недоступен: ..." and nothing is sent). Nothing is shown when the
// device did not take the address: the step's reported flag says whether
// the device call told why. device, when given, is what the ledger records
// about the device beside the address.
mac_step next_mac_at(const char* ip, uint16_t port, void (*show)(const char* text),
                     const ledger_device* device = nullptr);
// An address typed by hand, through the same ledger (assign_typed_mac).
mac_step typed_mac_at(const char* ip, uint16_t port, void (*show)(const char* text), const unsigned char mac[6],
                      const ledger_device* device = nullptr);
// next_mac_at, true when the device took the address (assigned, when given,
// gets it).
bool assign_next_mac(const char* ip, uint16_t port, void (*show)(const char* text),
                     unsigned char* assigned = nullptr, const ledger_device* device = nullptr);
