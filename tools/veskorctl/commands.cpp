// veskorctl: what the commands share, and the commands about one board or
// none: discover, identify, verify, read, mac, series, ledger. Every board is
// worked through a session on the process's one loader link
// (netdvc/session.h) and the steps the window tool shares
// (workflow/workflow.h); every MAC address goes through the ledger the
// window tool's MAC++ uses.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "loadhex/hexfile.h"
#include "netdvc/discovery.h"
#include "platform/base.h"
#include "platform/durable.h"
#include "platform/net.h"
#include "tools/veskorctl/ctl.h"
#include "tools/veskorctl/steps.h"
#include "workflow/ledger_db.h"
#include "workflow/session_board.h"
#include "workflow/workflow.h"

namespace ctl {

const char NO_ANSWER[] = "Устройство не отвечает.";

// ---- checks of the command line, before anything is sent or written -------------------

int bad_usage(const std::string& text, const char* command) {
  err(text + " (подробнее: veskorctl " + command + " --help)");
  return EXIT_USAGE;
}

int run::open_link() {
  if (link.is_open() || link.open(DEVICE_PORT)) return -1;
  // Another program holding the port is named as the cause, not the board:
  // nothing could even be sent.
  err(link.port_busy() ? PORT_BUSY_TEXT : "Порт 48900 не открывается: нет сети");
  return EXIT_DEVICE;
}

bool address_arg(const std::string& arg, uint32_t& addr) {
  return plat::parse_ipv4(arg.c_str(), &addr) && arg.find(' ') == std::string::npos;
}

std::string address_text(uint32_t addr) {
  char buf[16];
  plat::format_ipv4(addr, buf);
  return buf;
}

found_device board_at(uint32_t addr) {
  found_device d;
  std::memset(&d, 0, sizeof d);
  d.addr = addr;
  plat::format_ipv4(addr, d.ip);
  return d;
}

std::string shown_arg(const std::string& utf8) {
  std::string s;
  return arg_text(utf8.c_str(), s) ? s : "?";
}

int readable_file(const std::string& arg, const char* what, std::string& path) {
  if (!plat::path_from_fs(arg.c_str(), path)) {
    err(std::string(what) + ": имя файла не представимо в cp1251: " + shown_arg(arg));
    return EXIT_FILE;
  }
  struct stat st;
  if (stat(arg.c_str(), &st) != 0) {
    err(std::string(what) + " " + path + (errno == ENOENT ? " не найден" : " недоступен"));
    return EXIT_FILE;
  }
  if (!S_ISREG(st.st_mode)) {
    err(std::string(what) + " " + path + " - не обычный файл");
    return EXIT_FILE;
  }
  // Looked at, not opened: the file is opened once, by whoever reads it.
  if (st.st_size > MAX_FIRMWARE_FILE || access(arg.c_str(), R_OK) != 0) {
    err(std::string(what) + " " + path + (st.st_size > MAX_FIRMWARE_FILE ? " больше 16 МБ" : " не читается"));
    return EXIT_FILE;
  }
  return -1;
}

// The password from the options: the typed password or the first line of the
// password file (--password-file, else $VESKOR_PASSWORD_FILE), normalised
// as the password dialog normalises it; none at all is the empty password.
int run::take_password() {
  std::string pass = opts.password;
  std::string file = opts.password_file;
  const char* env = std::getenv("VESKOR_PASSWORD_FILE");
  if (!opts.password_given && env && *env) file = env;
  if (!file.empty()) {
    std::string path;
    int code = readable_file(file, "Файл пароля", path);
    if (code >= 0) return code;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Never repeated in a message: it is the password.
    if (!arg_text(line.c_str(), pass)) {
      err("Файл пароля " + path + ": пароль не в UTF-8 или с знаками вне cp1251");
      return EXIT_FILE;
    }
  }
  password = device_password(pass);
  return -1;
}

// A ledger that can be read but not written is found out here, before any
// board is touched: otherwise a batch flashes its first board and only then
// finds that it cannot give it an address.
// A database that cannot be reached, or holds no ledger, is found out here
// the same way; its local spool is written first.
int run::ledger_ok() {
  std::string error;
  if (ledger && ledger->ready(error)) return -1;
  err(ledger ? error : "Журнал MAC-адресов " + shown_location(ledger_location) + " не открывается");
  return EXIT_FILE;
}

void run::records_ready() {
  std::string error;
  if (ledger && ledger->ready(error)) return;
  if (!ledger) error = "Журнал MAC-адресов " + shown_location(ledger_location) + " не открывается";
  err("предупреждение: " + error +
      (ledger && ledger->is_database() ? "; записи о прошивках ждут на диске стенда" : "; записи о прошивках не сохраняются"));
}

int run::settings_ok() {
  std::string problem;
  if (series_settings_writable(problem)) return -1;
  err(problem);
  return EXIT_SETTINGS;
}

int run::interface_ok(const char* command) {
  if (opts.interface.empty() || plat::interface_index(opts.interface.c_str()) != 0) return -1;
  return bad_usage("нет такого сетевого интерфейса: " + shown_arg(opts.interface), command);
}

int run::read_firmware(const std::string& path, std::string& sha) {
  hex_file_info info;
  // The digest is of the very bytes the image came from, read once.
  std::string bytes;
  if (!read_hex_file(path.c_str(), image.data(), info, &bytes)) {
    if (info.error_line > 0)
      err("Ошибка чтения файла " + path + ", строка " + std::to_string(info.error_line) + ": " +
          (info.error ? info.error : "неверная запись"));
    else
      err("Файл прошивки " + path + " не читается" + (info.error ? std::string(": ") + info.error : ""));
    return EXIT_FILE;
  }
  // No data record, no end record (a copy cut short) or a line that is no
  // record: each would reach the board as an erased or partial image.
  std::string why = hex_not_flashable(info);
  if (!why.empty()) {
    err(path + ": " + why);
    return EXIT_FILE;
  }
  sha = sha256_hex(bytes.data(), bytes.size());
  return -1;
}

// ---- what the terminal shows of a board -----------------------------------------------

std::string device_name(const char* name16) {
  std::string s(name16, strnlen(name16, 16));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  for (char& c : s)
    if ((unsigned char)c < 0x20 || c == 0x7F) c = '?';
  return s;
}

std::string pad(const std::string& s, size_t w) { return s.size() >= w ? s + " " : s + std::string(w - s.size(), ' '); }

std::string pages_text(const page_geometry& g) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%d страниц по %d байт", g.pages(), g.page_size);
  return buf;
}

