// veskorctl: the commands. Every board is worked through a session on the
// process's one loader link (netdvc/session.h) and the steps the window
// tool shares (workflow/workflow.h); every MAC address goes through the
// ledger the window tool's MAC++ uses.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "loadhex/hexfile.h"
#include "netdvc/discovery.h"
#include "netdvc/link.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "tools/veskorctl/ctl.h"
#include "workflow/session_board.h"
#include "workflow/workflow.h"

namespace ctl {

namespace {

const long MAX_FIRMWARE = MAX_FIRMWARE_FILE;
// More devices than any bench segment holds.
const size_t MAX_DEVICES = 1024;
// A batch looks for new devices this often.
const uint32_t ROUND_MS = 1000;

// Which result a failure gets when the device call said nothing itself.
const char NO_ANSWER[] = "Устройство не отвечает.";

// The process's loader link, opened once for the whole command: every board
// of the command is worked over it. Nothing is sent when it cannot be had.
loader_link LINK;

// EXIT_DEVICE after a message when the port cannot be had: another program
// holding it is named as the cause, not the device.
int open_link() {
  if (LINK.open(DEVICE_PORT)) return -1;
  err(LINK.port_busy() ? PORT_BUSY_TEXT : "Порт 48900 не открывается: нет сети");
  return EXIT_DEVICE;
}

// The password every board of the command gets (16 characters).
std::string PASSWORD = device_password("");

// The firmware of flash and batch: its image, its path and its SHA-256.
std::vector<uint8_t> IMAGE(HEX_IMAGE_SIZE, 0xFF);

// ---- checks of the command line, before anything is sent or written -------------------

int bad_usage(const std::string& text, const char* command) {
  err(text + " (подробнее: veskorctl " + command + " --help)");
  return EXIT_USAGE;
}

// The device address: a strict dotted quad, given back in its plain form.
bool address_arg(const std::string& arg, std::string& ip) {
  uint32_t a;
  if (!plat::parse_ipv4(arg.c_str(), &a) || arg.find(' ') != std::string::npos) return false;
  char buf[16];
  plat::format_ipv4(a, buf);
  ip = buf;
  return true;
}

std::string shown_arg(const std::string& utf8) {
  std::string s;
  return arg_text(utf8.c_str(), s) ? s : "?";
}

// A file named on the command line, as the cp1251 path the program's file
// calls take; EXIT_FILE with the message said when it cannot be read.
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
  bool refused = false;
  FILE* f = plat::open_file_read(path.c_str(), MAX_FIRMWARE, &refused);
  if (!f) {
    err(std::string(what) + " " + path + (refused ? " больше 16 МБ" : " не читается"));
    return EXIT_FILE;
  }
  std::fclose(f);
  return -1;
}

// PASSWORD from the options: the typed password or the first line of the
// password file, normalised as the password dialog normalises it; none at
// all is the empty password. -1, or the exit code after a message.
int take_password(const options& o) {
  std::string pass = o.password;
  if (!o.password_file.empty()) {
    std::string path;
    int r = readable_file(o.password_file, "Файл пароля", path);
    if (r >= 0) return r;
    std::ifstream in(o.password_file, std::ios::binary);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Never repeated in a message: it is the password.
    if (!arg_text(line.c_str(), pass)) {
      err("Файл пароля " + path + ": пароль не в UTF-8 или с знаками вне cp1251");
      return EXIT_FILE;
    }
  }
  PASSWORD = device_password(pass);
  return -1;
}

// The ledger must be readable before any address is handed out.
int ledger_ok() {
  std::vector<ledger_line> lines;
  std::string error;
  if (ledger_read(ledger_path(), lines, error)) return -1;
  err(error);
  return EXIT_FILE;
}

// The settings must take the next "LastMac" before a series begins.
int settings_ok() {
  std::string problem;
  if (series_settings_writable(problem)) return -1;
  err(problem);
  return EXIT_SETTINGS;
}

// ---- what the terminal shows of a device -------------------------------------------

// The 16 name bytes as a text: up to the first NUL, without trailing blanks,
// control bytes shown as '?'.
std::string device_name(const char* name16) {
  std::string s(name16, strnlen(name16, 16));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  for (char& c : s)
    if ((unsigned char)c < 0x20 || c == 0x7F) c = '?';
  return s;
}

// Escaped in cp1251, like every text here; out() makes it UTF-8.
std::string json_string(const std::string& cp1251) {
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

std::string pad(const std::string& s, size_t w) { return s.size() >= w ? s + " " : s + std::string(w - s.size(), ' '); }

void print_devices(const std::vector<found_device>& devices, bool json) {
  if (!json) outln(pad("Адрес", 17) + pad("Имя", 18) + pad("MAC", 19) + "Версия");
  for (const found_device& d : devices) {
    std::string ip(d.ip, strnlen(d.ip, sizeof d.ip));
    std::string name = device_name(d.name);
    if (json) {
      outln("{\"address\":" + json_string(ip) + ",\"name\":" + json_string(name) + ",\"mac\":" +
            json_string(format_mac(d.mac)) + ",\"version\":" + json_string(loader_version_text(d.rev)) + "}");
    } else {
      outln(pad(ip, 17) + pad(name, 18) + pad(format_mac(d.mac), 19) + loader_version_text(d.rev));
    }
  }
}

uint32_t address_of(const found_device& d) {
  uint32_t a = 0;
  plat::parse_ipv4(d.ip, &a);
  return a;
}

// A device answering twice is listed once.
void sort_devices(std::vector<found_device>& devices) {
  std::stable_sort(devices.begin(), devices.end(),
                   [](const found_device& a, const found_device& b) { return address_of(a) < address_of(b); });
  devices.erase(std::unique(devices.begin(), devices.end(),
                            [](const found_device& a, const found_device& b) {
                              return address_of(a) == address_of(b) && std::memcmp(a.mac, b.mac, 6) == 0;
                            }),
                devices.end());
}

// ---- the board's programming ------------------------------------------------------

// Nothing to keep alive here while the board restarts its loader.
void sleep_pause(uint32_t ms) { plat::sleep_ms(ms); }

// Programming mode on and the loader back again; false with the reason
// (empty when the board said why itself).
bool enter_programming(session_board& board, board_report& report, std::string& failure) {
  report.fresh();
  unsigned before = report.said();
  const char* why = enter_programming(board, sleep_pause);
  if (!why) return true;
  // A refused password has been said already.
  failure = report.said() == before || std::strcmp(why, "Режим программирования не включился...") != 0 ? why : "";
  return false;
}

void leave_programming(session_board& board) {
  if (!board.exit_programming())
    err(board.address() + ": устройство не подтвердило выход из режима программирования");
}

bool burn(session_board& board, board_report& report, bool coprocessor, std::string& failure) {
  report.fresh();
  unsigned before = report.said();
  bool ok = board.session().burn(IMAGE.data(), IMAGE.size(), coprocessor);
  // The burn says why it failed when it can tell (a refused password, a
  // page never confirmed, a cut declined); silence means no answer at all.
  if (!ok) failure = report.said() == before ? NO_ANSWER : "прошивка не удалась";
  if (!ok && report.stop_requested()) failure = "прошивка остановлена по сигналу: устройство не прошито";
  return ok;
}

// The image from the file; EXIT_FILE after a message naming the file when it
// cannot be read whole (and the line of a bad record), or when it holds
// nothing to flash: no data record, or no end record (a copy cut short),
// either of which would reach the device as an erased or half image.
int load_firmware(const std::string& path, std::string& sha) {
  hex_file_info info;
  if (!read_hex_file(path.c_str(), IMAGE.data(), info)) {
    if (info.error_line > 0)
      err("Ошибка чтения файла " + path + ", строка " + std::to_string(info.error_line) + ": " +
          (info.error ? info.error : "неверная запись"));
    else
      err("Файл прошивки " + path + " не читается" + (info.error ? std::string(": ") + info.error : ""));
    return EXIT_FILE;
  }
  if (const char* why = hex_not_flashable(info)) {
    err(path + ": " + why);
    return EXIT_FILE;
  }
  if (!sha256_file(path.c_str(), sha, MAX_FIRMWARE)) {
    err("Файл прошивки " + path + " не читается");
    return EXIT_FILE;
  }
  return -1;
}

std::string pages_text(const page_geometry& g) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%d страниц по %d байт", g.pages(), g.page_size);
  return buf;
}

int outcome_code(mac_outcome r) {
  switch (r) {
    case MAC_TAKEN: return EXIT_DONE;
    case MAC_SETTINGS_FAILED: return EXIT_SETTINGS;
    case MAC_LEDGER_FAILED: return EXIT_FILE;
    default: return EXIT_DEVICE;
  }
}

uint32_t address_value(const std::string& ip) {
  uint32_t a = 0;
  plat::parse_ipv4(ip.c_str(), &a);
  return a;
}

// The board's identity as discovery would list it; false after a message
// when it does not answer.
bool identify_board(const std::string& ip, found_device& d) {
  board_session board(LINK, address_value(ip), PASSWORD.c_str());
  board_identity id;
  if (!board.identify(id)) {
    err(ip + ": устройство не отвечает");
    return false;
  }
  std::memset(&d, 0, sizeof d);
  std::memcpy(d.ip, ip.c_str(), std::min(ip.size(), sizeof d.ip - 1));
  std::memcpy(d.name, id.name, sizeof d.name);
  std::memcpy(d.mac, id.mac, 6);
  d.rev = id.rev;
  return true;
}

// What a MAC step's outcome means for the user; the address goes to stdout
// when the board took it.
void tell_mac(const std::string& ip, const mac_step& step, board_report& report, unsigned said_before,
              bool series) {
  if (!step.problem.empty()) err(step.problem);
  if (step.outcome == MAC_REFUSED) {
    err(ip + ": MAC-адрес " + format_mac(step.mac) + " не принят" +
        (report.said() == said_before ? std::string(": ") + NO_ANSWER : std::string()));
  } else if (step.outcome == MAC_TAKEN) {
    char text[128];
    mac_changed_text(text, sizeof text, step.mac);
    outln(ip + ": " + text);
    if (series && !step.stored) err("MAC-адрес не сохранён в настройках (LastMac); журнал держит серию дальше");
  }
}

}  // namespace

