// veskorctl trace: the line's record read back — a board's history by its
// MAC, every board a firmware went onto (a recall), everything of a period
// — over either back end, as a table, JSON lines or CSV for a spreadsheet.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/base.h"
#include "tools/veskorctl/ctl.h"
#include "workflow/ledger.h"
#include "workflow/series.h"
#include "workflow/workflow.h"

namespace ctl {

namespace {

// A time of the command line: a day ("2026-12-10") or a moment
// ("2026-12-10T14:30", with seconds and an offset when wanted; local time
// without one). A day given for --until means the whole day.
bool time_arg(const std::string& text, bool until, long long& at) {
  if (!record_time(text, at)) return false;
  if (until && text.size() == 10) at += 24 * 3600 - 1;
  return true;
}

const char* result_text(const ledger_line& r) {
  if (r.is_burn()) {
    if (r.result == BURN_FLASHED) return "прошита";
    if (r.result == BURN_FAILED) return "ошибка";
    return "начата, итог не записан";
  }
  if (r.result == LEDGER_CONFIRMED) return "подтверждён";
  if (r.result == LEDGER_FAILED) return "не принят";
  return "зарезервирован, итог не записан";
}

std::string failed_where(const ledger_line& r) {
  if (!r.is_burn() || r.result != BURN_FAILED) return "";
  std::string s = r.stage.empty() ? "" : "этап " + r.stage;
  if (r.page >= 0) s += (s.empty() ? "" : ", ") + std::string("страница ") + std::to_string(r.page);
  return s;
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A field for the CSV output: UTF-8, quoted when it must be.
std::string csv_out(const std::string& cp1251) {
  std::string u = plat::to_utf8(cp1251.c_str(), (int)cp1251.size());
  for (char& c : u)
    if ((unsigned char)c < 0x20) c = ' ';
  if (u.find_first_of(",\"") == std::string::npos) return u;
  std::string q = "\"";
  for (char c : u) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

void print_entries(const std::vector<trace_entry>& entries, const options& o, bool firmware) {
  if (o.csv) {
    outln("time,bench,operator,address,name,kind,old_mac,new_mac,firmware,sha256,target,result,stage,page,mac_now");
    for (const trace_entry& e : entries) {
      const ledger_line& r = e.record;
      std::string fields[] = {r.time,     r.bench,  r.operator_name, r.address, r.name,  r.kind.empty() ? RECORD_MAC : r.kind,
                              r.old_mac,  r.new_mac, r.firmware,     r.sha256,  r.target, r.result,
                              r.stage,    r.page >= 0 ? std::to_string(r.page) : "", e.mac_now};
      std::string line;
      for (const std::string& f : fields) line += (line.empty() ? "" : ",") + csv_out(f);
      outln(line);
    }
    return;
  }
  if (o.json) {
    for (const trace_entry& e : entries) outln(trace_entry_json(e, firmware));
    return;
  }
  outln(pad("Время", 26) + pad("Стенд", 12) + pad("Оператор", 10) + pad("Адрес", 16) + pad("Имя", 17) +
        pad("Запись", 9) + pad(firmware ? "MAC сейчас" : "MAC", 37) + pad("Прошивка", 24) + "Итог");
  for (const trace_entry& e : entries) {
    const ledger_line& r = e.record;
    std::string mac = firmware ? e.mac_now : r.is_burn() ? r.old_mac : (r.old_mac.empty() ? "?" : r.old_mac) + " -> " + r.new_mac;
    std::string fw = r.firmware.empty() ? "-" : base_name(r.firmware);
    if (!r.sha256.empty()) fw += " " + r.sha256.substr(0, 8);
    std::string result = result_text(r);
    std::string where = failed_where(r);
    if (!where.empty()) result += " (" + where + ")";
    if (r.target == TARGET_COPROCESSOR) result += ", сопроцессор";
    outln(pad(r.time, 26) + pad(r.bench.empty() ? "-" : r.bench, 12) + pad(r.operator_name.empty() ? "-" : r.operator_name, 10) +
          pad(r.address, 16) + pad(r.name.empty() ? "-" : r.name, 17) + pad(r.is_burn() ? "прошивка" : "MAC", 9) +
          pad(mac, 37) + pad(fw, 24) + result);
  }
}

// The entries q asks for, printed as format's options say.
int query(run& r, const trace_query& q, bool firmware, const options& format) {
  int code = r.ledger_ok();
  if (code >= 0) return code;
  std::vector<trace_entry> entries;
  std::string problem;
  if (!r.ledger->trace(q, entries, problem)) {
    err(problem);
    return EXIT_FILE;
  }
  print_entries(entries, format, firmware);
  if (entries.empty() && !format.json && !format.csv) err("записей нет");
  return EXIT_DONE;
}

}  // namespace

std::string trace_entry_json(const trace_entry& e, bool firmware) {
  const ledger_line& r = e.record;
  std::string j = "{\"time\":" + json_text(r.time) + ",\"bench\":" + json_text(r.bench) +
                  ",\"operator\":" + json_text(r.operator_name) + ",\"address\":" + json_text(r.address) +
                  ",\"name\":" + json_text(r.name) + ",\"kind\":" + json_text(r.is_burn() ? RECORD_BURN : RECORD_MAC) +
                  ",\"old_mac\":" + json_text(r.old_mac) + ",\"new_mac\":" + json_text(r.new_mac) +
                  ",\"firmware\":" + json_text(r.firmware) + ",\"sha256\":" + json_text(r.sha256) +
                  ",\"target\":" + json_text(r.target) + ",\"result\":" + json_text(r.result) +
                  ",\"stage\":" + json_text(r.stage) + ",\"page\":" + (r.page >= 0 ? std::to_string(r.page) : "null");
  if (firmware) j += ",\"mac_now\":" + json_text(e.mac_now);
  return j + "}";
}

int print_whole_record(run& r) {
  options csv = r.opts;
  csv.csv = true;
  return query(r, trace_query(), false, csv);
}

int cmd_trace(run& r) {
  const options& o = r.opts;
  trace_query q;
  bool period = !o.since.empty() || !o.until.empty();
  int asked = (int)!o.args.empty() + (int)!o.firmware.empty() + (int)period;
  if (asked != 1) return bad_usage("нужно одно из: MAC-адрес, --firmware или --since/--until", "trace");
  if (o.json && o.csv) return bad_usage("--json и --csv вместе не задаются", "trace");
  if (!o.bench.empty() && !period) return bad_usage("--bench отбирает записи периода (--since/--until)", "trace");
  if (!o.args.empty()) {
    q.by = trace_query::BY_MAC;
    if (!parse_mac(o.args[0].c_str(), q.mac))
      return bad_usage("MAC-адрес - шесть пар шестнадцатеричных цифр, а не " + shown_arg(o.args[0]), "trace");
  } else if (!o.firmware.empty()) {
    q.by = trace_query::BY_FIRMWARE;
    std::string f = o.firmware;
    bool digest = f.size() == 64 && f.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (digest) {
      for (char& c : f) c = (char)std::tolower((unsigned char)c);
      q.sha256 = f;
    } else {
      std::string path;
      int code = readable_file(f, "Файл прошивки", path);
      if (code >= 0) return code;
      if (!sha256_file(path.c_str(), q.sha256, MAX_FIRMWARE_FILE)) {
        err("Файл прошивки " + path + " не читается");
        return EXIT_FILE;
      }
    }
  } else {
    q.by = trace_query::BY_PERIOD;
    if (!o.since.empty() && !time_arg(o.since, false, q.since))
      return bad_usage("время задаётся как 2026-12-10 или 2026-12-10T14:30, а не " + shown_arg(o.since), "trace");
    if (!o.until.empty() && !time_arg(o.until, true, q.until))
      return bad_usage("время задаётся как 2026-12-10 или 2026-12-10T14:30, а не " + shown_arg(o.until), "trace");
    q.bench = o.bench;
  }
  return query(r, q, q.by == trace_query::BY_FIRMWARE, o);
}

}  // namespace ctl
