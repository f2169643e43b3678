// veskorctl: the line at scale. flash and batch work up to K boards side by
// side, each through its whole sequence on a thread of its own, all over
// the process's one loader link; a batch keeps looking for new boards and
// lets them join as slots free up.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "netdvc/discovery.h"
#include "platform/base.h"
#include "tools/veskorctl/ctl.h"
#include "tools/veskorctl/steps.h"
#include "tools/veskorctl/webview.h"
#include "workflow/session_board.h"
#include "workflow/workflow.h"

namespace ctl {

namespace {

// A batch looks for new boards this often.
constexpr uint32_t ROUND_MS = 1000;
// A board that failed is tried again only after it has been missing from
// this many rounds in a row and come back: re-seated, not merely busy
// restarting its loader for a moment.
constexpr int ABSENT_ROUNDS = 2;

// A board waiting for the database asks again this often.
constexpr uint32_t LEDGER_RETRY_MS = 1000;

// Nothing to keep alive here while a board restarts its loader.
void sleep_pause(uint32_t ms) { plat::sleep_ms(ms); }

}  // namespace

std::string failure_words(const step_outcome& o, const std::string& explained) {
  if (o.ok()) return "";
  if (o.reported) return explained;
  const char* text = step_text(o.end);
  return text ? text : NO_ANSWER;
}

bool enter_board(session_board& board, board_report& report, std::string& failure) {
  report.fresh();
  step_outcome o = enter_programming(board, sleep_pause);
  failure = failure_words(o);
  return o.ok();
}

void leave_board(session_board& board) {
  if (!board.exit_programming())
    err(board.address() + ": устройство не подтвердило выход из режима программирования");
}

namespace {

// What every board of a run gets done.
struct plan {
  bool batch = false;  // batch's result lines and MAC step; flash's otherwise
  bool mac_next = false;
  bool coprocessor = false;
  bool only_changed = false;
  std::string file, sha;  // for the ledger
};

struct board_result {
  bool ok = false;
  std::string key_before, key_after;  // address and MAC before and after
  int fatal = -1;                     // a settings or ledger failure ends the run
};

std::string key_of(uint32_t addr, const unsigned char* mac) { return address_text(addr) + " " + format_mac(mac); }

std::string ip_of(const found_device& d) { return address_text(d.addr); }

int outcome_exit(mac_outcome r) {
  return r == MAC_LEDGER_FAILED ? EXIT_FILE : r == MAC_REFUSED || r == MAC_TAKEN ? EXIT_DEVICE : EXIT_SETTINGS;
}

std::string batch_line(const std::string& ip, const std::string& name, const std::string& old_mac,
                       const std::string& new_mac) {
  return pad(ip, 16) + pad(name.empty() ? "-" : name, 17) + old_mac + " -> " + pad(new_mac, 18);
}

// One board through the whole line: its identity when only its address is
// known, programming mode, the burn with read-back (or only the pages that
// differ), the next MAC of the series with --mac-next, programming mode
// off. Runs on the calling thread; every step is an event of the run's
// stream, and so is the result.
class board_line {
 public:
  board_line(run& r, const plan& p, const found_device& d, bool identified)
      : r_(r), p_(p), d_(d), ip_(ip_of(d)), name_(identified ? device_name(d.name) : ""),
        row_(r.events.add(ip_, name_)), report_(r, row_),
        board_(r.link, d.addr, r.password.c_str(), &report_) {}
  board_result go(bool identified);

 private:
  bool identify();
  void begin_record();
  void end_record(bool flashed, const char* at);
  bool burn();
  bool give_mac();
  void finish();