void sort_devices(std::vector<found_device>& devices) {
  std::stable_sort(devices.begin(), devices.end(),
                   [&](const found_device& a, const found_device& b) { return a.addr < b.addr; });
  devices.erase(std::unique(devices.begin(), devices.end(),
                            [&](const found_device& a, const found_device& b) {
                              return a.addr == b.addr && std::memcmp(a.mac, b.mac, 6) == 0;
                            }),
                devices.end());
}

namespace {

void print_devices(const std::vector<found_device>& devices, bool json) {
  if (!json) outln(pad("Адрес", 17) + pad("Имя", 18) + pad("MAC", 19) + "Версия");
  for (const found_device& d : devices) {
    std::string ip = address_text(d.addr);
    std::string name = device_name(d.name);
    if (json) {
      outln("{\"address\":" + json_text(ip) + ",\"name\":" + json_text(name) + ",\"mac\":" +
            json_text(format_mac(d.mac)) + ",\"version\":" + json_text(loader_version_text(d.rev)) + "}");
    } else {
      outln(pad(ip, 17) + pad(name, 18) + pad(format_mac(d.mac), 19) + loader_version_text(d.rev));
    }
  }
}

int outcome_code(mac_outcome r) {
  switch (r) {
    case MAC_TAKEN: return EXIT_DONE;
    case MAC_SETTINGS_FAILED:
    case MAC_SERIES_EXHAUSTED: return EXIT_SETTINGS;
    case MAC_LEDGER_FAILED:
    case MAC_LEDGER_AWAY: return EXIT_FILE;
    default: return EXIT_DEVICE;
  }
}

// The board's identity as discovery would list it; false after a message
// when it does not answer.
bool identify_board(run& r, uint32_t addr, found_device& d) {
  std::string ip = address_text(addr);
  int row = r.events.add(ip, "");
  board_report report(r, row);
  board_session board(r.link, addr, r.password.c_str(), &report);
  board_identity id;
  bool ok = board.identify(id);
  // The row is there for the exchanges -v shows; its answer is what the
  // caller prints, not an event of its own.
  r.events.drop(row);
  if (!ok) {
    err(ip + ": устройство не отвечает");
    return false;
  }
  d = board_at(addr);
  std::memcpy(d.name, id.name, sizeof d.name);
  std::memcpy(d.mac, id.mac, 6);
  d.rev = id.rev;
  return true;
}

// What a MAC step's outcome means for the user; the address goes to stdout
// when the board took it.
void tell_mac(const std::string& ip, const mac_step& step, bool series) {
  if (!step.problem.empty()) err(step.problem);
  if (step.outcome == MAC_REFUSED) {
    std::string why = failure_words(step.as_step());
    err(ip + ": MAC-адрес " + format_mac(step.mac) + " не принят" + (why.empty() ? "" : ": " + why));
  } else if (step.outcome == MAC_TAKEN) {
    char text[128];
    mac_changed_text(text, sizeof text, step.mac);
    outln(ip + ": " + text);
    if (series && !step.stored) err("MAC-адрес не сохранён в настройках (LastMac); журнал держит серию дальше");
  }
}

}  // namespace

