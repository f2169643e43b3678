// veskorctl: what reaches the terminal, and the signals that end a run.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "loadhex/hexfile.h"
#include "platform/base.h"
#include "tools/veskorctl/ctl.h"
#include "workflow/ledger.h"
#include "workflow/session_board.h"

namespace ctl {

namespace {

std::string utf8(const std::string& cp1251) { return plat::to_utf8(cp1251.c_str(), (int)cp1251.size()); }

// The run whose stream the command's own lines go through, so that they
// never tear its rows; none before main has made it (a usage error).
std::atomic<event_stream*> g_output{nullptr};
// The run the signals stop.
run* volatile g_signalled = nullptr;

// What the handler says, made UTF-8 beforehand: the handler may only write.
char g_stop_text[256];
size_t g_stop_len = 0;

// What the second signal says of the boards it leaves, kept ready by the
// left_on_signal consumer in two buffers: the handler writes the one last
// finished, never one being written.
char g_left[2][8192];
size_t g_left_len[2] = {0, 0};
volatile sig_atomic_t g_left_at = 0;

void set_stop_text(const char* cp1251) {
  std::string text = plat::to_utf8((std::string("\nveskorctl: ") + cp1251 + "\n").c_str());
  g_stop_len = std::min(text.size(), sizeof g_stop_text);
  std::memcpy(g_stop_text, text.data(), g_stop_len);
}

void print(FILE* f, const std::string& utf8_line) {
  if (event_stream* s = g_output.load()) {
    s->print(f, utf8_line);
    return;
  }
  std::fputs((utf8_line + "\n").c_str(), f);
  std::fflush(f);
}

}  // namespace

void on_signal(int sig) {
  run* r = g_signalled;
  if (!r || r->stop_) {
    ssize_t w = write(2, g_left[g_left_at], g_left_len[g_left_at]);
    (void)w;
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  r->stop_ = 1;
  ssize_t w = write(2, g_stop_text, g_stop_len);
  (void)w;
}

void set_left_text(const std::string& utf8_text) {
  int next = 1 - g_left_at;
  size_t n = std::min(utf8_text.size(), sizeof g_left[next]);
  std::memcpy(g_left[next], utf8_text.data(), n);
  g_left_len[next] = n;
  g_left_at = next;
}

bool isatty_stderr() { return isatty(2) == 1; }
bool isatty_stdout() { return isatty(1) == 1; }

void out(const std::string& cp1251) {
  std::string u = utf8(cp1251);
  // Whole lines go through the run's stream, so that they never tear its
  // rows.
  if (!u.empty() && u.back() == '\n') {
    u.pop_back();
    print(stdout, u);
    return;
  }
  std::fwrite(u.data(), 1, u.size(), stdout);
  std::fflush(stdout);
}

void outln(const std::string& cp1251) { print(stdout, utf8(cp1251)); }

void out_stderr(const std::string& cp1251) {
  std::string u = utf8(cp1251);
  std::fwrite(u.data(), 1, u.size(), stderr);
  std::fflush(stderr);
}

void err(const std::string& cp1251) {
  // One line, whatever the text held.
  std::string t = cp1251;
  for (char& c : t)
    if (c == '\n' || c == '\r') c = ' ';
  print(stderr, utf8("veskorctl: " + t));
}

bool arg_text(const char* utf8_text, std::string& cp1251) {
  size_t n = std::strlen(utf8_text);
  if (!plat::is_utf8(utf8_text, n)) return false;
  cp1251 = plat::from_utf8(utf8_text);
  // Characters without a cp1251 form are dropped by the conversion; a text
  // that lost any is refused rather than silently changed.
  return plat::to_utf8(cp1251.c_str(), (int)cp1251.size()) == std::string(utf8_text, n);
}

// ---- the run ----------------------------------------------------------------------------

namespace {
std::string ledger_location_of(const options& o) { return ledger_location(o.ledger); }
}  // namespace

run::run(const options& o, view_mode mode)
    : opts(o), password(device_password(o.password)), image(HEX_IMAGE_SIZE, 0xFF),
      ledger_location(ledger_location_of(o)), ledger(open_ledger(ledger_location, bench_name(o.bench), operator_name())),
      mode_(mode), terminal_(mode) {
  events.subscribe(&terminal_);
  if (mode == view_mode::json) events.subscribe(&json_);
  events.subscribe(&left_);
  if (ledger && ledger->is_database()) {
    live.attach(ledger.get());
    events.subscribe(&live);
  }
  g_output = &events;
}

run::~run() {
  g_output = nullptr;
  if (g_signalled == this) g_signalled = nullptr;
}

void run::stop_ends_burn(const char* notice) {
  // Called before the device work begins, so no signal has been handled
  // yet that could meet the text half-changed.
  set_stop_text(notice);
  burn_stops_ = 1;
}

void install_signals(run& r) {
  set_stop_text("прерывание: начатое будет закончено (повторный сигнал прервёт сразу)");
  g_signalled = &r;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // The blocking device calls go on after the handler; only the loops
  // between them look at the stop flag.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  // A reader of the output that went away (a `| head`) must not kill the
  // program halfway through a burn, leaving the board in programming mode
  // with half an image: the lines are lost, the work is finished.
  signal(SIGPIPE, SIG_IGN);
}

int first_failure(std::initializer_list<std::function<int()>> checks) {
  for (const auto& check : checks) {
    int r = check();
    if (r >= 0) return r;
  }
  return -1;
}

// ---- what a board's session reports ---------------------------------------------------

void board_report::message(const char* text) {
  // The device calls repeat their passes within a budget, and a refused
  // password says so in every pass: once is enough on a terminal.
  if (last_ == text) return;
  last_ = text;
  run_.events.message(row_, text);
}

bool board_report::confirm(const char* question) {
  last_.clear();
  bool yes = run_.answer_yes();
  run_.events.message(row_, std::string(question) + (yes ? " - да (--yes)" : " - нет (--yes ответил бы «да»)"));
  return yes;
}

void board_report::page_done(int done, int pages) { run_.events.page(row_, done, pages, geometry_.page_size); }

void board_report::exchanged(const exchange_note& note) {
  if (run_.verbose()) run_.events.exchange(row_, note);
}

}  // namespace ctl
