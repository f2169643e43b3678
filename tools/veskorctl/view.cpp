// veskorctl: the consumers of a run's board events that people and scripts
// read: the terminal (rows redrawn in place, timestamped lines, or results
// only), JSON events, and what a second signal says of the boards it leaves.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/base.h"
#include "tools/veskorctl/ctl.h"

namespace ctl {

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

void put(FILE* f, const std::string& utf8_text) {
  std::fputs(utf8_text.c_str(), f);
  std::fflush(f);
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
    case stage::ledger_wait: return "прошито, осталось в режиме программирования; MAC-адрес не выдан";
    case stage::leaving: return "выход из режима программирования не подтверждён";
    case stage::done: return "готово";
  }
  return "";
}

// The line's pace is the boards it finished: a failed board is work the
// line still owes, and a run of refusals must not read as a fast one.
double boards_per_minute(const board_event& summary) {
  double minutes = summary.ms / 60000.0;
  return minutes > 0 ? summary.done / minutes : 0;
}

std::string exchange_text(const board_state& b, const exchange_note& n) {
  char text[160];
  std::string at = clock_text(true).substr(11, 12);  // HH:MM:SS.mmm
  int len = std::snprintf(text, sizeof text, "%s %s: запрос %04X", at.c_str(), b.address.c_str(), n.request);
  if (n.request & (0x0010 | 0x0020)) len += std::snprintf(text + len, sizeof text - len, " стр. %u", n.page);
  if (!n.sent) std::snprintf(text + len, sizeof text - len, " не отправлен");
  else if (n.reply_len < 0) std::snprintf(text + len, sizeof text - len, " -> нет ответа");
  else std::snprintf(text + len, sizeof text - len, " -> ответ %d байт, флаги %04X", n.reply_len, n.reply_flags);
  return text;
}

}  // namespace

// ---- the terminal -------------------------------------------------------------------------