  run& r_;
  const plan& p_;
  found_device d_;
  std::string ip_, name_;
  int row_;
  board_report report_;
  session_board board_;
  board_result res_;
  std::string old_mac_, new_mac_, failure_;
  std::unique_ptr<burn_on_record> record_;
};

bool board_line::identify() {
  r_.events.set_stage(row_, stage::identify);
  board_identity id;
  if (!board_.session().identify(id)) {
    failure_ = "устройство не отвечает";
    return false;
  }
  std::memcpy(d_.name, id.name, sizeof d_.name);
  std::memcpy(d_.mac, id.mac, 6);
  name_ = device_name(d_.name);
  r_.events.rename(row_, name_);
  return true;
}

bool board_line::burn() {
  r_.events.set_stage(row_, stage::burn);
  report_.fresh();
  step_outcome burnt = flash_image(board_, r_.image.data(), r_.image.size(), p_.coprocessor, p_.only_changed);
  failure_ = burnt.end == STEP_STOPPED ? "прошивка остановлена по сигналу: устройство не прошито"
                                       : failure_words(burnt, "прошивка не удалась");
  return burnt.ok();
}

// The board's record of the burn, begun before programming mode goes on.
void board_line::begin_record() {
  ledger_device device;
  device.name = name_;
  device.old_mac = old_mac_;
  device.firmware = p_.file;
  device.sha256 = p_.sha;
  record_.reset(new burn_on_record(r_.ledger.get(), ip_, device, p_.coprocessor));
  if (!record_->problem.empty()) err(ip_ + ": запись о прошивке не сохранена: " + record_->problem);
}

void board_line::end_record(bool flashed, const char* at) {
  if (!record_) return;
  record_->end(flashed, at, board_.pages_done());
  if (!record_->problem.empty()) err(ip_ + ": итог прошивки не сохранён в журнале: " + record_->problem);
}

bool board_line::give_mac() {
  r_.events.set_stage(row_, stage::mac);
  ledger_device device;
  device.name = name_;
  device.old_mac = old_mac_;
  device.firmware = p_.file;
  device.sha256 = p_.sha;
  if (record_) device.line_id = record_->id();
  report_.fresh();
  mac_step step = assign_series_mac(*r_.ledger, board_, device);
  // No address is reserved while the database is away: the board waits,
  // in programming mode, and goes on by itself when it is back. The same
  // attempt is given again, so that a reservation whose commit was lost on
  // the way is found rather than made twice.
  if (step.outcome == MAC_LEDGER_AWAY) {
    r_.events.set_stage(row_, stage::ledger_wait);
    r_.events.message(row_, "жду журнал: " + step.problem);
    while (step.outcome == MAC_LEDGER_AWAY && !r_.stopping()) {
      plat::sleep_ms(LEDGER_RETRY_MS);
      step = assign_series_mac(*r_.ledger, board_, device, step.attempt);
    }
    if (step.outcome == MAC_LEDGER_AWAY) {
      failure_ = "MAC-адрес не выдан: журнал недоступен, прервано";
      return false;
    }
    r_.events.set_stage(row_, stage::mac);
  }
  if (!step.problem.empty()) err(step.problem);
  if (step.outcome == MAC_TAKEN) {
    new_mac_ = format_mac(step.mac);
    res_.key_after = key_of(d_.addr, step.mac);
    if (!step.stored) err("MAC-адрес не сохранён в настройках (LastMac); журнал держит серию дальше");
    return true;
  }
  if (step.outcome == MAC_REFUSED) {
    std::string why = failure_words(step.as_step());
    failure_ = "MAC-адрес " + format_mac(step.mac) + " не принят" + (why.empty() ? "" : ": " + why);
  } else {
    failure_ = step.outcome == MAC_SERIES_EXHAUSTED ? step.problem : "MAC-адрес не выдан";
    res_.fatal = outcome_exit(step.outcome);
  }
  return false;
}

// The result into the stream: batch's line for every board, flash's for a
// flashed one (a failure is a message of its own).
void board_line::finish() {
  bool ok = res_.ok;
  std::string line;
  if (p_.batch) {
    line = batch_line(ip_, name_, old_mac_, new_mac_.empty() ? "-" : new_mac_) +
           (ok ? "готово" : "ошибка: " + (failure_.empty() ? std::string("см. выше") : failure_));
  } else if (ok) {
    line = ip_ + ": Прошилось (" + pages_text(board_.session().geometry()) + ", каждая проверена чтением)";
  } else if (!failure_.empty()) {
    err(ip_ + ": " + failure_);
  }
  r_.events.finish(row_, ok ? "done" : "failed", line, new_mac_, failure_);
}

board_result board_line::go(bool identified) {
  bool ok = identified || identify();
  old_mac_ = format_mac(d_.mac);
  res_.key_before = res_.key_after = key_of(d_.addr, d_.mac);
  if (ok) {
    begin_record();
    r_.events.set_stage(row_, stage::programming);
    ok = enter_board(board_, report_, failure_);
    if (!ok) end_record(false, "programming");
  }
  if (ok) {
    bool burnt = burn();
    end_record(burnt, "burn");
    ok = burnt && (!p_.mac_next || give_mac());
    // Whatever became of the burn and the MAC, the board leaves programming
    // mode.
    r_.events.set_stage(row_, stage::leaving);
    leave_board(board_);
  }
  res_.ok = ok;
  finish();
  return res_;
}

board_result run_board(run& r, const plan& p, const found_device& d, bool identified) {
  return board_line(r, p, d, identified).go(identified);
}

// The boards being worked on, one thread each, and never two at one
// address: two sessions of one board would take each other's answers for
// their own and keep each other alive for ever, whatever the board's answers
// say of its MAC or name.
class board_threads {
 public:
  explicit board_threads(run& r) : run_(r) {}
  ~board_threads() { wait_all(); }
  size_t running() const { return jobs_.size(); }
  bool busy(uint32_t addr) const {
    for (const auto& j : jobs_)
      if (j->addr == addr) return true;
    return false;
  }
  // False, and nothing started, while the board's address is busy.
  bool start(const plan& p, const found_device& d, bool identified) {
    if (busy(d.addr)) return false;
    std::unique_ptr<job> j(new job);
    job* raw = j.get();
    raw->addr = d.addr;
    run& r = run_;
    raw->thread = std::thread([&r, raw, p, d, identified] {
      raw->result = run_board(r, p, d, identified);
      raw->finished = true;
    });
    jobs_.push_back(std::move(j));
    return true;
  }
  // Hands every finished board's result to take and forgets it.
  template <class Take>
  void reap(Take take) {
    for (auto i = jobs_.begin(); i != jobs_.end();) {
      if (!(*i)->finished) {
        ++i;
        continue;
      }
      (*i)->thread.join();
      take((*i)->result);
      i = jobs_.erase(i);
    }
  }
  void wait_all() {
    for (auto& j : jobs_)
      if (j->thread.joinable()) j->thread.join();
  }

