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
  unsigned before = board.reports();
  bool taken = board.set_mac(step.mac);
  step.reported = !taken && board.reports() != before;
  std::string error;
  if (!ledger_append(path, line_for(board.address(), device, step.mac, taken ? LEDGER_CONFIRMED : LEDGER_FAILED),
                     error))
    step.problem = error;
  step.outcome = taken ? MAC_TAKEN : MAC_REFUSED;
}

}  // namespace


namespace {

// A 6-byte binary value of the key; false when it is absent or not one.
bool read_mac(_regkey& key, const char* name, unsigned char* mac) {
  const unsigned char* v = (const unsigned char*)key.get_binary(name);
  if (!v || key._TYPE != REG_BINARY || key._SIZE != 6) return false;
  std::memcpy(mac, v, 6);
  return true;
}

enum block_found { NO_BLOCK, BLOCK, DAMAGED_BLOCK };

// The block of this bench. Either value there without the two making a
// block (one alone, not 6 bytes, the first past the last, outside the
// series) is damage: going on with the whole series would hand out
// addresses of the other benches' blocks.
block_found read_block(_regkey& key, mac_block& block) {
  if (!key.get_binary(SETTINGS_SERIES_FIRST) && !key.get_binary(SETTINGS_SERIES_LAST)) return NO_BLOCK;
  mac_block b;
  if (!read_mac(key, SETTINGS_SERIES_FIRST, b.first) || !read_mac(key, SETTINGS_SERIES_LAST, b.last) ||
      !mac_block_valid(b))
    return DAMAGED_BLOCK;
  block = b;
  return BLOCK;
}

std::string damaged_block_problem() {
  return "Настройки " + cp(settings_file()) + ": блок серии (\"SeriesFirst\", \"SeriesLast\") повреждён";
}

// "LastMac" as the series goes on from it (the default start when it holds
// nothing of the series).
void read_last(_regkey& key, unsigned char* last) {
  const unsigned char* stored_mac = (const unsigned char*)key.get_binary(SETTINGS_LAST_MAC);
  mac_series_last(stored_mac, stored_mac && key._TYPE == REG_BINARY ? key._SIZE : 0, last);
}

// The next address past last and the ledger, within the block when there
// is one; false when the block is used up.
bool next_address(const std::vector<ledger_line>& lines, const unsigned char* last, const mac_block* block,
                  unsigned char* next) {
  if (block) return ledger_block_next(lines, last, *block, next);
  ledger_series_next(lines, last, next);
  return true;
}

std::string exhausted_text(const mac_block& block) {
  return "Серия исчерпана: последний адрес блока " + format_mac(block.last) + " выдан.";
}

}  // namespace

bool series_settings_writable(std::string& problem) {
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (key._ERROR || key._READ_ONLY) {
    problem = settings_problem();
    return false;
  }
  mac_block block;
  if (read_block(key, block) == DAMAGED_BLOCK) {
    problem = damaged_block_problem();
    return false;
  }
  return true;
}

bool read_series(series_state& state, std::string& problem) {
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (key._ERROR) {
    problem = settings_problem();
    return false;
  }
  std::vector<ledger_line> lines;
  if (!ledger_read(ledger_path(), lines, problem)) return false;
  unsigned char last[6];
  read_last(key, last);
  state = series_state();
  block_found found = read_block(key, state.block);
  if (found == DAMAGED_BLOCK) {
    problem = damaged_block_problem();
    return false;
  }
  state.has_block = found == BLOCK;
  state.has_next = next_address(lines, last, state.has_block ? &state.block : nullptr, state.next);
  const unsigned char* end = state.has_block ? state.block.last : nullptr;
  unsigned char series_end[6] = {MAC_SERIES_PREFIX[0], MAC_SERIES_PREFIX[1], MAC_SERIES_PREFIX[2], 250, 250, 250};
  if (!end) end = series_end;
  if (state.has_next) {
    uint32_t a = mac_series_index(state.next), z = mac_series_index(end);
    state.left = z >= a ? z - a + 1 : 0;
  }
  // The last address handed out: the highest of the series (of the block,
  // when there is one) that "LastMac" or the ledger holds.
  auto consider = [&](const unsigned char* x) {
    if (!mac_in_series(x) || (state.has_block && !mac_in_block(state.block, x))) return;
    if (state.has_last && mac_series_number(x) <= mac_series_number(state.last)) return;
    std::memcpy(state.last, x, 6);
    state.has_last = true;
  };
  for (const ledger_line& l : lines) {
    unsigned char x[6];
    if (parse_mac(l.new_mac.c_str(), x)) consider(x);
  }
  unsigned char stored[6];
  if (read_mac(key, SETTINGS_LAST_MAC, stored)) consider(stored);
  return true;
}

