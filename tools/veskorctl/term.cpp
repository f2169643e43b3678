// veskorctl: what reaches the terminal, and the signals that end a run.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "tools/veskorctl/ctl.h"

namespace ctl {

report_settings REPORT;
volatile int STOP = 0;

namespace {

// How often the progress line may be redrawn: more is only flicker.
const uint32_t REDRAW_MS = 100;

void write_utf8(FILE* f, const std::string& cp1251) {
  std::string u = plat::to_utf8(cp1251.c_str(), (int)cp1251.size());
  std::fwrite(u.data(), 1, u.size(), f);
}

// What the handler says, made UTF-8 beforehand: the handler may only write.
char g_stop_text[256];
size_t g_stop_len = 0;

volatile sig_atomic_t g_stop_ends_burn = 0;

void on_signal(int sig) {
  if (STOP) {
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  STOP = 1;
  ssize_t r = write(2, g_stop_text, g_stop_len);
  (void)r;
}

void set_stop_text(const char* cp1251) {
  std::string text = plat::to_utf8((std::string("\nveskorctl: ") + cp1251 + "\n").c_str());
  g_stop_len = std::min(text.size(), sizeof g_stop_text);
  std::memcpy(g_stop_text, text.data(), g_stop_len);
}

std::string minutes_seconds(double s) {
  if (s < 0) s = 0;
  long t = (long)(s + 0.5);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
  return buf;
}

}  // namespace

bool isatty_stderr() { return isatty(2) == 1; }

void out(const std::string& cp1251) {
  write_utf8(stdout, cp1251);
  std::fflush(stdout);
}

void outln(const std::string& cp1251) { out(cp1251 + "\n"); }

void out_stderr(const std::string& cp1251) {
  write_utf8(stderr, cp1251);
  std::fflush(stderr);
}

void err(const std::string& cp1251) {
  // One line, whatever the text held.
  std::string t = cp1251;
  for (char& c : t)
    if (c == '\n' || c == '\r') c = ' ';
  clear_progress();
  write_utf8(stderr, "veskorctl: " + t + "\n");
  std::fflush(stderr);
}

bool arg_text(const char* utf8, std::string& cp1251) {
  size_t n = std::strlen(utf8);
  if (!plat::is_utf8(utf8, n)) return false;
  cp1251 = plat::from_utf8(utf8);
  // Characters without a cp1251 form are dropped by the conversion; a text
  // that lost any is refused rather than silently changed.
  return plat::to_utf8(cp1251.c_str(), (int)cp1251.size()) == std::string(utf8, n);
}

void stop_ends_burn(const char* notice) {
  // Called before the device work begins, so no signal has been handled
  // yet that could meet the text half-changed.
  set_stop_text(notice);
  g_stop_ends_burn = 1;
}

void install_signals() {
  set_stop_text("прерывание: начатое будет закончено (повторный сигнал прервёт сразу)");
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // The blocking device calls go on after the handler; only the loops
  // between them look at STOP.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

// ---- what a board's report shows ----------------------------------------------------

namespace {
bool g_drawn = false;  // a progress line stands on the terminal
}

void clear_progress() {
  if (!g_drawn) return;
  g_drawn = false;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

void board_report::message(const char* text) {
  said_++;
  // The device calls repeat their passes within a budget, and a refused
  // password says so in every pass: once is enough on a terminal.
  if (last_ == text) return;
  last_ = text;
  err(text);
}

bool board_report::confirm(const char* question) {
  said_++;
  last_.clear();
  err(std::string(question) + (REPORT.answer_yes ? " - да (--yes)" : " - нет (--yes ответил бы «да»)"));
  return REPORT.answer_yes;
}

void board_report::burn_started(int) {
  start_ = plat::tick();
  drawn_at_ = 0;
  last_.clear();
}

void board_report::page_done(int pos, int max) {
  if (!REPORT.tty) return;
  uint32_t now = plat::tick();
  if (g_drawn && pos < max && now - drawn_at_ < REDRAW_MS) return;
  drawn_at_ = now;
  double elapsed = (now - start_) / 1000.0;
  double kb = (double)pos * geometry_.page_size / 1024.0;
  char line[256];
  std::snprintf(line, sizeof line, "Прошивка устройства %s: страница %d/%d, %d%%", address_.c_str(), pos, max,
                max > 0 ? (int)((long long)pos * 100 / max) : 100);
  std::string s = line;
  if (elapsed > 0.2 && pos > 0) {
    double rate = kb / elapsed;
    double left = (max - pos) * (elapsed / pos);
    std::snprintf(line, sizeof line, ", %.1f кБ/с, осталось %s", rate, minutes_seconds(left).c_str());
    s += line;
  }
  write_utf8(stderr, "\r\033[K" + s);
  std::fflush(stderr);
  g_drawn = true;
}

void board_report::burn_ended() { clear_progress(); }

bool board_report::stop_requested() { return g_stop_ends_burn && STOP; }

}  // namespace ctl