std::string terminal_view::row_text(const board_state& r) const {
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

void terminal_view::erase() {
  if (drawn_ == 0) return;
  char buf[32];
  std::snprintf(buf, sizeof buf, "\033[%dA\r\033[J", drawn_);
  put(stderr, buf);
  drawn_ = 0;
}

void terminal_view::redraw(const std::vector<board_state>& rows, bool force) {
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
  for (const board_state& r : rows) {
    std::string t = row_text(r);
    if (t.size() > width) t.resize(width);
    block += utf8(t) + "\033[K\n";
  }
  block += "\033[J";
  put(stderr, block);
  drawn_ = (int)rows.size();
}

// A line that stands on the terminal for good, above the rows.
void terminal_view::line_above(FILE* f, const std::string& utf8_text, const std::vector<board_state>& rows) {
  erase();
  put(f, utf8_text + "\n");
  redraw(rows, true);
}

void terminal_view::summary(const board_event& e) {
  erase();
  if (mode_ == view_mode::quiet || mode_ == view_mode::json) return;
  double per_minute = boards_per_minute(e);
  long s = (long)((e.ms + 500) / 1000);
  char text[200];
  std::snprintf(text, sizeof text, "итог: готово %d, ошибок %d, пропущено %d, время %ld:%02ld, %.1f плат/мин", e.done,
                e.failed, e.skipped, s / 60, s % 60, per_minute);
  put(stderr, utf8(text) + "\n");
}

void terminal_view::on(const board_event& e, const std::vector<board_state>& rows) {
  switch (e.kind) {
    case event_kind::joined:
    case event_kind::dropped: erase(); redraw(rows, true); break;
    case event_kind::renamed: break;
    case event_kind::staged:
      if (mode_ == view_mode::lines) {
        erase();
        put(stderr, utf8(clock_text(false) + " " + e.board.address + (e.board.name.empty() ? "" : " " + e.board.name) +
                         ": " + stage_text(e.board.at)) +
                        "\n");
      }
      redraw(rows, true);
      break;
    case event_kind::paged: redraw(rows, e.board.done == e.board.total); break;
    case event_kind::said:
      line_above(stderr, utf8("veskorctl: " + (e.board.id ? e.board.address + ": " : std::string()) + e.text), rows);
      break;
    case event_kind::exchanged: line_above(stderr, utf8(exchange_text(e.board, e.note)), rows); break;
    case event_kind::finished:
      erase();
      if (mode_ != view_mode::json && !e.text.empty()) {
        std::string u = utf8(e.text) + "\n";
        put(stdout, u);
        // The permanent line stands on the terminal too when the results
        // go to a file.
        if (mode_ == view_mode::live && !isatty_stdout()) put(stderr, u);
      }
      redraw(rows, true);
      break;
    case event_kind::summed: summary(e); break;
    case event_kind::printed: line_above(e.to, e.text, rows); break;
  }
}

// ---- JSON events --------------------------------------------------------------------------

namespace {

std::string board_json(const board_state& r, const char* result, const std::string& mac, const std::string& message) {
  std::string j = "{\"time\":\"" + clock_text(true) + "\",\"board\":" + json_text(r.address) +
                  ",\"name\":" + json_or_null(r.name) + ",\"stage\":\"" + stage_key(r.at) + "\"";
  if (r.total > 0) j += ",\"page\":" + std::to_string(r.done) + ",\"total\":" + std::to_string(r.total);
  else j += ",\"page\":null,\"total\":null";
  j += std::string(",\"result\":") + (result ? "\"" + std::string(result) + "\"" : "null");
  j += ",\"mac\":" + json_or_null(mac) + ",\"message\":" + json_or_null(message) + "}";
  return j;
}

}  // namespace

std::string event_json(const board_event& e, std::map<int, uint32_t>& page_at) {
  switch (e.kind) {
    case event_kind::staged: return board_json(e.board, nullptr, "", "");
    case event_kind::paged: {
      uint32_t now = plat::tick();
      uint32_t& at = page_at[e.board.id];
      if (e.board.done == e.board.total || e.board.done == 1 || now - at >= JSON_PAGE_MS) {
        at = now;
        return board_json(e.board, nullptr, "", "");
      }
      return "";
    }
    case event_kind::said: return e.board.id ? board_json(e.board, nullptr, "", e.text) : "";
    case event_kind::finished:
      page_at.erase(e.board.id);
      return e.board.id ? board_json(e.board, e.result, e.mac, e.why) : "";
    case event_kind::dropped: page_at.erase(e.board.id); return "";
    case event_kind::summed: {
      char text[256];
      std::snprintf(text, sizeof text,
                    "{\"time\":\"%s\",\"board\":null,\"stage\":\"summary\",\"done\":%d,\"failed\":%d,\"skipped\":%d,"
                    "\"seconds\":%.1f,\"per_minute\":%.1f}",
                    clock_text(true).c_str(), e.done, e.failed, e.skipped, e.ms / 1000.0, boards_per_minute(e));
      return text;
    }
    default: return "";
  }
}

void json_view::on(const board_event& e, const std::vector<board_state>&) {
  std::string j = event_json(e, page_at_);
  if (!j.empty()) put(stdout, utf8(j) + "\n");
}

// ---- what a second signal leaves behind ---------------------------------------------------

void left_on_signal::on(const board_event& e, const std::vector<board_state>& rows) {
  if (e.kind == event_kind::printed || e.kind == event_kind::said || e.kind == event_kind::exchanged ||
      e.kind == event_kind::summed)
    return;
  // The text names every board in flight: made again for each page of each
  // board, it would cost a panel of boards more than their burns. A page
  // count a quarter of a second old says as much.
  if (e.kind == event_kind::paged && e.board.done != e.board.total && plat::tick() - made_at_ < 250) return;
  made_at_ = plat::tick();
  std::string text;
  if (!rows.empty()) {
    // A row may stand on the terminal: the text begins on a line of its own.
    text = "\n" + utf8("veskorctl: прервано повторным сигналом; осталось в работе:") + "\n";
    for (const board_state& r : rows) {
      std::string line = "veskorctl:   " + r.address + (r.name.empty() ? "" : " " + r.name) + ": " + stage_text(r.at);
      if (r.total > 0) line += ", стр. " + std::to_string(r.done) + "/" + std::to_string(r.total);
      text += utf8(line + " - " + left_as(r.at)) + "\n";
    }
  }
  set_left_text(text);
}

}  // namespace ctl