bool set_series_block(const mac_block& block, std::string& problem) {
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (key._ERROR || key._READ_ONLY || !key.lock()) {
    problem = settings_problem();
    return false;
  }
  bool ok = key.set_binary(block.first, 6, SETTINGS_SERIES_FIRST) && key.set_binary(block.last, 6, SETTINGS_SERIES_LAST);
  key.unlock();
  if (!ok) problem = settings_problem();
  return ok;
}

mac_step assign_series_mac(board_ops& board, const ledger_device& device) {
  mac_step step;
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (key._ERROR || key._READ_ONLY) {
    step.outcome = MAC_SETTINGS_FAILED;
    step.problem = settings_problem();
    return step;
  }
  // The address is chosen and reserved under the settings lock, so that no
  // tool on this account (and no other board of this process) takes it too.
  if (!key.lock()) {
    step.outcome = MAC_SETTINGS_FAILED;
    step.problem = "Настройки " + cp(settings_file()) + " не блокируются";
    return step;
  }
  unsigned char last[6];
  read_last(key, last);
  mac_block block;
  block_found found = read_block(key, block);
  if (found == DAMAGED_BLOCK) {
    step.outcome = MAC_SETTINGS_FAILED;
    step.problem = damaged_block_problem();
    key.unlock();
    return step;
  }
  bool has_block = found == BLOCK;
  std::string path = ledger_path();
  std::vector<ledger_line> lines;
  if (!ledger_read(path, lines, step.problem)) {
    step.outcome = MAC_LEDGER_FAILED;
    key.unlock();
    return step;
  }
  if (!next_address(lines, last, has_block ? &block : nullptr, step.mac)) {
    step.outcome = MAC_SERIES_EXHAUSTED;
    step.problem = exhausted_text(block);
    key.unlock();
    return step;
  }
  if (!ledger_append(path, line_for(board.address(), device, step.mac, LEDGER_RESERVED), step.problem)) {
    step.outcome = MAC_LEDGER_FAILED;
    key.unlock();
    return step;
  }
  key.unlock();

  // The reserved line keeps the address to this board whatever happens now:
  // the lock is not held while it goes out.
  unsigned before = board.reports();
  bool taken = board.set_mac(step.mac);
  step.reported = !taken && board.reports() != before;

  bool locked = key.lock();
  std::string error;
  if (!ledger_append(path, line_for(board.address(), device, step.mac, taken ? LEDGER_CONFIRMED : LEDGER_FAILED),
                     error))
    step.problem = error;
  step.outcome = taken ? MAC_TAKEN : MAC_REFUSED;
  if (taken) {
    // Boards of a line confirm in any order: "LastMac" only ever moves up.
    unsigned char now[6];
    bool ahead = read_mac(key, SETTINGS_LAST_MAC, now) && mac_in_series(now) &&
                 mac_series_number(now) >= mac_series_number(step.mac) &&
                 (!has_block || mac_in_block(block, now));
    step.stored = ahead || (locked && key.set_binary(step.mac, 6, SETTINGS_LAST_MAC));
  }
  if (locked) key.unlock();
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

int typed_mac_given_line(const ledger_device& device, const unsigned char mac[6]) {
  std::vector<ledger_line> lines;
  std::string problem;
  if (!ledger_read(ledger_path(), lines, problem)) return 0;
  const ledger_line* l = ledger_given_elsewhere(lines, mac, device.old_mac);
  return l ? l->line : 0;
}

std::string mac_given_question(const unsigned char mac[6], int line) {
  return "Адрес " + format_mac(mac) + " уже выдан (журнал MAC-адресов, строка " + std::to_string(line) +
         "). Записать ещё раз?";
}
