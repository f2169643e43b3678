#include "workflow/workflow.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "bcp/regkey.h"
#include "platform/durable.h"
#include "platform/base.h"
#include "veskor_version.h"

const char* const SETTINGS_KEY = "Software\\Quarnel\\Trellan";
const char* const SETTINGS_LAST_FILE = "LastFile";
const char* const SETTINGS_LAST_MAC = "LastMac";
const char* const PROGRAM_VERSION = VESKOR_VERSION;
const char* const PORT_BUSY_TEXT =
    "Порт 48900 занят другой программой: возможно, уже запущена другая копия Veskor.";

std::string loader_version_text(unsigned char rev_byte) {
  signed char rev = (signed char)rev_byte;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%d", rev / 10, rev % 10);
  return buf;
}

const char* enter_programming(board_ops& board, void (*pause)(uint32_t ms)) {
  if (!board.enter_programming()) return "Режим программирования не включился...";
  pause(RESTART_PAUSE_MS);
  if (!board.confirm_found()) return "Устройство не найдено...";
  return nullptr;
}

namespace {

std::string cp(const std::string& fs_path) {
  std::string c;
  return plat::path_from_fs(fs_path.c_str(), c) ? c : fs_path;
}

// The settings file, for a message that has to name it.
std::string settings_file() {
  std::string base = plat::config_home();
  return (base.empty() ? std::string("~/.config") : base) + "/veskor/HKEY_CURRENT_USER.reg";
}

std::string settings_problem() {
  return "Настройки " + cp(settings_file()) + " не читаются или недоступны для записи";
}

ledger_line line_for(const std::string& address, const ledger_device& device, const unsigned char* mac,
                     const char* result) {
  ledger_line l;
  l.address = address;
  size_t n = l.address.find(' ');  // discovery pads the address with blanks
  if (n != std::string::npos) l.address.erase(n);
  l.name = device.name;
  l.old_mac = device.old_mac;
  l.new_mac = format_mac(mac);
  l.firmware = device.firmware;
  l.sha256 = device.sha256;
  l.result = result;
  return l;
}

// Reserves the address in the ledger, sends it and writes what became of it.
void send_through_ledger(const std::string& path, board_ops& board, const ledger_device& device, mac_step& step) {
  if (!ledger_append(path, line_for(board.address(), device, step.mac, LEDGER_RESERVED), step.problem)) {
    step.outcome = MAC_LEDGER_FAILED;
    return;
  }
  bool taken = board.set_mac(step.mac);
  std::string error;
  if (!ledger_append(path, line_for(board.address(), device, step.mac, taken ? LEDGER_CONFIRMED : LEDGER_FAILED),
                     error))
    step.problem = error;
  step.outcome = taken ? MAC_TAKEN : MAC_REFUSED;
}

}  // namespace

bool series_settings_writable(std::string& problem) {
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (!key._ERROR && !key._READ_ONLY) return true;
  problem = settings_problem();
  return false;
}

mac_step assign_series_mac(board_ops& board, const ledger_device& device) {
  mac_step step;
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (key._ERROR || key._READ_ONLY) {
    step.outcome = MAC_SETTINGS_FAILED;
    step.problem = settings_problem();
    return step;
  }
  // The lock is held from reading "LastMac" to storing the next one, so a
  // second tool on the same account waits and then continues the series.
  if (!key.lock()) {
    step.outcome = MAC_SETTINGS_FAILED;
    step.problem = "Настройки " + cp(settings_file()) + " не блокируются";
    return step;
  }
  const unsigned char* stored_mac = (const unsigned char*)key.get_binary(SETTINGS_LAST_MAC);
  unsigned char last[6];
  mac_series_last(stored_mac, stored_mac && key._TYPE == REG_BINARY ? key._SIZE : 0, last);
  std::string path = ledger_path();
  std::vector<ledger_line> lines;
  if (!ledger_read(path, lines, step.problem)) {
    step.outcome = MAC_LEDGER_FAILED;
    key.unlock();
    return step;
  }
  ledger_series_next(lines, last, step.mac);
  send_through_ledger(path, board, device, step);
  // Stored only once the board has it; the ledger keeps the series past it
  // even when this fails.
  if (step.outcome == MAC_TAKEN) step.stored = key.set_binary(step.mac, 6, SETTINGS_LAST_MAC);
  key.unlock();
  return step;
}

mac_step assign_typed_mac(board_ops& board, const ledger_device& device, const unsigned char mac[6]) {
  mac_step step;
  std::memcpy(step.mac, mac, 6);
  std::string path = ledger_path();
  std::vector<ledger_line> lines;
  if (!ledger_read(path, lines, step.problem)) {
    step.outcome = MAC_LEDGER_FAILED;
    return step;
  }
  send_through_ledger(path, board, device, step);
  return step;
}