// ---- discover, identify --------------------------------------------------------------

int cmd_discover(run& r) {
  const options& o = r.opts;
  int code = first_failure({[&] { return r.interface_ok("discover"); }, [&] { return r.open_link(); }});
  if (code >= 0) return code;
  std::vector<found_device> found;
  int n = discover_round(r.link, found, MAX_DEVICES, o.interface.empty() ? nullptr : o.interface.c_str());
  if (n < 0) {
    err(o.interface.empty() ? "Запрос не отправлен: нет сети"
                            : "Запрос не отправлен: интерфейс " + shown_arg(o.interface) + " не может рассылать");
    return EXIT_DEVICE;
  }
  if (n == 0) {
    err("Устройства не найдены");
    return EXIT_DEVICE;
  }
  sort_devices(found);
  print_devices(found, o.json);
  return EXIT_DONE;
}

int cmd_identify(run& r) {
  const options& o = r.opts;
  uint32_t addr;
  if (!address_arg(o.args[0], addr)) return bad_usage("неверный адрес устройства: " + shown_arg(o.args[0]), "identify");
  int code = r.open_link();
  if (code >= 0) return code;
  found_device d;
  if (!identify_board(r, addr, d)) return EXIT_DEVICE;
  print_devices({d}, o.json);
  return EXIT_DONE;
}

// ---- verify, read -----------------------------------------------------------------------

namespace {

// The board's whole memory (its model's pages), read in programming mode:
// nothing is written. EXIT_DONE with geometry and memory, or the code after
// the reason was said.
int read_board(run& r, uint32_t addr, bool coprocessor, page_geometry& geometry, std::vector<uint8_t>& memory) {
  std::string ip = address_text(addr);
  int row = r.events.add(ip, "");
  board_report report(r, row);
  session_board board(r.link, addr, r.password.c_str(), &report);
  std::string failure;
  r.events.set_stage(row, stage::programming);
  if (!enter_board(board, report, failure)) {
    r.events.finish(row, "failed", "", "", failure);
    if (!failure.empty()) err(ip + ": " + failure);
    return r.stopping() ? EXIT_INTERRUPTED : EXIT_DEVICE;
  }
  r.events.set_stage(row, stage::read);
  memory.assign(HEX_IMAGE_SIZE, 0xFF);
  report.fresh();
  step_outcome read = board.read(coprocessor, memory.data());
  bool ok = read.ok();
  geometry = board.session().geometry();
  failure = read.end == STEP_STOPPED ? "чтение остановлено по сигналу" : failure_words(read);
  r.events.set_stage(row, stage::leaving);
  leave_board(board);
  r.events.finish(row, ok ? "done" : "failed", "", "", failure);
  if (!ok) {
    if (!failure.empty()) err(ip + ": " + failure);
    return r.stopping() ? EXIT_INTERRUPTED : EXIT_DEVICE;
  }
  memory.resize(geometry.bytes());
  return EXIT_DONE;
}

}  // namespace

