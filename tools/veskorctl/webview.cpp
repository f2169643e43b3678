// veskorctl: the line view. The page and its endpoints over Debian's
// cpp-httplib; the boards in flight from this process's event stream, the
// period's figures from the line's record. Texts are cp1251 inside and
// UTF-8 on the wire: every body is converted once, at the edge.
#include "tools/veskorctl/webview.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "platform/base.h"
#include "platform/net.h"
#include "tools/veskorctl/ctl.h"
#include "workflow/series.h"

namespace ctl {

namespace {

std::string utf8(const std::string& cp1251) { return plat::to_utf8(cp1251.c_str(), (int)cp1251.size()); }

long long now_seconds() { return (long long)std::time(nullptr); }

// The fields of a flat JSON object of texts and whole numbers (the benches'
// notes), as their UTF-8 texts; anything else reads as nothing.
std::map<std::string, std::string> flat_json(const std::string& j) {
  std::map<std::string, std::string> out;
  size_t i = 0;
  auto text = [&](std::string& v) {
    if (i >= j.size() || j[i] != '"') return false;
    for (i++; i < j.size() && j[i] != '"'; i++) {
      if (j[i] != '\\') {
        v += j[i];
        continue;
      }
      if (++i >= j.size()) return false;
      char c = j[i];
      if (c == 'u' && i + 4 < j.size()) {
        unsigned code = (unsigned)std::strtoul(j.substr(i + 1, 4).c_str(), nullptr, 16);
        if (code < 0x80) v += (char)code;  // only control characters come escaped
        i += 4;
      } else {
        v += c == 'n' ? '\n' : c == 't' ? '\t' : c;
      }
    }
    if (i >= j.size()) return false;
    i++;
    return true;
  };
  auto skip = [&] {
    while (i < j.size() && (j[i] == ' ' || j[i] == ',' || j[i] == ':' || j[i] == '{')) i++;
  };
  for (;;) {
    skip();
    std::string key, value;
    if (!text(key)) break;
    skip();
    if (i < j.size() && j[i] == '"') {
      if (!text(value)) break;
    } else {
      while (i < j.size() && j[i] != ',' && j[i] != '}') value += j[i++];
    }
    out[key] = value;
  }
  return out;
}

}  // namespace

// ---- the sink -----------------------------------------------------------------------------

void view_sink::push(const std::string& utf8_message) {
  auto shared = std::make_shared<const std::string>(utf8_message);
  for (auto& c : clients_) {
    client& k = c.second;
    if (k.resync) continue;  // its queue is gone; it reads the whole state again
    if (k.queue.size() >= QUEUE_BOUND) {
      k.queue.clear();
      k.resync = true;
      continue;
    }
    k.queue.push_back(shared);
  }
}

void view_sink::on(const board_event& e, const std::vector<board_state>& in_flight) {
  std::string j = event_json(e, page_at_);
  std::lock_guard<std::mutex> hold(lock_);
  switch (e.kind) {
    case event_kind::paged:
      // Only the board's own row changed: a copy of every row for each
      // page of each board would cost a panel of boards for nothing.
      for (board_state& b : flight_)
        if (b.id == e.board.id) b = e.board;
      break;
    case event_kind::finished: {
      finished_board f;
      f.at = now_seconds();
      f.board = e.board;
      f.result = e.result ? e.result : "";
      f.mac = e.mac;
      f.why = e.why;
      if (f.result == "skipped") {
        skipped_.push_back(f.at);
        if (skipped_.size() > 100000) skipped_.pop_front();
      }
      recent_.push_front(f);
      if (recent_.size() > RECENT) recent_.pop_back();
      flight_ = in_flight;
      break;
    }
    case event_kind::joined:
    case event_kind::renamed:
    case event_kind::staged:
    case event_kind::dropped: flight_ = in_flight; break;
    default: break;
  }
  if (j.empty() || clients_.empty() || !own_events_) return;
  push("data: " + utf8(j) + "\n\n");
  wake_.notify_all();
}

void view_sink::broadcast(const std::string& utf8_message) {
  std::lock_guard<std::mutex> hold(lock_);
  if (clients_.empty()) return;
  push(utf8_message);
  wake_.notify_all();
}

void view_sink::resync_all() {
  std::lock_guard<std::mutex> hold(lock_);
  for (auto& c : clients_) {
    c.second.queue.clear();
    c.second.resync = true;
  }
  wake_.notify_all();
}

int view_sink::open_client() {
  std::lock_guard<std::mutex> hold(lock_);
  if (stopped_ || (int)clients_.size() >= MAX_CLIENTS) return -1;
  int id = next_client_++;
  // A page that lost the server asks again every two seconds.
  clients_[id].queue.push_back(std::make_shared<const std::string>("retry: 2000\n\n"));
  return id;
}

void view_sink::close_client(int id) {
  std::lock_guard<std::mutex> hold(lock_);
  clients_.erase(id);
}

bool view_sink::take(int id, uint32_t ms, std::string& out) {
  std::unique_lock<std::mutex> hold(lock_);
  auto ready = [&] {
    auto c = clients_.find(id);
    return stopped_ || c == clients_.end() || c->second.resync || !c->second.queue.empty();
  };
  wake_.wait_for(hold, std::chrono::milliseconds(ms), ready);
  // What comes within a tenth of a second goes out together: a line of
  // boards says something many times a second, and a page woken for each
  // would cost the view more than all the rest.
  if (!stopped_) {
    hold.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(COALESCE_MS));
    hold.lock();
  }
  auto c = clients_.find(id);
  if (stopped_ || c == clients_.end()) return false;
  if (c->second.resync) {
    out += "event: resync\ndata: {}\n\n";
    c->second.resync = false;
  }
  for (auto& m : c->second.queue) out += *m;
  c->second.queue.clear();
  return true;
}

