// The bench's own CSV file as the line's record (record.h): what a single
// bench needs and nothing shared. The series goes on past "LastMac" and
// past every address of the file, within the bench's block kept in the
// settings, chosen and reserved under the settings lock so that no tool on
// this account takes the same address.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "bcp/regkey.h"
#include "platform/base.h"
#include "platform/durable.h"
#include "workflow/record.h"
#include "workflow/workflow.h"

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

// A record of a trace: a burn's or a step's end folded into its begin
// (the begin's time, the end's result), lines without an id as they are.
std::vector<trace_entry> folded(const std::vector<ledger_line>& lines) {
  std::vector<trace_entry> out;
  std::map<std::string, size_t> by_id;
  for (const ledger_line& l : lines) {
    auto found = l.id.empty() ? by_id.end() : by_id.find(l.id);
    if (found != by_id.end()) {
      ledger_line& r = out[found->second].record;
      r.result = l.result;
      r.stage = l.stage;
      r.page = l.page;
      continue;
    }
    trace_entry e;
    e.record = l;
    if (!record_time(l.time, e.at)) e.at = 0;
    if (!l.id.empty()) by_id[l.id] = out.size();
    out.push_back(e);
  }
  return out;
}

class file_ledger : public mac_ledger {
 public:
  file_ledger(const std::string& path, const std::string& bench, const std::string& op)
      : path_(path), bench_(bench), operator_(op) {}

  std::string where() const override { return cp(path_); }
  bool is_database() const override { return false; }

  bool ready(std::string& problem) override {
    std::vector<ledger_line> lines;
    return ledger_read(path_, lines, problem) && ledger_writable(path_, problem);
  }

  record_end reserve_next(ledger_line& record, bool& exhausted, std::string& problem) override {
    exhausted = false;
    _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
    if (key._ERROR || key._READ_ONLY) {
      problem = settings_problem();
      return RECORD_FAILED;
    }
    // The address is chosen and reserved under the settings lock, so that
    // no tool on this account (and no other board of this process) takes it
    // too.
    if (!key.lock()) {
      problem = "Настройки " + cp(settings_file()) + " не блокируются";
      return RECORD_FAILED;
    }
    record_end end = reserve_locked(key, record, exhausted, problem);
    key.unlock();
    return end;
  }

  record_end reserve_typed(ledger_line& record, std::string& problem) override {
    std::vector<ledger_line> lines;
    if (!ledger_read(path_, lines, problem)) return RECORD_FAILED;
    return append(record, LEDGER_RESERVED, problem);
  }

  record_end settle(const ledger_line& record, std::string& problem) override {
    ledger_line l = record;
    return append(l, l.result.c_str(), problem);
  }

  record_end burn(const ledger_line& record, std::string& problem) override {
    ledger_line l = record;
    l.kind = RECORD_BURN;
    return append(l, l.result.c_str(), problem);
  }

  bool given_elsewhere(const unsigned char mac[6], const std::string& current_mac, std::string& where_text) override {
    std::vector<ledger_line> lines;
    std::string problem;
    if (!ledger_read(path_, lines, problem)) return false;
    const ledger_line* l = ledger_given_elsewhere(lines, mac, current_mac);
    if (l) where_text = "строка " + std::to_string(l->line);
    return l != nullptr;
  }

  bool finished_with(const std::string& sha256, std::vector<std::string>& macs, std::string& problem) override {
    std::vector<ledger_line> lines;
    if (!ledger_read(path_, lines, problem)) return false;
    std::map<std::string, const ledger_line*> last_confirmed, last_line;
    for (const ledger_line& l : lines) {
      if (l.is_burn()) continue;
      if (l.result == LEDGER_CONFIRMED) last_confirmed[l.new_mac] = &l;
      last_line[l.new_mac] = &l;
    }
    std::set<std::string> out;
    for (auto& c : last_confirmed)
      if (c.second->sha256 == sha256) out.insert(c.first);
    for (auto& l : last_line)
      if (l.second->result == LEDGER_RESERVED && l.second->sha256 == sha256) out.insert(l.first);
    macs.assign(out.begin(), out.end());
    return true;
  }

  bool series(series_state& state, std::string& problem) override;
  bool set_block(const mac_block& block, std::string& problem) override;

