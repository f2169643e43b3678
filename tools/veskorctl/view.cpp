// veskorctl: the view of the line, the boards in flight and the finished
// ones, on a terminal, as plain lines or as JSON events.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/base.h"
#include "tools/veskorctl/ctl.h"

namespace ctl {

line_view VIEW;

// A cp1251 text as a JSON string (out goes UTF-8).
std::string json_text(const std::string& cp1251) {
  std::string j = "\"";
  for (unsigned char c : cp1251) {
    if (c == '"' || c == '\\') {
      j += '\\';
      j += (char)c;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      j += buf;
    } else {
      j += (char)c;
    }
  }
  return j + "\"";
}


namespace {

// How often the rows on the terminal may be redrawn: more is only flicker.
constexpr uint32_t REDRAW_MS = 100;
// How often a board's page events go out as JSON: a dashboard wants the
// progress, not every one of 256 pages.
constexpr uint32_t JSON_PAGE_MS = 250;

std::string utf8(const std::string& cp1251) { return plat::to_utf8(cp1251.c_str(), (int)cp1251.size()); }

const char* stage_key(stage s) {
  switch (s) {
    case stage::waiting: return "waiting";
    case stage::identify: return "identify";
    case stage::programming: return "programming";
    case stage::burn: return "burn";
    case stage::check: return "verify";
    case stage::read: return "read";
    case stage::mac: return "mac";
    case stage::leaving: return "leaving";
    case stage::done: return "done";
  }
  return "";
}

const char* stage_text(stage s) {
  switch (s) {
    case stage::waiting: return "ожидание";
    case stage::identify: return "опрос";
    case stage::programming: return "режим программирования";
    case stage::burn: return "прошивка";
    case stage::check: return "сверка";
    case stage::read: return "чтение";
    case stage::mac: return "MAC-адрес";
    case stage::leaving: return "выход из режима";
    case stage::done: return "готово";
  }
  return "";
}

// What a board is left as when the process ends in this stage.
const char* left_as(stage s) {
  switch (s) {
    case stage::waiting:
    case stage::identify: return "не тронуто";
    case stage::programming: return "могло остаться в режиме программирования";
    case stage::burn: return "прошито не полностью, осталось в режиме программирования";
    case stage::check:
    case stage::read: return "осталось в режиме программирования";
    case stage::mac:
      return "осталось в режиме программирования; MAC-адрес мог быть записан (veskorctl ledger --check)";
    case stage::leaving: return "выход из режима программирования не подтверждён";
    case stage::done: return "готово";
  }
  return "";
}

std::string clock_text(bool millis) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm t;
  localtime_r(&ts.tv_sec, &t);
  char buf[64];
  if (millis) {
    char zone[8];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
    strftime(zone, sizeof zone, "%z", &t);
    std::string z = zone;
    if (z.size() == 5) z.insert(3, ":");
    char ms[24];
    std::snprintf(ms, sizeof ms, ".%03ld", (long)(ts.tv_nsec / 1000000) % 1000);
    return std::string(buf) + ms + z;
  }
  strftime(buf, sizeof buf, "%H:%M:%S", &t);
  return buf;
}

std::string json_or_null(const std::string& cp1251) { return cp1251.empty() ? "null" : json_text(cp1251); }

int terminal_width() {
  winsize w;
  if (ioctl(2, TIOCGWINSZ, &w) == 0 && w.ws_col > 10) return w.ws_col;
  return 80;
}

}  // namespace

void line_view::setup(view_mode mode, bool verbose, bool answer_yes) {
  std::lock_guard<std::mutex> hold(lock_);
  mode_ = mode;
  verbose_ = verbose;
  answer_yes_ = answer_yes;
}

line_view::row* line_view::find(int id) {
  for (row& r : rows_)
    if (r.id == id) return &r;
  return nullptr;
}

int line_view::add(const std::string& address, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  row r;
  r.id = next_id_++;
  r.address = address;
  r.name = name;
  rows_.push_back(r);
  left_locked();
  redraw_locked(true);
  return r.id;
}

void line_view::rename(int id, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  if (row* r = find(id)) r->name = name;
  left_locked();
}