void view_sink::stop() {
  std::lock_guard<std::mutex> hold(lock_);
  stopped_ = true;
  wake_.notify_all();
}

std::vector<board_state> view_sink::in_flight() const {
  std::lock_guard<std::mutex> hold(lock_);
  return flight_;
}

std::vector<finished_board> view_sink::recent() const {
  std::lock_guard<std::mutex> hold(lock_);
  return std::vector<finished_board>(recent_.begin(), recent_.end());
}

int view_sink::skipped_since(long long at) const {
  std::lock_guard<std::mutex> hold(lock_);
  return (int)std::count_if(skipped_.begin(), skipped_.end(), [&](long long t) { return t >= at; });
}

// ---- the figures of a period --------------------------------------------------------------

bool period_start(const std::string& period, long long now, long long& since) {
  if (period == "1h") since = now - 3600;
  else if (period == "8h") since = now - 8 * 3600;
  else if (period == "24h") since = now - 24 * 3600;
  else if (period == "7d") since = now - 7 * 24 * 3600;
  else if (period == "shift" || period.empty()) {
    time_t t = (time_t)now;
    struct tm local;
    localtime_r(&t, &local);
    int hour = local.tm_hour >= 22 ? 22 : local.tm_hour >= 14 ? 14 : local.tm_hour >= 6 ? 6 : -2;
    local.tm_hour = hour;  // -2: 22:00 of the day before, which mktime works out
    local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    since = (long long)mktime(&local);
  } else {
    return false;
  }
  return true;
}

namespace {

// How far before a period its records are read: a board first tried in
// the shift before is not first tried in this one.
constexpr long long LOOK_BACK = 24 * 3600;

// A line's cause as people read it.
const char* reason_of(const work_line& w) {
  if (w.stage == "mac") return "MAC-адрес не принят";
  if (w.stage == "programming") return "режим программирования не включился";
  if (w.stage == "burn") return "прошивка не удалась";
  return "ошибка";
}

}  // namespace