  bool trace(const trace_query& q, std::vector<trace_entry>& out, std::string& problem) override {
    std::vector<ledger_line> lines;
    if (!ledger_read(path_, lines, problem)) return false;
    std::vector<trace_entry> all = folded(lines);
    out.clear();
    std::string mac = format_mac(q.mac);
    if (q.by == trace_query::BY_MAC) {
      // The lines of work that gave the address: the burn before it belongs
      // to the board's history though the board had another MAC then.
      std::set<std::string> work;
      for (const trace_entry& e : all)
        if (!e.record.is_burn() && e.record.new_mac == mac && !e.record.id.empty()) work.insert(line_of(e.record.id));
      for (const trace_entry& e : all) {
        const ledger_line& r = e.record;
        if (r.new_mac == mac || r.old_mac == mac || (!r.id.empty() && work.count(line_of(r.id)))) out.push_back(e);
      }
    } else if (q.by == trace_query::BY_FIRMWARE) {
      std::map<std::string, std::string> mac_of_line;  // newest confirmed address of each line of work
      for (const trace_entry& e : all)
        if (!e.record.is_burn() && e.record.result == LEDGER_CONFIRMED && !e.record.id.empty())
          mac_of_line[line_of(e.record.id)] = e.record.new_mac;
      for (const trace_entry& e : all) {
        if (!e.record.is_burn() || e.record.sha256 != q.sha256) continue;
        trace_entry t = e;
        auto m = mac_of_line.find(line_of(e.record.id));
        t.mac_now = m != mac_of_line.end() ? m->second : e.record.old_mac;
        out.push_back(t);
      }
    } else {
      for (const trace_entry& e : all)
        if (e.at >= q.since && e.at <= q.until && (q.bench.empty() || e.record.bench == q.bench)) out.push_back(e);
    }
    std::stable_sort(out.begin(), out.end(), [](const trace_entry& a, const trace_entry& b) { return a.at < b.at; });
    return true;
  }

  bool check(ledger_check& report, std::string& problem) override {
    std::vector<ledger_line> lines;
    if (!ledger_read(path_, lines, problem)) return false;
    report = ledger_check();
    for (const ledger_line& l : ledger_unsettled(lines))
      report.warnings.push_back(l.new_mac + " зарезервирован (строка " + std::to_string(l.line) + ", " + l.address +
                                "), но итог не записан: устройство могло его получить");
    std::set<std::string> confirmed;
    for (const ledger_line& l : lines)
      if (!l.is_burn() && l.result == LEDGER_CONFIRMED) confirmed.insert(l.new_mac);
    std::vector<ledger_duplicate> twice = ledger_confirmed_twice(lines);
    for (const ledger_duplicate& d : twice) {
      std::string at;
      for (int n : d.lines) at += (at.empty() ? "" : ", ") + std::string("строка ") + std::to_string(n);
      report.errors.push_back(d.mac + " подтверждён больше одного раза: " + at);
    }
    report.summary = "строк: " + std::to_string(lines.size()) + ", подтверждённых адресов: " +
                     std::to_string(confirmed.size()) + ", подтверждённых дважды: " + std::to_string(twice.size());
    return true;
  }

 private:
  record_end append(ledger_line& record, const char* result, std::string& problem) {
    record.result = result;
    if (record.bench.empty()) record.bench = bench_;
    if (record.operator_name.empty()) record.operator_name = operator_;
    if (record.time.empty()) record.time = ledger_time();
    return ledger_append(path_, record, problem) ? RECORD_DONE : RECORD_FAILED;
  }

  record_end reserve_locked(_regkey& key, ledger_line& record, bool& exhausted, std::string& problem) {
    unsigned char last[6];
    read_last(key, last);
    mac_block block;
    block_found found = read_block(key, block);
    if (found == DAMAGED_BLOCK) {
      problem = damaged_block_problem();
      return RECORD_FAILED;
    }
    std::vector<ledger_line> lines;
    if (!ledger_read(path_, lines, problem)) return RECORD_FAILED;
    unsigned char next[6];
    if (!next_address(lines, last, found == BLOCK ? &block : nullptr, next)) {
      exhausted = true;
      problem = exhausted_text(block);
      return RECORD_FAILED;
    }
    record.new_mac = format_mac(next);
    return append(record, LEDGER_RESERVED, problem);
  }

  std::string path_, bench_, operator_;
};

bool file_ledger::series(series_state& state, std::string& problem) {
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (key._ERROR) {
    problem = settings_problem();
    return false;
  }
  std::vector<ledger_line> lines;
  if (!ledger_read(path_, lines, problem)) return false;
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

bool file_ledger::set_block(const mac_block& block, std::string& problem) {
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

}  // namespace

std::unique_ptr<mac_ledger> open_file_ledger(const std::string& path, const std::string& bench,
                                             const std::string& operator_name) {
  return std::unique_ptr<mac_ledger>(new file_ledger(path, bench, operator_name));
}

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

bool follow_last_mac(const unsigned char mac[6]) {
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  if (key._ERROR || key._READ_ONLY) return false;
  bool locked = key.lock();
  mac_block block;
  bool has_block = read_block(key, block) == BLOCK;
  // Boards of a line confirm in any order: "LastMac" only ever moves up.
  unsigned char now[6];
  bool ahead = read_mac(key, SETTINGS_LAST_MAC, now) && mac_in_series(now) &&
               mac_series_number(now) >= mac_series_number(mac) && (!has_block || mac_in_block(block, now));
  bool stored = ahead || (locked && key.set_binary(mac, 6, SETTINGS_LAST_MAC));
  if (locked) key.unlock();
  return stored;
}