void line_view::set_stage(int id, stage s) {
  std::lock_guard<std::mutex> hold(lock_);
  row* r = find(id);
  if (!r) return;
  r->at = s;
  r->done = r->total = 0;
  r->since = plat::tick();
  left_locked();
  switch (mode_) {
    case view_mode::live: redraw_locked(true); break;
    case view_mode::lines: {
      erase_locked();
      std::string line = clock_text(false) + " " + r->address + (r->name.empty() ? "" : " " + r->name) + ": " +
                         stage_text(s);
      std::fputs((utf8(line) + "\n").c_str(), stderr);
      std::fflush(stderr);
      break;
    }
    case view_mode::json: event_locked(*r, nullptr, "", ""); break;
    case view_mode::quiet: break;
  }
}

void line_view::page(int id, int done, int total, int page_size) {
  std::lock_guard<std::mutex> hold(lock_);
  row* r = find(id);
  if (!r) return;
  r->done = done;
  r->total = total;
  r->page_size = page_size;
  left_locked();
  if (mode_ == view_mode::live) {
    redraw_locked(done == total);
  } else if (mode_ == view_mode::json) {
    uint32_t now = plat::tick();
    if (done == total || done == 1 || now - r->json_at >= JSON_PAGE_MS) {
      r->json_at = now;
      event_locked(*r, nullptr, "", "");
    }
  }
}

void line_view::message(int id, const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  row* r = find(id);
  std::string who = r ? r->address + ": " : std::string();
  erase_locked();
  std::fputs((utf8("veskorctl: " + who + text) + "\n").c_str(), stderr);
  std::fflush(stderr);
  if (mode_ == view_mode::json && r) event_locked(*r, nullptr, "", text);
  redraw_locked(true);
}

void line_view::exchange(int id, const exchange_note& n) {
  std::lock_guard<std::mutex> hold(lock_);
  row* r = find(id);
  char text[160];
  std::string at = clock_text(true).substr(11, 12);  // HH:MM:SS.mmm
  int len = std::snprintf(text, sizeof text, "%s %s: запрос %04X", at.c_str(), r ? r->address.c_str() : "", n.request);
  if (n.request & (0x0010 | 0x0020)) len += std::snprintf(text + len, sizeof text - len, " стр. %u", n.page);
  if (!n.sent) std::snprintf(text + len, sizeof text - len, " не отправлен");
  else if (n.reply_len < 0) std::snprintf(text + len, sizeof text - len, " -> нет ответа");
  else std::snprintf(text + len, sizeof text - len, " -> ответ %d байт, флаги %04X", n.reply_len, n.reply_flags);
  erase_locked();
  std::fputs((utf8(text) + "\n").c_str(), stderr);
  std::fflush(stderr);
  redraw_locked(true);
}

void line_view::finish(int id, const char* result, const std::string& line, const std::string& mac,
                       const std::string& why) {
  std::lock_guard<std::mutex> hold(lock_);
  row* r = find(id);
  if (r && mode_ == view_mode::json) event_locked(*r, result, mac, why);
  rows_.erase(std::remove_if(rows_.begin(), rows_.end(), [&](const row& x) { return x.id == id; }), rows_.end());
  left_locked();
  erase_locked();
  if (mode_ != view_mode::json && !line.empty()) {
    std::string u = utf8(line) + "\n";
    std::fputs(u.c_str(), stdout);
    std::fflush(stdout);
    // The permanent line stands on the terminal too when the results go to
    // a file.
    if (mode_ == view_mode::live && !isatty_stdout()) {
      std::fputs(u.c_str(), stderr);
      std::fflush(stderr);
    }
  }
  redraw_locked(true);
}

void line_view::drop(int id) {
  std::lock_guard<std::mutex> hold(lock_);
  rows_.erase(std::remove_if(rows_.begin(), rows_.end(), [&](const row& x) { return x.id == id; }), rows_.end());
  left_locked();
  erase_locked();
  redraw_locked(true);
}