int cmd_verify(run& r) {
  const options& o = r.opts;
  std::string path, sha;
  uint32_t addr;
  if (!address_arg(o.args[0], addr)) return bad_usage("неверный адрес устройства: " + shown_arg(o.args[0]), "verify");
  std::string ip = address_text(addr);
  int code = first_failure({[&] { return readable_file(o.args[1], "Файл прошивки", path); },
                            [&] { return r.take_password(); }, [&] { return r.read_firmware(path, sha); },
                            [&] { return r.open_link(); }});
  if (code >= 0) return code;
  r.stop_ends_burn("прерывание: сверка остановится после текущей страницы (повторный сигнал прервёт сразу)");
  page_geometry g;
  std::vector<uint8_t> memory;
  code = read_board(r, addr, o.coprocessor, g, memory);
  if (code != EXIT_DONE) return code;
  const std::vector<uint8_t>& image = r.image;
  char text[160];
  for (size_t i = 0; i < memory.size(); i++)
    if (memory[i] != image[i]) {
      std::snprintf(text, sizeof text, "0x%zX: на устройстве %02X, в файле %02X", i, memory[i], image[i]);
      outln(ip + ": " + text);
      return EXIT_DEVICE;
    }
  // Data past the board's memory can never be on it.
  for (size_t i = memory.size(); i < image.size(); i++)
    if (image[i] != 0xFF) {
      std::snprintf(text, sizeof text, "0x%zX: за пределами памяти устройства (%zu байт), в файле %02X", i,
                    memory.size(), image[i]);
      outln(ip + ": " + text);
      return EXIT_DEVICE;
    }
  outln(ip + ": совпадает с файлом (" + pages_text(g) + ")");
  return EXIT_DONE;
}

int cmd_read(run& r) {
  const options& o = r.opts;
  uint32_t addr;
  if (!address_arg(o.args[0], addr)) return bad_usage("неверный адрес устройства: " + shown_arg(o.args[0]), "read");
  std::string ip = address_text(addr);
  std::string out_path;
  if (!plat::path_from_fs(o.args[1].c_str(), out_path))
    return bad_usage("имя файла не представимо в cp1251: " + shown_arg(o.args[1]), "read");
  int code = first_failure({[&] { return r.take_password(); }, [&] { return r.open_link(); }});
  if (code >= 0) return code;
  r.stop_ends_burn("прерывание: чтение остановится после текущей страницы (повторный сигнал прервёт сразу)");
  page_geometry g;
  std::vector<uint8_t> memory;
  code = read_board(r, addr, o.coprocessor, g, memory);
  if (code != EXIT_DONE) return code;
  // Written whole or not at all: a cut dump read back would pass for the
  // board's memory with its end erased.
  int error = 0;
  if (!plat::replace_file(o.args[1], hex_text(memory.data(), memory.size()), 0644, &error)) {
    err("Файл " + out_path + " не записывается: " + plat::from_utf8(std::strerror(error)));
    return EXIT_FILE;
  }
  outln(ip + ": прочитано " + pages_text(g) + (o.coprocessor ? " сопроцессора" : "") + " в " + out_path);
  return EXIT_DONE;
}

// ---- mac --------------------------------------------------------------------------------

int cmd_mac(run& r) {
  const options& o = r.opts;
  uint32_t addr;
  if (!address_arg(o.args[0], addr)) return bad_usage("неверный адрес устройства: " + shown_arg(o.args[0]), "mac");
  std::string ip = address_text(addr);
  unsigned char typed[6];
  bool next = o.next;
  if (next == (o.args.size() == 2))
    return bad_usage(next ? "--next и MAC-адрес вместе не задаются" : "нужен MAC-адрес или --next", "mac");
  if (!next && !parse_mac(o.args[1].c_str(), typed))
    return bad_usage("MAC-адрес должен состоять из шести пар шестнадцатеричных цифр: " + shown_arg(o.args[1]), "mac");
  if (o.force && next) return bad_usage("--force относится только к заданному MAC-адресу", "mac");
  // A board given a group or zero address can no longer be reached; the
  // address is written only when asked for twice.
  if (!next && mac_is_group_or_zero(typed) && !o.force)
    return bad_usage("MAC-адрес " + format_mac(typed) +
                         " групповой или нулевой: устройство с ним будет недоступно в сети (--force запишет его)",
                     "mac");
  int code = first_failure({[&] { return r.take_password(); }, [&] { return r.ledger_ok(); },
                            [&] { return next ? r.settings_ok() : -1; }, [&] { return r.open_link(); }});
  if (code >= 0) return code;

  found_device d;
  if (!identify_board(r, addr, d)) return EXIT_DEVICE;
  ledger_device device;
  device.name = device_name(d.name);
  device.old_mac = format_mac(d.mac);
  std::string where;
  if (!next && !o.force && typed_mac_given(*r.ledger, device, typed, where))
    return bad_usage("MAC-адрес " + format_mac(typed) + " уже выдан (журнал MAC-адресов, " + where +
                         "; --force запишет его ещё раз)",
                     "mac");
  board_report report(r, r.events.add(ip, device.name));
  session_board board(r.link, addr, r.password.c_str(), &report);
  mac_step step = next ? assign_series_mac(*r.ledger, board, device) : assign_typed_mac(*r.ledger, board, device, typed);
  r.events.finish(report.row(), step.outcome == MAC_TAKEN ? "done" : "failed", "", format_mac(step.mac), step.problem);
  tell_mac(ip, step, next);
  return outcome_code(step.outcome);
}