void figure_period(const std::vector<trace_entry>& records, long long since, long long until, period_figures& f) {
  f = period_figures();
  f.since = since;
  f.until = until;
  // Lines of work, in the order they began.
  std::map<std::string, size_t> by_line;
  std::vector<work_line> all;
  std::vector<std::string> mac_result;  // the last MAC step's result of each line
  for (size_t i = 0; i < records.size(); i++) {
    const ledger_line& r = records[i].record;
    std::string key = r.id.empty() ? "#" + std::to_string(i) : line_of(r.id);
    auto found = by_line.find(key);
    if (found == by_line.end()) {
      found = by_line.emplace(key, all.size()).first;
      work_line w;
      w.id = key;
      w.bench = r.bench;
      w.address = r.address;
      w.name = r.name;
      w.old_mac = r.old_mac;
      w.firmware = r.firmware;
      w.begun = records[i].at;
      w.result = "open";
      all.push_back(w);
      mac_result.push_back("");
    }
    work_line& w = all[found->second];
    w.ended = std::max(w.ended, records[i].at);
    if (w.name.empty()) w.name = r.name;
    if (r.is_burn()) {
      if (r.result == BURN_FAILED) {
        w.result = "failed";
        w.stage = r.stage.empty() ? "burn" : r.stage;
        w.page = r.page;
      } else if (r.result == BURN_FLASHED) {
        w.result = "done";
      }
    } else {
      mac_result[found->second] = r.result;
      if (w.old_mac.empty()) w.old_mac = r.old_mac;
      w.new_mac = r.new_mac;
    }
  }
  for (size_t i = 0; i < all.size(); i++) {
    work_line& w = all[i];
    const std::string& mac = mac_result[i];
    if (w.result == "failed" || mac.empty()) continue;
    // A MAC step settles the line: the board is done when it took its
    // address, failed when it refused it, open while that is not known.
    if (mac == LEDGER_CONFIRMED) {
      w.result = "done";
    } else if (mac == LEDGER_FAILED) {
      w.result = "failed";
      w.stage = "mac";
    } else {
      w.result = "open";
    }
  }
  // One physical board across its lines of work: a line that begins with
  // the MAC an earlier line gave, or came with, is the same board again.
  std::map<std::string, int> board_of;
  std::map<int, bool> tried;
  int boards = 0;
  for (work_line& w : all) {
    auto b = w.old_mac.empty() ? board_of.end() : board_of.find(w.old_mac);
    w.board = b != board_of.end() ? b->second : boards++;
    if (!w.old_mac.empty()) board_of[w.old_mac] = w.board;
    if (w.result == "done" && !w.new_mac.empty()) board_of[w.new_mac] = w.board;
    if (w.result != "open" && !tried[w.board]) {
      tried[w.board] = true;
      w.first = true;
    }
  }
  long long hour0 = since - ((since % 3600) + 3600) % 3600;
  // Hours only for a period a chart can show (the metrics read all time).
  if (until >= hour0 && until - hour0 <= 8 * 24 * 3600) f.done_per_hour.assign((size_t)((until - hour0) / 3600 + 1), 0);
  for (const work_line& w : all)
    if (w.ended >= since && w.ended <= until) f.lines.push_back(w);
  std::stable_sort(f.lines.begin(), f.lines.end(), [](const work_line& a, const work_line& b) { return a.ended < b.ended; });
  std::map<std::string, size_t> cause_at;
  for (size_t i = 0; i < f.lines.size(); i++) {
    const work_line& w = f.lines[i];
    if (w.result == "open") continue;
    bench_figures& b = f.benches[w.bench];
    bool done = w.result == "done";
    for (bench_figures* t : {&b, &f.line}) {
      (done ? t->done : t->failed)++;
      if (w.first) {
        t->attempted++;
        if (done) t->first_pass++;
      }
    }
    if (done) {
      size_t hour = (size_t)((w.ended - hour0) / 3600);
      if (hour < f.done_per_hour.size()) f.done_per_hour[hour]++;
      continue;
    }
    std::string key = w.stage + "\n" + reason_of(w);
    auto c = cause_at.find(key);
    if (c == cause_at.end()) {
      c = cause_at.emplace(key, f.causes.size()).first;
      cause_count n;
      n.stage = w.stage;
      n.reason = reason_of(w);
      f.causes.push_back(n);
    }
    cause_count& n = f.causes[c->second];
    n.count++;
    n.latest.insert(n.latest.begin(), i);
    if (n.latest.size() > 3) n.latest.pop_back();
  }
  std::stable_sort(f.causes.begin(), f.causes.end(),
                   [](const cause_count& a, const cause_count& b) { return a.count > b.count; });
}

// ---- the server -------------------------------------------------------------------------

bool listen_arg(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  host = text.substr(0, colon);
  std::string p = text.substr(colon + 1);
  uint32_t addr;
  if (!plat::parse_ipv4(host.c_str(), &addr) || host.find(' ') != std::string::npos) return false;
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::stoi(p);
  return port <= 65535;
}