 private:
  struct job {
    uint32_t addr = 0;
    std::thread thread;
    std::atomic<bool> finished{false};
    board_result result;
  };
  run& run_;
  std::vector<std::unique_ptr<job>> jobs_;
};

// How many boards at once: K, or every one there is for 0.
bool slot_free(const options& o, size_t running) { return o.parallel <= 0 || running < (size_t)o.parallel; }

// The first of every address: a board named twice, or one that answered a
// round twice with different MACs, is one board.
void one_per_address(std::vector<found_device>& boards) {
  std::set<uint32_t> seen;
  boards.erase(std::remove_if(boards.begin(), boards.end(),
                              [&](const found_device& d) { return !seen.insert(d.addr).second; }),
               boards.end());
}

const char* only_interface(const options& o) { return o.interface.empty() ? nullptr : o.interface.c_str(); }

}  // namespace

// ---- flash -------------------------------------------------------------------------------

namespace {

// The boards flash names: the addresses in front of the file (or none, for
// --all). -1 when they make sense, else the usage error's exit code.
int boards_named(const options& o, std::vector<found_device>& boards) {
  // The file stands last, behind the addresses.
  std::vector<std::string> addresses(o.args.begin(), o.args.end() - 1);
  if (o.all && !addresses.empty()) return bad_usage("--all и адреса вместе не задаются", "flash");
  if (!o.all && addresses.empty()) {
    // One argument that is an address: the file was left out, not the board.
    uint32_t addr;
    if (address_arg(o.args.back(), addr)) return bad_usage("не задан файл прошивки: он стоит последним, после адресов", "flash");
    return bad_usage("нужен адрес устройства или --all", "flash");
  }
  for (const std::string& a : addresses) {
    uint32_t addr;
    if (!address_arg(a, addr)) return bad_usage("неверный адрес устройства: " + shown_arg(a), "flash");
    boards.push_back(board_at(addr));
  }
  return -1;
}

// flash --all: every board one round finds.
int boards_found(run& r, std::vector<found_device>& boards) {
  if (discover_round(r.link, boards, MAX_DEVICES, only_interface(r.opts)) < 0) {
    err("Запрос не отправлен: нет сети");
    return EXIT_DEVICE;
  }
  sort_devices(boards);
  if (boards.empty()) {
    err("Устройства не найдены");
    return EXIT_DEVICE;
  }
  return -1;
}

}  // namespace

int cmd_flash(run& r) {
  const options& o = r.opts;
  std::vector<found_device> boards;
  int named = boards_named(o, boards);
  if (named >= 0) return named;
  plan p;
  int code = first_failure({[&] { return r.interface_ok("flash"); },
                            [&] { return readable_file(o.args.back(), "Файл прошивки", p.file); },
                            [&] { return r.take_password(); }, [&] { return r.read_firmware(p.file, p.sha); },
                            [&] { return r.open_link(); }});
  if (code >= 0) return code;
  p.coprocessor = o.coprocessor;
  p.only_changed = o.only_changed;
  // A signal stops every burn after the page in hand: the boards are left
  // with programming mode off and reported as not flashed, which
  // half-written images they are; a second signal ends the program at once.
  r.stop_ends_burn("прерывание: прошивка остановится после текущей страницы (повторный сигнал прервёт сразу)");
  r.records_ready();
  // Boards a round found have told who they are already.
  bool identified = o.all;
  if (o.all && (code = boards_found(r, boards)) >= 0) return code;
  one_per_address(boards);
  uint32_t start = plat::tick();
  int done = 0, failed = 0;
  {
    board_threads threads(r);
    size_t next = 0;
    while (next < boards.size() || threads.running() > 0) {
      threads.reap([&](const board_result& b) { (b.ok ? done : failed)++; });
      while (next < boards.size() && !r.stopping() && slot_free(o, threads.running()))
        threads.start(p, boards[next++], identified);
      if (r.stopping() && next < boards.size()) next = boards.size();
      plat::sleep_ms(20);
    }
  }
  if (done + failed > 1) r.events.summary(done, failed, 0, plat::tick() - start);
  if (r.stopping() && (size_t)done < boards.size()) return EXIT_INTERRUPTED;
  return failed ? EXIT_DEVICE : EXIT_DONE;
}

// ---- batch -------------------------------------------------------------------------------

namespace {

// A batch: it waits for boards and takes each new one through the line, in
// rounds of four phases: look for boards, retire the failed ones that have
// left, admit the new ones into free slots, reap the finished.
class batch {
 public:
  batch(run& r, const plan& p) : r_(r), o_(r.opts), p_(p), threads_(r) {}
  int go();

