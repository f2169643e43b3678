// veskorctl: the commands. Every device operation is the window tool's own
// (netdvc), every MAC address goes through the ledger the window tool's
// MAC++ uses (app/ledger.h).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "app/dialogs.h"
#include "app/ledger.h"
#include "app/macseries.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "tools/veskorctl/ctl.h"

namespace ctl {

namespace {

// After switching programming mode on the device restarts its loader; it is
// asked whether it is back only after this pause, as the window tool does.
const uint32_t RESTART_PAUSE_MS = 1000;
// Firmware files are read whole into a 128 KB image; a HEX file of that is
// well under 1 MB, and the reader takes nothing above this.
const long MAX_FIRMWARE = 16L << 20;
// More devices than any bench segment holds.
const size_t MAX_DEVICES = 1024;
// A batch looks for new devices this often.
const uint32_t ROUND_MS = 1000;

// Which result a failure gets when the device call said nothing itself.
const char NO_ANSWER[] = "Устройство не отвечает.";
const char PORT_BUSY[] = "Порт 48900 занят другой программой: возможно, уже запущена другая копия Veskor.";

// Why a device call that said nothing failed: a port held by another
// program fails every call before anything is sent, and that is no fault
// of the device.
std::string silent_failure() { return loader_port_busy(PORT) ? PORT_BUSY : NO_ANSWER; }

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

// DEV_PASS from the options: the typed password or the first line of the
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
  char buf[100] = {};
  std::strncpy(buf, pass.c_str(), 16);
  normalise_password(buf);
  std::memset(DEV_PASS, 0, sizeof DEV_PASS);
  std::memcpy(DEV_PASS, buf, 16);
  std::memset(buf, 0, sizeof buf);
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
  if (ledger_settings_writable(problem)) return -1;
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

std::string version_text(unsigned char rev_byte) {
  signed char rev = (signed char)rev_byte;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%d", rev / 10, rev % 10);
  return buf;
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
            json_string(format_mac(d.mac)) + ",\"version\":" + json_string(version_text(d.rev)) + "}");
    } else {
      outln(pad(ip, 17) + pad(name, 18) + pad(format_mac(d.mac), 19) + version_text(d.rev));
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

// ---- the device's programming ------------------------------------------------------

// Programming mode on and the loader back again; false with the reason.
bool enter_programming(const std::string& ip, std::string& failure) {
  SINK.fresh();
  unsigned before = MESSAGES_SHOWN;
  if (!set_programm_mode(ip.c_str(), PORT)) {
    failure = MESSAGES_SHOWN == before ? "Режим программирования не включился..." : "";
    return false;
  }
  plat::sleep_ms(RESTART_PAUSE_MS);
  if (!check_device_found(ip.c_str(), PORT)) {
    failure = "Устройство не найдено...";
    return false;
  }
  return true;
}

void leave_programming(const std::string& ip) {
  if (!exit_programm_mode(ip.c_str(), PORT)) err(ip + ": устройство не подтвердило выход из режима программирования");
}

bool burn(const std::string& ip, bool coprocessor, std::string& failure) {
  SINK.device = ip;
  SINK.fresh();
  unsigned before = MESSAGES_SHOWN;
  bool ok = burn_device(ip.c_str(), PORT, coprocessor ? 1 : 0);
  SINK.device.clear();
  // The burn says why it failed when it can tell (a refused password, a
  // page never confirmed, a cut declined); silence means no answer at all.
  if (!ok) failure = MESSAGES_SHOWN == before ? silent_failure() : "прошивка не удалась";
  if (!ok && BURN_STOP) failure = "прошивка остановлена по сигналу: устройство не прошито";
  return ok;
}

// The image from the file; EXIT_FILE after a message naming the file when it
// cannot be read whole (and the line of a bad record), or when it holds
// nothing to flash: no data record, or no end record (a copy cut short),
// either of which would reach the device as an erased or half image.
int load_firmware(const std::string& path, std::string& sha) {
  hex_file_info info;
  if (!read_hex_file(path.c_str(), MEMORY_MAP, info)) {
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

std::string pages_text() {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%d страниц по %d байт", page_count + 1, page_size);
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

}  // namespace

// ---- discover, identify --------------------------------------------------------------

int cmd_discover(const options& o) {
  std::vector<found_device> found;
  int n = discover_devices(PORT, found, MAX_DEVICES);
  if (n < 0) {
    err(loader_port_busy(PORT) ? PORT_BUSY : "Запрос не отправлен: нет сети");
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
  found_device d;
  std::memset(&d, 0, sizeof d);
  char name[17] = {};
  if (!get_device_name(ip.c_str(), name, d.mac, &d.rev, PORT)) {
    err(loader_port_busy(PORT) ? PORT_BUSY : ip + ": устройство не отвечает");
    return EXIT_DEVICE;
  }
  std::memcpy(d.ip, ip.c_str(), ip.size());
  std::memcpy(d.name, name, 16);
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
  if (r >= 0) return r;
  SINK.answer_yes = o.yes;
  // A signal stops the burn after the page in hand: the device is left
  // with programming mode off and reported as not flashed, which a
  // half-written image it is; a second signal ends the program at once.
  stop_ends_burn("прерывание: прошивка остановится после текущей страницы (повторный сигнал прервёт сразу)");
  std::string failure;
  if (!enter_programming(ip, failure)) {
    if (!failure.empty()) err(ip + ": " + failure);
    return STOP ? EXIT_INTERRUPTED : EXIT_DEVICE;
  }
  bool ok = !STOP && burn(ip, o.coprocessor, failure);
  if (!ok && STOP) failure = "прошивка остановлена по сигналу: устройство не прошито";
  leave_programming(ip);
  if (!ok) {
    err(ip + ": " + failure);
    return STOP ? EXIT_INTERRUPTED : EXIT_DEVICE;
  }
  outln(ip + ": Прошилось (" + pages_text() + ", каждая проверена чтением)");
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
  // A device given a group or zero address can no longer be reached; the
  // address is written only when asked for twice.
  if (!next && mac_is_group_or_zero(typed) && !o.force)
    return bad_usage("MAC-адрес " + format_mac(typed) +
                         " групповой или нулевой: устройство с ним будет недоступно в сети (--force запишет его)",
                     "mac");
  int r = take_password(o);
  if (r < 0) r = ledger_ok();
  if (r < 0 && next) r = settings_ok();
  if (r >= 0) return r;

  char name[17] = {};
  unsigned char old_mac[6], rev;
  if (!get_device_name(ip.c_str(), name, old_mac, &rev, PORT)) {
    err(loader_port_busy(PORT) ? PORT_BUSY : ip + ": устройство не отвечает");
    return EXIT_DEVICE;
  }
  ledger_device device;
  device.name = device_name(name);
  device.old_mac = format_mac(old_mac);
  std::string problem;
  unsigned char mac[6];
  mac_outcome outcome;
  bool stored = true;
  SINK.fresh();
  unsigned before = MESSAGES_SHOWN;
  if (next) {
    outcome = ledger_series_mac(ip.c_str(), PORT, device, true, mac, &stored, problem);
  } else {
    std::memcpy(mac, typed, 6);
    outcome = ledger_typed_mac(ip.c_str(), PORT, device, mac, problem);
  }
  if (!problem.empty()) err(problem);
  if (outcome == MAC_REFUSED) {
    err(ip + ": MAC-адрес " + format_mac(mac) + " не принят" + (MESSAGES_SHOWN == before ? ": " + silent_failure() : ""));
  } else if (outcome == MAC_TAKEN) {
    char text[128];
    mac_changed_text(text, sizeof text, mac);
    outln(ip + ": " + text);
    if (!stored) err("MAC-адрес не сохранён в настройках (LastMac); журнал держит серию дальше");
  }
  return outcome_code(outcome);
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
  bool ok = enter_programming(ip, failure);
  if (ok) {
    ok = burn(ip, b.o->coprocessor, failure);
    if (ok && b.o->mac_next) {
      ledger_device device;
      device.name = name;
      device.old_mac = old_mac;
      device.firmware = b.file;
      device.sha256 = b.sha;
      unsigned char mac[6];
      bool stored = true;
      std::string problem;
      SINK.fresh();
      unsigned before = MESSAGES_SHOWN;
      mac_outcome r = ledger_series_mac(ip.c_str(), PORT, device, true, mac, &stored, problem);
      if (!problem.empty()) err(problem);
      if (r == MAC_TAKEN) {
        new_mac = format_mac(mac);
        key = ip + " " + new_mac;
        if (!stored) err("MAC-адрес не сохранён в настройках (LastMac); журнал держит серию дальше");
      } else {
        ok = false;
        if (r == MAC_REFUSED) {
          failure = "MAC-адрес " + format_mac(mac) + " не принят";
          if (MESSAGES_SHOWN == before) failure += ": " + silent_failure();
        } else {
          failure = "MAC-адрес не выдан";
          b.fatal = outcome_code(r);
        }
      }
    }
    leave_programming(ip);
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
  if (r >= 0) return r;
  // Without --mac-next a ledger that cannot be read only means that no
  // board can be recognised as finished: they are all flashed.
  std::string error;
  if (!ledger_read(ledger_path(), b.ledger, error)) b.ledger.clear();
  SINK.answer_yes = o.yes;
  if (SINK.tty && !o.quiet) err("жду устройства (Ctrl+C - закончить)");

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
    int n = discover_devices(PORT, found, MAX_DEVICES);
    if (n < 0 && !said_unsent) {
      // The port may be held for a while by another tool; the batch waits.
      err(std::string(loader_port_busy(PORT) ? PORT_BUSY : "Запрос не отправлен: нет сети") + " Повторяю.");
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