// ---- series ------------------------------------------------------------------------------

int cmd_series(run& r) {
  const options& o = r.opts;
  if (!o.block.empty()) {
    mac_block block;
    if (!parse_mac_block(o.block.c_str(), block))
      return bad_usage("блок задаётся как ПЕРВЫЙ-ПОСЛЕДНИЙ, два адреса серии 5A:3C:19:xx:yy:zz (байты до FA) "
                       "по возрастанию, а не " + shown_arg(o.block),
                       "series");
    int code = r.ledger_ok();
    if (code >= 0) return code;
    std::string problem;
    if (!r.ledger->set_block(block, problem)) {
      err(problem);
      return r.ledger->is_database() ? EXIT_FILE : EXIT_SETTINGS;
    }
  }
  int code = r.ledger_ok();
  if (code >= 0) return code;
  series_state s;
  std::string problem;
  if (!r.ledger->series(s, problem)) {
    err(problem);
    return problem.find("Журнал") == 0 || r.ledger->is_database() ? EXIT_FILE : EXIT_SETTINGS;
  }
  outln("последний выданный адрес: " + (s.has_last ? format_mac(s.last) : std::string("нет")));
  outln("следующий адрес: " + (s.has_next ? format_mac(s.next) : std::string("нет: серия исчерпана")));
  outln("блок: " + (s.has_block ? format_mac_block(s.block) : std::string("не задан (вся серия)")));
  outln("осталось адресов: " + std::to_string(s.left));
  return EXIT_DONE;
}

// ---- ledger ------------------------------------------------------------------------------

namespace {

// --init: the schema made or brought up to date.
int ledger_init(run& r) {
  std::string said, problem;
  if (!database_init(r.ledger_location, said, problem)) {
    err(problem);
    return EXIT_FILE;
  }
  outln(shown_location(r.ledger_location) + ": " + said);
  return EXIT_DONE;
}

// --import FILE...: bench ledgers into the database, each file whole or not
// at all.
int ledger_import(run& r) {
  int code = r.ledger_ok();
  if (code >= 0) return code;
  bool twice = false;
  for (const std::string& a : r.opts.args) {
    std::string label = shown_arg(a);
    std::vector<ledger_line> lines;
    std::string problem;
    if (!ledger_read(a, lines, problem)) {
      err(problem);
      return EXIT_FILE;
    }
    import_report report;
    if (!database_import(r.ledger_location, label, lines, report, problem)) {
      err(problem);
      return EXIT_FILE;
    }
    outln(label + ": добавлено записей: " + std::to_string(report.added) + ", уже были в базе: " +
          std::to_string(report.present));
    for (const std::string& t : report.confirmed_twice) outln("ошибка: " + t);
    twice = twice || !report.confirmed_twice.empty();
  }
  return twice ? EXIT_DEVICE : EXIT_DONE;
}

// --check of the line's database: its own invariants.
int ledger_check_database(run& r) {
  int code = r.ledger_ok();
  if (code >= 0) return code;
  ledger_check report;
  std::string problem;
  if (!r.ledger->check(report, problem)) {
    err(problem);
    return EXIT_FILE;
  }
  for (const std::string& w : report.warnings) outln("предупреждение: " + w);
  for (const std::string& e : report.errors) outln("ошибка: " + e);
  outln(report.summary);
  return report.errors.empty() ? EXIT_DONE : EXIT_DEVICE;
}

}  // namespace