// ---- discover, identify --------------------------------------------------------------

int cmd_discover(const options& o) {
  int r = open_link();
  if (r >= 0) return r;
  std::vector<found_device> found;
  int n = discover_round(LINK, found, MAX_DEVICES);
  if (n < 0) {
    err("Запрос не отправлен: нет сети");
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

int cmd_identify(const options& o) {
  std::string ip;
  if (!address_arg(o.args[0], ip)) return bad_usage("неверный адрес устройства: " + shown_arg(o.args[0]), "identify");
  int r = open_link();
  if (r >= 0) return r;
  found_device d;
  if (!identify_board(ip, d)) return EXIT_DEVICE;
  print_devices({d}, o.json);
  return EXIT_DONE;
}

// ---- flash -------------------------------------------------------------------------------

int cmd_flash(const options& o) {
  std::string ip, path, sha;
  if (!address_arg(o.args[0], ip)) return bad_usage("неверный адрес устройства: " + shown_arg(o.args[0]), "flash");
  int r = readable_file(o.args[1], "Файл прошивки", path);
  if (r < 0) r = take_password(o);
  if (r < 0) r = load_firmware(path, sha);
  if (r < 0) r = open_link();
  if (r >= 0) return r;
  REPORT.answer_yes = o.yes;
  // A signal stops the burn after the page in hand: the board is left
  // with programming mode off and reported as not flashed, which a
  // half-written image it is; a second signal ends the program at once.
  stop_ends_burn("прерывание: прошивка остановится после текущей страницы (повторный сигнал прервёт сразу)");
  board_report report(ip);
  session_board board(LINK, address_value(ip), PASSWORD.c_str(), &report);
  std::string failure;
  if (!enter_programming(board, report, failure)) {
    if (!failure.empty()) err(ip + ": " + failure);
    return STOP ? EXIT_INTERRUPTED : EXIT_DEVICE;
  }
  bool ok = !STOP && burn(board, report, o.coprocessor, failure);
  if (!ok && STOP) failure = "прошивка остановлена по сигналу: устройство не прошито";
  leave_programming(board);
  if (!ok) {
    err(ip + ": " + failure);
    return STOP ? EXIT_INTERRUPTED : EXIT_DEVICE;
  }
  outln(ip + ": Прошилось (" + pages_text(board.session().geometry()) + ", каждая проверена чтением)");
  return EXIT_DONE;
}

// ---- mac --------------------------------------------------------------------------------

int cmd_mac(const options& o) {
  std::string ip;
  if (!address_arg(o.args[0], ip)) return bad_usage("неверный адрес устройства: " + shown_arg(o.args[0]), "mac");
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
  int r = take_password(o);
  if (r < 0) r = ledger_ok();
  if (r < 0 && next) r = settings_ok();
  if (r < 0) r = open_link();
  if (r >= 0) return r;

  found_device d;
  if (!identify_board(ip, d)) return EXIT_DEVICE;
  ledger_device device;
  device.name = device_name(d.name);
  device.old_mac = format_mac(d.mac);
  board_report report(ip);
  session_board board(LINK, address_value(ip), PASSWORD.c_str(), &report);
  unsigned before = report.said();
  mac_step step = next ? assign_series_mac(board, device) : assign_typed_mac(board, device, typed);
  tell_mac(ip, step, report, before, next);
  return outcome_code(step.outcome);
}

// ---- batch -------------------------------------------------------------------------------

namespace {

struct batch_state {
  const options* o;
  std::string sha, file;
  std::vector<ledger_line> ledger;  // as it stood when the batch began
  int fatal = -1;  // a settings or ledger failure ends the batch
  int failures = 0;
};

// A board finished by an earlier run: its current MAC was confirmed in the
// ledger, and the last confirmation of it was given beside this very
// firmware (by its SHA-256). Flashing it again would only hand it a second
// address of the series.
bool already_done(const batch_state& b, const found_device& d) {
  std::string mac = format_mac(d.mac);
  const ledger_line* last = nullptr;
  for (const ledger_line& l : b.ledger)
    if (l.new_mac == mac && l.result == LEDGER_CONFIRMED) last = &l;
  return last && !b.sha.empty() && last->sha256 == b.sha;
}

std::string result_line(const std::string& ip, const std::string& name, const std::string& old_mac,
                        const std::string& new_mac) {
  return pad(ip, 16) + pad(name.empty() ? "-" : name, 17) + old_mac + " -> " + pad(new_mac, 18);
}

// One device through the whole line: programming mode, burn, the next MAC
// (with --mac-next), programming mode off. The result line goes to stdout;
// the identity the device has afterwards comes back in key. True when the
// device went through.
bool run_device(batch_state& b, const found_device& d, std::string& key) {
  std::string ip(d.ip, strnlen(d.ip, sizeof d.ip));
  std::string name = device_name(d.name);
  std::string old_mac = format_mac(d.mac);
  key = ip + " " + old_mac;
  std::string failure, new_mac = "-";
  board_report report(ip);
  session_board board(LINK, address_value(ip), PASSWORD.c_str(), &report);
  bool ok = enter_programming(board, report, failure);
  if (ok) {
    ok = burn(board, report, b.o->coprocessor, failure);
    if (ok && b.o->mac_next) {
      ledger_device device;
      device.name = name;
      device.old_mac = old_mac;
      device.firmware = b.file;
      device.sha256 = b.sha;
      report.fresh();
      unsigned before = report.said();
      mac_step step = assign_series_mac(board, device);
      if (!step.problem.empty()) err(step.problem);
      if (step.outcome == MAC_TAKEN) {
        new_mac = format_mac(step.mac);
        key = ip + " " + new_mac;
        if (!step.stored) err("MAC-адрес не сохранён в настройках (LastMac); журнал держит серию дальше");
      } else {
        ok = false;
        if (step.outcome == MAC_REFUSED) {
          failure = "MAC-адрес " + format_mac(step.mac) + " не принят";
          if (report.said() == before) failure += std::string(": ") + NO_ANSWER;
        } else {
          failure = "MAC-адрес не выдан";
          b.fatal = outcome_code(step.outcome);
        }
      }
    }
    leave_programming(board);
  }
  if (!ok) b.failures++;
  outln(result_line(ip, name, old_mac, new_mac) +
        (ok ? "готово" : "ошибка: " + (failure.empty() ? std::string("см. выше") : failure)));
  return ok;
}

// Sleeps until ms have passed since start, waking for a signal.
void wait_until(uint32_t start, uint32_t ms) {
  while (!STOP && plat::tick() - start < ms) plat::sleep_ms(20);
}

}  // namespace

int cmd_batch(const options& o) {
  batch_state b;
  b.o = &o;
  int r = readable_file(o.args[0], "Файл прошивки", b.file);
  // The ledger names the file so that it can be found again from anywhere.
  if (char* real = r < 0 ? realpath(o.args[0].c_str(), nullptr) : nullptr) {
    std::string full;
    if (plat::path_from_fs(real, full)) b.file = full;
    free(real);
  }
  if (r < 0) r = take_password(o);
  if (r < 0 && o.mac_next) r = ledger_ok();
  if (r < 0 && o.mac_next) r = settings_ok();
  if (r < 0) r = load_firmware(b.file, b.sha);
  if (r < 0) r = open_link();
  if (r >= 0) return r;
  // Without --mac-next a ledger that cannot be read only means that no
  // board can be recognised as finished: they are all flashed.
  std::string error;
  if (!ledger_read(ledger_path(), b.ledger, error)) b.ledger.clear();
  REPORT.answer_yes = o.yes;
  if (REPORT.tty && !o.quiet) err("жду устройства (Ctrl+C - закончить)");

  // What became of each board met in this run, by its address and MAC.
  // One that failed stays failed while it stays on the segment: it is tried
  // again only once it has left it and come back (re-seated), never over
  // and over while it sits there failing.
  std::map<std::string, bool> met;
  long handled = 0;
  bool said_unsent = false;
  auto reached = [&] { return o.count >= 0 && handled >= o.count; };
  while (!STOP && b.fatal < 0 && !reached()) {
    uint32_t start = plat::tick();
    std::vector<found_device> found;
    int n = discover_round(LINK, found, MAX_DEVICES);
    if (n < 0 && !said_unsent) {
      // The bench's cable may be out for a while; the batch waits.
      err("Запрос не отправлен: нет сети. Повторяю.");
      said_unsent = true;
    }
    sort_devices(found);
    std::set<std::string> present;
    for (const found_device& d : found) present.insert(std::string(d.ip, strnlen(d.ip, sizeof d.ip)) + " " + format_mac(d.mac));
    // A round that could not be sent says nothing about who left.
    for (auto i = met.begin(); n >= 0 && i != met.end();)
      i = !i->second && !present.count(i->first) ? met.erase(i) : std::next(i);
    bool worked = false;
    for (const found_device& d : found) {
      if (STOP || b.fatal >= 0 || reached()) break;
      std::string ip(d.ip, strnlen(d.ip, sizeof d.ip));
      std::string key = ip + " " + format_mac(d.mac);
      if (met.count(key)) continue;
      handled++;
      if (!o.again && already_done(b, d)) {
        met[key] = true;
        outln(result_line(ip, device_name(d.name), format_mac(d.mac), "-") + "уже готово");
        continue;
      }
      std::string after;
      bool ok = run_device(b, d, after);
      met[key] = ok;
      met[after] = ok;
      worked = true;
    }
    if (!worked) wait_until(start, ROUND_MS);
  }
  if (b.fatal >= 0) return b.fatal;
  // Stopped before the boards asked for were done: a script must not take
  // that for a finished batch.
  if (STOP && o.count >= 0 && !reached()) return EXIT_INTERRUPTED;
  return b.failures ? EXIT_DEVICE : EXIT_DONE;
}

// ---- ledger ------------------------------------------------------------------------------

int cmd_ledger(const options& o) {
  std::string path = ledger_path();
  std::vector<ledger_line> lines;
  std::string error;
  if (!ledger_read(path, lines, error)) {
    err(error);
    return EXIT_FILE;
  }
  if (!o.check) {
    std::ifstream in(path, std::ios::binary);
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
  std::set<std::string> confirmed;
  for (const ledger_line& l : lines)
    if (l.result == LEDGER_CONFIRMED) confirmed.insert(l.new_mac);
  for (const ledger_line& l : ledger_unsettled(lines))
    outln("предупреждение: " + l.new_mac + " зарезервирован (строка " + std::to_string(l.line) + ", " + l.address +
          "), но итог не записан: устройство могло его получить");
  std::vector<ledger_duplicate> twice = ledger_confirmed_twice(lines);
  for (const ledger_duplicate& d : twice) {
    std::string at;
    for (int n : d.lines) at += (at.empty() ? "" : ", ") + std::to_string(n);
    outln("ошибка: " + d.mac + " подтверждён больше одного раза: строки " + at);
  }
  outln("строк: " + std::to_string(lines.size()) + ", подтверждённых адресов: " + std::to_string(confirmed.size()) +
        ", подтверждённых дважды: " + std::to_string(twice.size()));
  return twice.empty() ? EXIT_DONE : EXIT_DEVICE;
}

}  // namespace ctl