namespace {

// Worker threads: every open page holds one for its event stream, and the
// figures and the page itself need some beside them.
constexpr int WORKERS = view_sink::MAX_CLIENTS + 32;
// How long the figures of a period are kept: fifty pages asking at once
// read the record once.
constexpr uint32_t FIGURES_MS = 2000;

std::string json_num(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

std::string yield_json(const bench_figures& b) {
  return b.attempted ? json_num((double)b.first_pass / b.attempted) : "null";
}

std::string figures_json(const bench_figures& b) {
  return "\"done\":" + std::to_string(b.done) + ",\"failed\":" + std::to_string(b.failed) +
         ",\"attempted\":" + std::to_string(b.attempted) + ",\"first_pass\":" + std::to_string(b.first_pass) +
         ",\"yield\":" + yield_json(b);
}

std::string work_json(const work_line& w) {
  return "{\"at\":" + std::to_string(w.ended) + ",\"bench\":" + json_text(w.bench) +
         ",\"address\":" + json_text(w.address) + ",\"name\":" + json_text(w.name) +
         ",\"old_mac\":" + json_text(w.old_mac) + ",\"new_mac\":" + json_text(w.new_mac) +
         ",\"result\":" + json_text(w.result) + ",\"stage\":" + json_text(w.stage) +
         ",\"page\":" + (w.page >= 0 ? std::to_string(w.page) : "null") + ",\"first\":" + (w.first ? "true" : "false") +
         "}";
}

// A label value of the metrics text.
std::string label(const std::string& cp1251) {
  std::string u = utf8(cp1251), out;
  for (char c : u) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

struct web_view::impl {
  mac_ledger* ledger;
  std::string bench;
  event_stream* events;
  view_sink sink;
  httplib::Server server;
  std::thread thread;
  int port = 0;
  bool started = false;

  std::mutex figures_lock;
  std::map<std::string, std::pair<uint32_t, std::string>> cached;  // period: made at, body

  // ---- the whole line, from the database's live state ----
  // Every bench's boards and what each bench is doing, kept from a snapshot
  // and the benches' notifications; every notification goes on to the
  // pages as it came. Without a database the line is this process.
  bool line_wide = false;
  std::mutex line_lock;
  std::map<std::string, live_board> line_boards;  // bench "\n" address
  std::map<std::string, live_bench> line_benches;
  std::atomic<bool> feeding{false};
  std::thread feed;

  void feed_loop() {
    bool listening = false, fresh = false;
    while (feeding) {
      std::vector<std::string> notes;
      if (!listening) {
        // Listening first, then the snapshot: nothing said in between is lost.
        if (!ledger->changes(notes, 0)) {
          plat::sleep_ms(500);
          continue;
        }
        listening = true;
        fresh = false;
      }
      if (!fresh) {
        std::vector<live_board> boards;
        std::vector<live_bench> benches;
        std::string problem;
        if (!ledger->live(boards, benches, problem)) {
          plat::sleep_ms(500);
          continue;
        }
        {
          std::lock_guard<std::mutex> hold(line_lock);
          line_boards.clear();
          line_benches.clear();
          for (const live_board& b : boards) line_boards[b.bench + "\n" + b.address] = b;
          for (const live_bench& b : benches) line_benches[b.bench] = b;
        }
        fresh = true;
        sink.resync_all();
      }
      if (!ledger->changes(notes, 500)) {
        listening = false;  // the server went away: a new snapshot once it is back
        continue;
      }
      for (const std::string& n : notes) {
        take_note(n);
        sink.broadcast("data: " + n + "\n\n");
      }
    }
  }

  // One note of a bench (its own flat JSON: texts and whole numbers).
  void take_note(const std::string& note) {
    std::map<std::string, std::string> f = flat_json(note);
    long long now = now_seconds();
    std::lock_guard<std::mutex> hold(line_lock);
    if (f["kind"] == "bench") {
      live_bench& b = line_benches[plat::from_utf8(f["bench"].c_str())];
      b.bench = plat::from_utf8(f["bench"].c_str());
      b.state = f["state"];
      b.seen = now;
      return;
    }
    live_board b;
    b.bench = plat::from_utf8(f["bench"].c_str());
    b.address = plat::from_utf8(f["board"].c_str());
    b.name = plat::from_utf8(f["name"].c_str());
    b.stage = f["result"].empty() ? f["stage"] : f["result"];
    b.page = std::atoi(f["page"].c_str());
    b.total = std::atoi(f["total"].c_str());
    b.since = std::atoll(f["since"].c_str());
    b.updated = now;
    line_boards[b.bench + "\n" + b.address] = b;
    line_benches[b.bench].seen = now;
  }

  // A bench is not seen once it has said nothing for this long (it says
  // what it does every second).
  static constexpr long long UNSEEN_S = 30;

  bool finished_stage(const std::string& s) const {
    return s == "done" || s == "failed" || s == "skipped" || s == "gone";
  }

  // The records the period's figures need; false with problem.
  bool figures(long long since, period_figures& f, std::string& problem) {
    trace_query q;
    q.by = trace_query::BY_PERIOD;
    q.since = since - LOOK_BACK;
    std::vector<trace_entry> records;
    if (!ledger || !ledger->trace(q, records, problem)) {
      if (!ledger) problem = "журнал не открывается";
      return false;
    }
    figure_period(records, since, now_seconds(), f);
    return true;
  }

  std::string line_in_flight_json() {
    std::string j = "[";
    long long now = now_seconds();
    std::lock_guard<std::mutex> hold(line_lock);
    for (const auto& e : line_boards) {
      const live_board& b = e.second;
      auto bench = line_benches.find(b.bench);
      // A bench that stopped saying anything left its boards where they
      // were: they are not being worked, whatever their last stage.
      bool seen = bench != line_benches.end() && now - bench->second.seen < UNSEEN_S &&
                  bench->second.state != "stopped";
      if (finished_stage(b.stage) || !seen) continue;
      if (j.size() > 1) j += ",";
      j += "{\"bench\":" + json_text(b.bench) + ",\"address\":" + json_text(b.address) + ",\"name\":" +
           json_text(b.name) + ",\"stage\":" + json_text(b.stage) + ",\"stage_text\":null" +
           ",\"page\":" + (b.total > 0 ? std::to_string(b.page) : "null") +
           ",\"total\":" + (b.total > 0 ? std::to_string(b.total) : "null") + ",\"rate\":null" +
           ",\"seconds\":" + std::to_string(std::max(0LL, now - b.since)) + "}";
    }
    return j + "]";
  }

  // Each bench's state for the page: "running", "waiting", "ledger_wait",
  // "stopped", or "unseen" with the time it was seen last.
  std::map<std::string, std::pair<std::string, long long>> bench_states() {
    std::map<std::string, std::pair<std::string, long long>> out;
    long long now = now_seconds();
    std::lock_guard<std::mutex> hold(line_lock);
    for (const auto& b : line_benches) {
      std::string state = b.second.state.empty() ? "running" : b.second.state;
      if (state != "stopped" && now - b.second.seen >= UNSEEN_S) state = "unseen";
      out[b.first] = {state, b.second.seen};
    }
    return out;
  }

  int line_flying(const std::string& bench) {
    int n = 0;
    long long now = now_seconds();
    std::lock_guard<std::mutex> hold(line_lock);
    auto h = line_benches.find(bench);
    if (h == line_benches.end() || now - h->second.seen >= UNSEEN_S || h->second.state == "stopped") return 0;
    for (const auto& e : line_boards)
      if (e.second.bench == bench && !finished_stage(e.second.stage)) n++;
    return n;
  }

  std::string in_flight_json() {
    if (line_wide) return line_in_flight_json();
    std::string j = "[";
    uint32_t now = plat::tick();
    for (const board_state& b : sink.in_flight()) {
      double seconds = (now - b.since) / 1000.0;
      std::string rate = "null";
      if (b.total > 0 && b.done > 0 && seconds > 0.2) rate = json_num(b.done * (double)b.page_size / 1024.0 / seconds);
      if (j.size() > 1) j += ",";
      j += "{\"bench\":" + json_text(bench) + ",\"address\":" + json_text(b.address) + ",\"name\":" + json_text(b.name) +
           ",\"stage\":\"" + stage_key(b.at) + "\",\"stage_text\":" + json_text(stage_text(b.at)) +
           ",\"page\":" + (b.total > 0 ? std::to_string(b.done) : "null") +
           ",\"total\":" + (b.total > 0 ? std::to_string(b.total) : "null") + ",\"rate\":" + rate +
           ",\"seconds\":" + json_num(std::floor(seconds)) + "}";
    }
    return j + "]";
  }

  std::string line_body(const std::string& period, long long since) {
    period_figures f;
    std::string problem;
    bool read = figures(since, f, problem);
    std::set<std::string> benches;
    if (!line_wide) benches.insert(bench);
    for (auto& b : f.benches) benches.insert(b.first);
    std::map<std::string, std::pair<std::string, long long>> states;
    if (line_wide) states = bench_states();
    for (auto& b : states) benches.insert(b.first);
    std::vector<board_state> flight = sink.in_flight();
    std::string j = "{\"period\":" + json_text(period) + ",\"since\":" + std::to_string(since) +
                    ",\"until\":" + std::to_string(f.until) + ",\"this_bench\":" + json_text(bench) +
                    ",\"ledger\":" + json_text(ledger ? ledger->where() : "") +
                    ",\"problem\":" + (read ? "null" : json_text(problem)) + ",\"benches\":[";
    bool first = true;
    for (const std::string& name : benches) {
      int flying = line_wide ? line_flying(name) : name == bench ? (int)flight.size() : 0;
      std::string state = "null", seen = "null";
      auto st = states.find(name);
      if (st != states.end()) {
        state = json_text(st->second.first);
        seen = std::to_string(st->second.second);
      } else if (!line_wide && name == bench) {
        state = flight.empty() ? "\"waiting\"" : "\"running\"";
      }
      j += std::string(first ? "" : ",") + "{\"bench\":" + json_text(name) + ",\"in_flight\":" +
           std::to_string(flying) + ",\"state\":" + state + ",\"seen\":" + seen + "," +
           figures_json(f.benches[name]) + "}";
      first = false;
    }
    j += "],\"in_flight\":" + in_flight_json();
    j += ",\"line\":{" + figures_json(f.line) + ",\"skipped\":" + std::to_string(sink.skipped_since(since)) + "}";
    j += ",\"causes\":[";
    for (size_t i = 0; i < f.causes.size(); i++) {
      const cause_count& c = f.causes[i];
      j += std::string(i ? "," : "") + "{\"stage\":" + json_text(c.stage) + ",\"reason\":" + json_text(c.reason) +
           ",\"count\":" + std::to_string(c.count) + ",\"latest\":[";
      for (size_t k = 0; k < c.latest.size(); k++) j += std::string(k ? "," : "") + work_json(f.lines[c.latest[k]]);
      j += "]}";
    }
    long long hour0 = f.since - ((f.since % 3600) + 3600) % 3600;
    j += "],\"per_hour\":{\"from\":" + std::to_string(hour0) + ",\"done\":[";
    for (size_t i = 0; i < f.done_per_hour.size(); i++) j += (i ? "," : "") + std::to_string(f.done_per_hour[i]);
    j += "]},\"latest\":[";
    int shown = 0;
    for (auto w = f.lines.rbegin(); w != f.lines.rend() && shown < 50; ++w, ++shown)
      j += (shown ? "," : "") + work_json(*w);
    j += "],\"finished_here\":[";
    first = true;
    for (const finished_board& b : sink.recent()) {
      j += std::string(first ? "" : ",") + "{\"at\":" + std::to_string(b.at) + ",\"address\":" +
           json_text(b.board.address) + ",\"name\":" + json_text(b.board.name) + ",\"result\":" + json_text(b.result) +
           ",\"mac\":" + json_text(b.mac) + ",\"why\":" + json_text(b.why) + "}";
      first = false;
    }
    return utf8(j + "]}");
  }
};

web_view::web_view(mac_ledger* ledger, const std::string& bench, event_stream* events) : impl_(new impl) {
  impl_->ledger = ledger;
  impl_->bench = bench;
  impl_->events = events;
  if (events) events->subscribe(&impl_->sink);
}

web_view::~web_view() {
  stop();
  impl_->feeding = false;
  if (impl_->feed.joinable()) impl_->feed.join();
  if (impl_->events) impl_->events->unsubscribe(&impl_->sink);
}

int web_view::port() const { return impl_->port; }

bool web_view::line_json(const std::string& period, std::string& body) {
  long long since;
  if (!period_start(period, now_seconds(), since)) return false;
  std::lock_guard<std::mutex> hold(impl_->figures_lock);
  auto& c = impl_->cached[period];
  uint32_t now = plat::tick();
  if (c.second.empty() || now - c.first >= FIGURES_MS) c = {now, impl_->line_body(period, since)};
  body = c.second;
  return true;
}

std::string web_view::metrics_text() {
  period_figures all, shift;
  std::string problem;
  long long since;
  period_start("shift", now_seconds(), since);
  {
    std::lock_guard<std::mutex> hold(impl_->figures_lock);
    impl_->figures(-(1LL << 60), all, problem);
    impl_->figures(since, shift, problem);
  }
  std::string t;
  t += "# HELP veskor_boards_total Boards finished on record, by bench and result (skipped: by this process).\n";
  t += "# TYPE veskor_boards_total counter\n";
  std::set<std::string> benches{impl_->bench};
  for (auto& b : all.benches) benches.insert(b.first);
  for (const std::string& b : benches) {
    const bench_figures& f = all.benches[b];
    t += "veskor_boards_total{bench=\"" + label(b) + "\",result=\"done\"} " + std::to_string(f.done) + "\n";
    t += "veskor_boards_total{bench=\"" + label(b) + "\",result=\"failed\"} " + std::to_string(f.failed) + "\n";
  }
  t += "veskor_boards_total{bench=\"" + label(impl_->bench) + "\",result=\"skipped\"} " +
       std::to_string(impl_->sink.skipped_since(-(1LL << 60))) + "\n";
  t += "# HELP veskor_failures_total Boards failed on record, by bench and the stage they failed at.\n";
  t += "# TYPE veskor_failures_total counter\n";
  std::map<std::pair<std::string, std::string>, int> failures;
  for (const work_line& w : all.lines)
    if (w.result == "failed") failures[{w.bench, w.stage}]++;
  for (auto& f : failures)
    t += "veskor_failures_total{bench=\"" + label(f.first.first) + "\",cause=\"" + label(f.first.second) + "\"} " +
         std::to_string(f.second) + "\n";
  t += "# HELP veskor_boards_in_flight Boards being worked on now (every bench of a line on a database).\n";
  t += "# TYPE veskor_boards_in_flight gauge\n";
  if (impl_->line_wide) {
    for (auto& b : impl_->bench_states())
      t += "veskor_boards_in_flight{bench=\"" + label(b.first) + "\"} " + std::to_string(impl_->line_flying(b.first)) + "\n";
  } else {
    t += "veskor_boards_in_flight{bench=\"" + label(impl_->bench) + "\"} " +
         std::to_string(impl_->sink.in_flight().size()) + "\n";
  }
  t += "# HELP veskor_first_pass_yield Boards first tried this shift that were done at that try, of those tried.\n";
  t += "# TYPE veskor_first_pass_yield gauge\n";
  for (auto& b : shift.benches)
    if (b.second.attempted)
      t += "veskor_first_pass_yield{bench=\"" + label(b.first) + "\"} " +
           json_num((double)b.second.first_pass / b.second.attempted) + "\n";
  return t;
}

bool web_view::trace_json(const std::string& mac_text, std::string& body, int& status) {
  trace_query q;
  q.by = trace_query::BY_MAC;
  if (!parse_mac(mac_text.c_str(), q.mac)) {
    status = 400;
    body = "{\"error\":\"mac\"}";
    return false;
  }
  std::vector<trace_entry> entries;
  std::string problem;
  if (!impl_->ledger || !impl_->ledger->trace(q, entries, problem)) {
    status = 503;
    body = utf8("{\"error\":" + json_text(problem) + "}");
    return false;
  }
  std::string j = "[";
  for (size_t i = 0; i < entries.size(); i++) j += (i ? "," : "") + trace_entry_json(entries[i], false);
  body = utf8(j + "]");
  status = 200;
  return true;
}

bool web_view::start(const std::string& host, int port, std::string& problem) {
  impl& v = *impl_;
  httplib::Server& s = v.server;
  s.new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
  // An idle page's connection gives its worker back soon.
  s.set_keep_alive_timeout(2);
  s.set_read_timeout(5);
  // A page that stops reading is let go of rather than waited for.
  s.set_write_timeout(5);
  s.set_payload_max_length(4096);
  s.set_default_headers({{"Cache-Control", "no-store"},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:"}});
  auto asset = [](const char* path, const char* type) {
    return [path, type](const httplib::Request&, httplib::Response& res) {
      for (size_t i = 0; i < PAGE_ASSET_COUNT; i++)
        if (std::string(PAGE_ASSETS[i].path) == path)
          res.set_content(reinterpret_cast<const char*>(PAGE_ASSETS[i].data), PAGE_ASSETS[i].size, type);
    };
  };
  s.Get("/", asset("/index.html", "text/html; charset=utf-8"));
  s.Get("/app.js", asset("/app.js", "text/javascript; charset=utf-8"));
  s.Get("/style.css", asset("/style.css", "text/css; charset=utf-8"));
  s.Get("/api/line", [this](const httplib::Request& req, httplib::Response& res) {
    std::string period = req.has_param("period") ? req.get_param_value("period") : "shift";
    std::string body;
    if (!line_json(period, body)) {
      res.status = 400;
      res.set_content("{\"error\":\"period\"}", "application/json");
      return;
    }
    res.set_content(body, "application/json; charset=utf-8");
  });
  s.Get("/api/trace", [this](const httplib::Request& req, httplib::Response& res) {
    std::string body;
    int status = 200;
    trace_json(req.get_param_value("mac"), body, status);
    res.status = status;
    res.set_content(body, "application/json; charset=utf-8");
  });
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics_text(), "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get("/api/events", [&v](const httplib::Request&, httplib::Response& res) {
    int id = v.sink.open_client();
    if (id < 0) {
      res.status = 503;
      return;
    }
    res.set_chunked_content_provider(
        "text/event-stream",
        [&v, id](size_t, httplib::DataSink& sink) {
          std::string out;
          if (!v.sink.take(id, 10000, out)) return false;
          // A comment now and then finds a page that has gone.
          if (out.empty()) out = ":\n\n";
          return sink.write(out.data(), out.size());
        },
        [&v, id](bool) { v.sink.close_client(id); });
  });
  if (port == 0) {
    v.port = s.bind_to_any_port(host.c_str());
  } else {
    v.port = s.bind_to_port(host.c_str(), port) ? port : -1;
  }
  if (v.port <= 0) {
    problem = "веб-просмотр: адрес " + host + ":" + std::to_string(port) + " не занять";
    return false;
  }
  v.thread = std::thread([&s] { s.listen_after_bind(); });
  if (v.ledger && v.ledger->is_database() && !v.feeding) {
    v.line_wide = true;
    v.sink.own_events(false);
    v.feeding = true;
    v.feed = std::thread([&v] { v.feed_loop(); });
  }
  // stop() ends only a server that is listening already.
  while (!s.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  v.started = true;
  return true;
}

void web_view::stop() {
  impl& v = *impl_;
  if (!v.started) return;
  v.started = false;
  v.sink.stop();
  v.server.stop();
  if (v.thread.joinable()) v.thread.join();
}

// ---- veskorctl view ------------------------------------------------------------------------

int cmd_view(run& r) {
  std::string host = "127.0.0.1";
  int port = 8480;
  if (!r.opts.listen.empty() && !listen_arg(r.opts.listen, host, port))
    return bad_usage("--listen ждёт АДРЕС:ПОРТ, например 127.0.0.1:8480, а не " + shown_arg(r.opts.listen), "view");
  std::string problem;
  if (r.ledger && !r.ledger->ready(problem)) err("предупреждение: " + problem);
  web_view view(r.ledger.get(), bench_name(r.opts.bench), &r.events);
  if (!view.start(host, port, problem)) {
    err(problem);
    return EXIT_USAGE;
  }
  err("веб-просмотр линии: http://" + host + ":" + std::to_string(view.port()) + "/ (Ctrl+C - закончить)");
  while (!r.stopping()) plat::sleep_ms(100);
  view.stop();
  return EXIT_DONE;
}

}  // namespace ctl
