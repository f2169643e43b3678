#include "workflow/workflow.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/durable.h"
#include "platform/base.h"
#include "veskor_version.h"

const char* const SETTINGS_KEY = "Software\\Quarnel\\Trellan";
const char* const SETTINGS_LAST_FILE = "LastFile";
const char* const SETTINGS_LAST_MAC = "LastMac";
const char* const SETTINGS_SERIES_FIRST = "SeriesFirst";
const char* const SETTINGS_SERIES_LAST = "SeriesLast";
const char* const PROGRAM_VERSION = VESKOR_VERSION;
const char* const PORT_BUSY_TEXT =
    "Порт 48900 занят другой программой: возможно, уже запущена другая копия Veskor.";

std::string loader_version_text(unsigned char rev_byte) {
  signed char rev = (signed char)rev_byte;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%d", rev / 10, rev % 10);
  return buf;
}

const char* step_text(step_end end) {
  switch (end) {
    case STEP_NO_PROGRAMMING: return "Режим программирования не включился...";
    case STEP_LOADER_GONE: return "Устройство не найдено...";
    default: return nullptr;
  }
}

namespace {

// What a failed operation of the board ends a step with: whether the board
// reported anything since before.
step_outcome failed(const board_ops& board, unsigned before, step_end end) {
  step_outcome o;
  o.end = end;
  o.reported = board.reports() != before;
  return o;
}

}  // namespace

step_outcome enter_programming(board_ops& board, void (*pause)(uint32_t ms)) {
  unsigned before = board.reports();
  if (!board.enter_programming()) return failed(board, before, STEP_NO_PROGRAMMING);
  pause(RESTART_PAUSE_MS);
  if (!board.confirm_found()) return failed(board, before, STEP_LOADER_GONE);
  return step_outcome();
}

step_outcome flash_image(board_ops& board, const unsigned char* image, size_t size, bool coprocessor,
                         bool only_changed) {
  unsigned before = board.reports();
  if (board.burn(image, size, coprocessor, only_changed)) return step_outcome();
  return failed(board, before, board.stop_requested() ? STEP_STOPPED : STEP_FAILED);
}

namespace {

ledger_line line_for(const std::string& address, const ledger_device& device, const char* kind) {
  ledger_line l;
  l.address = address;
  size_t n = l.address.find(' ');  // discovery pads the address with blanks
  if (n != std::string::npos) l.address.erase(n);
  l.name = device.name;
  l.old_mac = device.old_mac;
  l.firmware = device.firmware;
  l.sha256 = device.sha256;
  l.kind = kind;
  return l;
}

mac_outcome refusal(record_end end, bool exhausted) {
  if (end == RECORD_AWAY) return MAC_LEDGER_AWAY;
  return exhausted ? MAC_SERIES_EXHAUSTED : MAC_LEDGER_FAILED;
}

// Sends the reserved address and writes what became of it.
void send_reserved(mac_ledger& ledger, board_ops& board, ledger_line& record, mac_step& step) {
  unsigned before = board.reports();
  bool taken = board.set_mac(step.mac);
  step.reported = !taken && board.reports() != before;
  record.result = taken ? LEDGER_CONFIRMED : LEDGER_FAILED;
  record.time.clear();
  std::string error;
  if (ledger.settle(record, error) != RECORD_DONE) step.problem = error;
  step.outcome = taken ? MAC_TAKEN : MAC_REFUSED;
}

std::string new_attempt(const ledger_device& device) {
  return device.line_id.empty() ? step_id(record_id()) : step_id(device.line_id);
}

}  // namespace

mac_step assign_series_mac(mac_ledger& ledger, board_ops& board, const ledger_device& device,
                           const std::string& attempt) {
  mac_step step;
  step.attempt = attempt.empty() ? new_attempt(device) : attempt;
  // Without "LastMac" the bench's series would start again below addresses
  // it handed out; with a database the series is the database's, and
  // "LastMac" only follows.
  if (!ledger.is_database() && !series_settings_writable(step.problem)) {
    step.outcome = MAC_SETTINGS_FAILED;
    return step;
  }
  ledger_line record = line_for(board.address(), device, RECORD_MAC);
  record.id = step.attempt;
  bool exhausted = false;
  record_end end = ledger.reserve_next(record, exhausted, step.problem);
  if (end != RECORD_DONE) {
    step.outcome = refusal(end, exhausted);
    return step;
  }
  parse_mac(record.new_mac.c_str(), step.mac);
  // The reservation keeps the address to this board whatever happens now.
  send_reserved(ledger, board, record, step);
  if (step.outcome == MAC_TAKEN) step.stored = follow_last_mac(step.mac);
  return step;
}

mac_step assign_typed_mac(mac_ledger& ledger, board_ops& board, const ledger_device& device,
                          const unsigned char mac[6]) {
  mac_step step;
  step.attempt = new_attempt(device);
  std::memcpy(step.mac, mac, 6);
  ledger_line record = line_for(board.address(), device, RECORD_MAC);
  record.id = step.attempt;
  record.new_mac = format_mac(mac);
  record_end end = ledger.reserve_typed(record, step.problem);
  if (end != RECORD_DONE) {
    step.outcome = refusal(end, false);
    return step;
  }
  send_reserved(ledger, board, record, step);
  return step;
}

bool typed_mac_given(mac_ledger& ledger, const ledger_device& device, const unsigned char mac[6],
                     std::string& where_text) {
  return ledger.given_elsewhere(mac, device.old_mac, where_text);
}

std::string mac_given_question(const unsigned char mac[6], const std::string& where_text) {
  return "Адрес " + format_mac(mac) + " уже выдан (журнал MAC-адресов, " + where_text + "). Записать ещё раз?";
}

burn_on_record::burn_on_record(mac_ledger* ledger, const std::string& address, const ledger_device& device,
                               bool coprocessor)
    : ledger_(ledger), line_(line_for(address, device, RECORD_BURN)) {
  line_.id = record_id();
  line_.target = coprocessor ? TARGET_COPROCESSOR : TARGET_MAIN;
  line_.result = BURN_BEGUN;
  if (ledger_) ledger_->burn(line_, problem);
}

void burn_on_record::end(bool flashed, const char* stage, int page) {
  line_.result = flashed ? BURN_FLASHED : BURN_FAILED;
  line_.stage = flashed || !stage ? "" : stage;
  line_.page = flashed ? -1 : page;
  line_.time.clear();
  std::string error;
  if (ledger_ && ledger_->burn(line_, error) != RECORD_DONE) problem = error;
}