void line_view::summary(int done, int failed, int skipped, uint32_t ms) {
  std::lock_guard<std::mutex> hold(lock_);
  erase_locked();
  double minutes = ms / 60000.0;
  double per_minute = minutes > 0 ? (done + failed) / minutes : 0;
  char text[200];
  long s = (long)((ms + 500) / 1000);
  if (mode_ == view_mode::json) {
    std::snprintf(text, sizeof text,
                  "{\"time\":\"%s\",\"board\":null,\"stage\":\"summary\",\"done\":%d,\"failed\":%d,\"skipped\":%d,"
                  "\"seconds\":%.1f,\"per_minute\":%.1f}",
                  clock_text(true).c_str(), done, failed, skipped, ms / 1000.0, per_minute);
    std::fputs((std::string(text) + "\n").c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  if (mode_ == view_mode::quiet) return;
  std::snprintf(text, sizeof text, "итог: готово %d, ошибок %d, пропущено %d, время %ld:%02ld, %.1f плат/мин", done,
                failed, skipped, s / 60, s % 60, per_minute);
  std::fputs((utf8(text) + "\n").c_str(), stderr);
  std::fflush(stderr);
}

void line_view::above(FILE* f, const std::string& utf8_line) {
  std::lock_guard<std::mutex> hold(lock_);
  erase_locked();
  std::fputs((utf8_line + "\n").c_str(), f);
  std::fflush(f);
  redraw_locked(true);
}

std::string line_view::row_text(const row& r) const {
  std::string s = pad(r.address, 16) + pad(r.name.empty() ? "-" : r.name, 17) + pad(stage_text(r.at), 23);
  if (r.total > 0) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "стр. %d/%d %3d%%", r.done, r.total, (int)((long long)r.done * 100 / r.total));
    s += buf;
    uint32_t elapsed = plat::tick() - r.since;
    if (elapsed > 200 && r.done > 0) {
      std::snprintf(buf, sizeof buf, "  %.1f кБ/с", (double)r.done * r.page_size / 1024.0 / (elapsed / 1000.0));
      s += buf;
    }
  }
  return s;
}

void line_view::erase_locked() {
  if (drawn_ == 0) return;
  char buf[32];
  std::snprintf(buf, sizeof buf, "\033[%dA\r\033[J", drawn_);
  std::fputs(buf, stderr);
  std::fflush(stderr);
  drawn_ = 0;
}

void line_view::redraw_locked(bool force) {
  if (mode_ != view_mode::live) return;
  uint32_t now = plat::tick();
  if (!force && now - drawn_at_ < REDRAW_MS) return;
  drawn_at_ = now;
  std::string block;
  char up[32];
  if (drawn_ > 0) {
    std::snprintf(up, sizeof up, "\033[%dA\r", drawn_);
    block += up;
  }
  // Cut to the terminal's width: a row that wrapped would throw the count
  // of lines to go back up off.
  size_t width = (size_t)terminal_width() - 1;
  for (const row& r : rows_) {
    std::string t = row_text(r);
    if (t.size() > width) t.resize(width);
    block += utf8(t) + "\033[K\n";
  }
  block += "\033[J";
  std::fputs(block.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = (int)rows_.size();
}

void line_view::left_locked() {
  std::string text;
  if (!rows_.empty()) {
    // Where a row stands on the terminal, the rows go first: the lines
    // below them must not be taken for rows.
    text = (drawn_ > 0 ? "\n" : "") + utf8("veskorctl: прервано повторным сигналом; осталось в работе:") + "\n";
    for (const row& r : rows_) {
      std::string line = "veskorctl:   " + r.address + (r.name.empty() ? "" : " " + r.name) + ": " + stage_text(r.at);
      if (r.total > 0) line += ", стр. " + std::to_string(r.done) + "/" + std::to_string(r.total);
      text += utf8(line + " - " + left_as(r.at)) + "\n";
    }
  }
  set_left_text(text);
}

void line_view::event_locked(const row& r, const char* result, const std::string& mac, const std::string& message) {
  std::string j = "{\"time\":\"" + clock_text(true) + "\",\"board\":" + json_text(r.address) +
                  ",\"name\":" + json_or_null(r.name) + ",\"stage\":\"" + stage_key(r.at) + "\"";
  if (r.total > 0) j += ",\"page\":" + std::to_string(r.done) + ",\"total\":" + std::to_string(r.total);
  else j += ",\"page\":null,\"total\":null";
  j += std::string(",\"result\":") + (result ? "\"" + std::string(result) + "\"" : "null");
  j += ",\"mac\":" + json_or_null(mac) + ",\"message\":" + json_or_null(message) + "}";
  std::fputs((utf8(j) + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace ctl