 private:
  // Every board on the segment, sorted by address; false when no request
  // could be sent (the bench's cable may be out for a while).
  bool look_for_boards(std::vector<found_device>& found);
  // A failed board is tried again only once it has been missing from
  // ABSENT_ROUNDS rounds in a row and come back: re-seated, not merely busy
  // restarting its loader.
  void retire_absent(const std::vector<found_device>& found);
  // New boards into free slots; finished ones (beside this firmware) are
  // skipped.
  void admit(const std::vector<found_device>& found);
  void reap();
  void read_finished();
  bool already_done(const found_device& d) const;
  bool reached() const { return o_.count >= 0 && handled_ >= o_.count; }
  bool starting() const { return !r_.stopping() && fatal_ < 0 && !reached(); }

  run& r_;
  const options& o_;
  plan p_;
  board_threads threads_;
  // What became of each board met in this run, by its address and MAC. One
  // that failed stays failed while it stays on the segment. A board in
  // flight is known by its address alone (board_threads): its MAC changes
  // on the way.
  std::map<std::string, bool> met_;
  std::map<std::string, int> absent_;  // rounds a failed board has been missing from
  // The MACs of boards an earlier run finished with this firmware.
  std::set<std::string> finished_;
  long handled_ = 0;
  int done_ = 0, failed_ = 0, skipped_ = 0, fatal_ = -1;
  bool said_unsent_ = false;
};

// A board finished by an earlier run: its current MAC was confirmed in the
// ledger, and the last confirmation of it was given beside this very
// firmware (by its SHA-256). Flashing it again would only hand it a second
// address of the series. A reserved line that stayed the address's last one
// counts as well when the board holds the address: the line was written
// after the burn had passed, and only the board's taking it can have given
// the board that address (its confirmation was lost to a full disk or a
// crash). Without --mac-next a ledger that cannot be read only means that
// no board is recognised as finished.
void batch::read_finished() {
  std::vector<std::string> macs;
  std::string error;
  if (p_.sha.empty() || !r_.ledger || !r_.ledger->finished_with(p_.sha, macs, error)) macs.clear();
  finished_.insert(macs.begin(), macs.end());
}

bool batch::already_done(const found_device& d) const { return finished_.count(format_mac(d.mac)) > 0; }

bool batch::look_for_boards(std::vector<found_device>& found) {
  int n = discover_round(r_.link, found, MAX_DEVICES, only_interface(o_));
  if (n < 0 && !said_unsent_) {
    err("Запрос не отправлен: нет сети. Повторяю.");
    said_unsent_ = true;
  }
  sort_devices(found);
  return n >= 0;
}

void batch::retire_absent(const std::vector<found_device>& found) {
  std::set<std::string> present;
  for (const found_device& d : found) present.insert(key_of(d.addr, d.mac));
  for (auto i = met_.begin(); i != met_.end();) {
    if (i->second || present.count(i->first)) {
      absent_.erase(i->first);
      ++i;
    } else if (++absent_[i->first] >= ABSENT_ROUNDS) {
      absent_.erase(i->first);
      i = met_.erase(i);
    } else {
      ++i;
    }
  }
}

void batch::admit(const std::vector<found_device>& found) {
  for (const found_device& d : found) {
    if (!starting() || !slot_free(o_, threads_.running())) return;
    std::string key = key_of(d.addr, d.mac);
    if (met_.count(key) || threads_.busy(d.addr)) continue;
    handled_++;
    if (!o_.again && already_done(d)) {
      met_[key] = true;
      skipped_++;
      int row = r_.events.add(ip_of(d), device_name(d.name));
      r_.events.finish(row, "skipped",
                       batch_line(ip_of(d), device_name(d.name), format_mac(d.mac), "-") + "уже готово", "", "");
      continue;
    }
    threads_.start(p_, d, true);
  }
}

void batch::reap() {
  threads_.reap([&](const board_result& b) {
    (b.ok ? done_ : failed_)++;
    met_[b.key_before] = b.ok;
    met_[b.key_after] = b.ok;
    if (b.fatal >= 0 && fatal_ < 0) fatal_ = b.fatal;
  });
}

int batch::go() {
  read_finished();
  if (r_.mode() == view_mode::live) err("жду устройства (Ctrl+C - закончить)");
  uint32_t start = plat::tick(), round_at = 0;
  bool first_round = true;
  uint32_t beat_at = plat::tick() - ROUND_MS;
  for (;;) {
    reap();
    if (!starting() && threads_.running() == 0) break;
    // The line view learns what the bench is doing every round, boards or
    // none.
    if (plat::tick() - beat_at >= ROUND_MS) {
      beat_at = plat::tick();
      r_.live.heartbeat();
    }
    if (!starting() || !slot_free(o_, threads_.running()) || (!first_round && plat::tick() - round_at < ROUND_MS)) {
      plat::sleep_ms(20);
      continue;
    }
    first_round = false;
    round_at = plat::tick();
    std::vector<found_device> found;
    // A round that could not be sent says nothing about who left.
    if (look_for_boards(found)) retire_absent(found);
    reap();
    admit(found);
  }
  r_.events.summary(done_, failed_, skipped_, plat::tick() - start);
  r_.live.heartbeat(true);
  if (fatal_ >= 0) return fatal_;
  // Stopped before the boards asked for were done: a script must not take
  // that for a finished batch.
  if (r_.stopping() && o_.count >= 0 && !reached()) return EXIT_INTERRUPTED;
  return failed_ ? EXIT_DEVICE : EXIT_DONE;
}

}  // namespace

int cmd_batch(run& r) {
  const options& o = r.opts;
  plan p;
  p.batch = true;
  int code = first_failure({[&] { return r.interface_ok("batch"); },
                            [&] { return readable_file(o.args[0], "Файл прошивки", p.file); }});
  // The ledger names the file so that it can be found again from anywhere.
  if (char* real = code < 0 ? realpath(o.args[0].c_str(), nullptr) : nullptr) {
    std::string full;
    if (plat::path_from_fs(real, full)) p.file = full;
    free(real);
  }
  if (code < 0)
    code = first_failure({[&] { return r.take_password(); }, [&] { return o.mac_next ? r.ledger_ok() : -1; },
                          [&] { return o.mac_next ? r.settings_ok() : -1; },
                          [&] { return r.read_firmware(p.file, p.sha); }, [&] { return r.open_link(); }});
  if (code >= 0) return code;
  // The page follows the batch from its first board: it is up before any.
  std::unique_ptr<web_view> view;
  if (!o.listen.empty()) {
    std::string host, problem;
    int port = 0;
    if (!listen_arg(o.listen, host, port))
      return bad_usage("--view ждёт АДРЕС:ПОРТ, например 127.0.0.1:8480, а не " + shown_arg(o.listen), "batch");
    view.reset(new web_view(r.ledger.get(), bench_name(o.bench), &r.events));
    if (!view->start(host, port, problem)) {
      err(problem);
      return EXIT_USAGE;
    }
    err("веб-просмотр линии: http://" + host + ":" + std::to_string(view->port()) + "/");
  }
  if (!o.mac_next) r.records_ready();
  p.mac_next = o.mac_next;
  p.coprocessor = o.coprocessor;
  p.only_changed = o.only_changed;
  return batch(r, p).go();
}

}  // namespace ctl