int cmd_ledger(run& r) {
  const options& o = r.opts;
  bool database = is_database_location(r.ledger_location);
  if (o.init + o.import + o.check > 1) return bad_usage("--init, --import и --check вместе не задаются", "ledger");
  if ((o.init || o.import) && !database)
    return bad_usage("--init и --import относятся к журналу в базе данных (--ledger postgresql://...)", "ledger");
  if (o.init) return o.args.empty() ? ledger_init(r) : bad_usage("лишний аргумент", "ledger");
  if (o.import) return o.args.empty() ? bad_usage("нужны файлы журналов стендов", "ledger") : ledger_import(r);
  if (!o.check && o.args.size() > 0) return bad_usage("файлы журналов задаются только с --check", "ledger");
  if (database && o.check && o.args.empty()) return ledger_check_database(r);
  if (database && !o.check) return print_whole_record(r);
  std::vector<std::string> paths;
  for (const std::string& a : o.args) paths.push_back(a);
  if (paths.empty()) paths.push_back(plat::path_to_fs(r.ledger_location.c_str()));
  // The bench's own ledger may not be there yet; a ledger named by hand
  // that is not there is a mistyped name, and checking without it would
  // pass what was never looked at. Named twice, a file would find its own
  // addresses confirmed on two benches.
  std::set<std::pair<dev_t, ino_t>> seen;
  for (const std::string& a : o.args) {
    struct stat st;
    if (stat(a.c_str(), &st) != 0) {
      err("Журнал MAC-адресов " + shown_arg(a) + " не найден");
      return EXIT_FILE;
    }
    if (!seen.insert({st.st_dev, st.st_ino}).second) return bad_usage("журнал указан дважды: " + shown_arg(a), "ledger");
  }
  std::vector<std::vector<ledger_line>> all(paths.size());
  for (size_t i = 0; i < paths.size(); i++) {
    std::string error;
    if (!ledger_read(paths[i], all[i], error)) {
      err(error);
      return EXIT_FILE;
    }
  }
  if (!o.check) {
    std::ifstream in(paths[0], std::ios::binary);
    if (!in) {
      err("Журнал MAC-адресов пуст");
      return EXIT_DONE;
    }
    std::ostringstream s;
    s << in.rdbuf();
    // The file is UTF-8 already.
    std::fwrite(s.str().data(), 1, s.str().size(), stdout);
    std::fflush(stdout);
    return EXIT_DONE;
  }
  auto shown = [&](size_t i) {
    std::string c;
    return plat::path_from_fs(paths[i].c_str(), c) ? c : std::string("?");
  };
  bool several = paths.size() > 1;
  size_t problems = 0, lines_total = 0;
  // Where each address was confirmed: file and line.
  std::map<std::string, std::vector<std::pair<size_t, int>>> confirmed;
  for (size_t i = 0; i < paths.size(); i++) {
    const std::vector<ledger_line>& lines = all[i];
    lines_total += lines.size();
    std::string where = several ? shown(i) + ": " : "";
    for (const ledger_line& l : lines)
      if (l.result == LEDGER_CONFIRMED) confirmed[l.new_mac].push_back({i, l.line});
    for (const ledger_line& l : ledger_unsettled(lines))
      outln("предупреждение: " + where + l.new_mac + " зарезервирован (строка " + std::to_string(l.line) + ", " +
            l.address + "), но итог не записан: устройство могло его получить");
  }
  for (const auto& c : confirmed) {
    if (c.second.size() < 2) continue;
    problems++;
    std::string at;
    std::set<size_t> files;
    for (const auto& p : c.second) {
      files.insert(p.first);
      at += (at.empty() ? "" : ", ") + (several ? shown(p.first) + " " : std::string()) + "строка " +
            std::to_string(p.second);
    }
    outln("ошибка: " + c.first + (files.size() > 1 ? " подтверждён на разных стендах: " : " подтверждён больше одного раза: ") +
          at);
  }
  outln("строк: " + std::to_string(lines_total) + ", подтверждённых адресов: " + std::to_string(confirmed.size()) +
        ", подтверждённых дважды: " + std::to_string(problems));
  return problems == 0 ? EXIT_DONE : EXIT_DEVICE;
}

}  // namespace ctl
