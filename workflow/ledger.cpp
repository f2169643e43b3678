#include "workflow/ledger.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "workflow/record.h"
#include "workflow/series.h"
#include "platform/durable.h"
#include "platform/base.h"

const char* const LEDGER_RESERVED = "reserved";
const char* const LEDGER_CONFIRMED = "confirmed";
const char* const LEDGER_FAILED = "failed";

namespace {

// The previous version's header and lines (eight fields, MAC lines only)
// stay readable as they are: such a file is never rewritten, and the lines
// this version appends to it carry every field of the new header.
const char HEADER_V1[] = "time,address,name,old_mac,new_mac,firmware,sha256,result";
const int FIELDS_V1 = 8;
const char HEADER[] = "time,address,name,old_mac,new_mac,firmware,sha256,result,bench,operator,id,kind,target,stage,page";
const int FIELDS = 15;
// Far more than a line of the ledger needs; a longer one is no ledger line,
// and the writer refuses to make one.
const size_t MAX_LINE = 8192;
// A ledger of ten years of a busy line is a few hundred megabytes at most;
// anything larger is no ledger.
const long long MAX_FILE = 1LL << 30;

// ---- SHA-256 ---------------------------------------------------------------------

struct sha256 {
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char block[64];
  size_t fill = 0;
  uint64_t total = 0;

  static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void compress(const unsigned char* p) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
      w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; i++) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; i++) {
      uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
  }

  void add(const void* data, size_t n) {
    const unsigned char* p = (const unsigned char*)data;
    total += n;
    while (n > 0) {
      size_t take = std::min(n, sizeof block - fill);
      std::memcpy(block + fill, p, take);
      fill += take, p += take, n -= take;
      if (fill == sizeof block) {
        compress(block);
        fill = 0;
      }
    }
  }

  std::string hex() {
    uint64_t bits = total * 8;
    unsigned char pad = 0x80;
    add(&pad, 1);
    pad = 0;
    while (fill != 56) add(&pad, 1);
    unsigned char len[8];
    for (int i = 0; i < 8; i++) len[i] = (unsigned char)(bits >> (56 - 8 * i));
    add(len, 8);
    char out[65];
    for (int i = 0; i < 8; i++) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
    return std::string(out, 64);
  }
};

// ---- CSV ---------------------------------------------------------------------------

// A field as the file holds it: UTF-8, quoted when it carries a separator, a
// quote or blanks at its ends. Line ends and other control characters (a
// device name may hold anything) become blanks, so one record is one line.
std::string csv_field(const std::string& cp1251) {
  std::string t = cp1251;
  for (char& c : t)
    if ((unsigned char)c < 0x20 || c == 0x7F) c = ' ';
  std::string u = plat::to_utf8(t.c_str(), (int)t.size());
  bool quote = u.find_first_of(",\"") != std::string::npos || (!u.empty() && (u.front() == ' ' || u.back() == ' '));
  if (!quote) return u;
  std::string q = "\"";
  for (char c : u) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

// Splits one line (without its line end) into UTF-8 fields. False when a
// quoted field is not closed or is followed by anything but a separator.
bool csv_split(const std::string& line, std::vector<std::string>& fields) {
  fields.clear();
  size_t i = 0;
  for (;;) {
    std::string f;
    if (i < line.size() && line[i] == '"') {
      i++;
      for (;;) {
        if (i >= line.size()) return false;
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            f += '"';
            i += 2;
            continue;
          }
          i++;
          break;
        }
        f += line[i++];
      }
      if (i < line.size() && line[i] != ',') return false;
    } else {
      size_t e = line.find(',', i);
      if (e == std::string::npos) e = line.size();
      f = line.substr(i, e - i);
      if (f.find('"') != std::string::npos) return false;
      i = e;
    }
    fields.push_back(f);
    if (i >= line.size()) return true;
    i++;  // the separator
  }
}

bool is_hex_digits(const std::string& s, size_t n) {
  if (s.size() != n) return false;
  for (char c : s)
    if (!std::isxdigit((unsigned char)c)) return false;
  return true;
}

std::string from_file_text(const std::string& utf8) { return plat::from_utf8(utf8.c_str()); }

// One line of the file into l; false when it is not a ledger line.
bool parse_line(const std::string& text, ledger_line& l) {
  // A NUL would silently end a field when it is turned into a text.
  if (text.find('\0') != std::string::npos || !plat::is_utf8(text.data(), text.size())) return false;
  std::vector<std::string> f;
  if (!csv_split(text, f) || ((int)f.size() != FIELDS && (int)f.size() != FIELDS_V1)) return false;
  f.resize(FIELDS);
  bool burn = f[11] == RECORD_BURN;
  if (!f[11].empty() && !burn && f[11] != RECORD_MAC) return false;
  unsigned char mac[6];
  if (f[0].empty() || f[1].empty()) return false;
  if (!f[3].empty() && !parse_mac(f[3].c_str(), mac)) return false;
  // A burn gives no address.
  if (burn ? !f[4].empty() : !parse_mac(f[4].c_str(), mac)) return false;
  if (!f[6].empty() && !is_hex_digits(f[6], 64)) return false;
  if (burn ? f[7] != BURN_BEGUN && f[7] != BURN_FLASHED && f[7] != BURN_FAILED
           : f[7] != LEDGER_RESERVED && f[7] != LEDGER_CONFIRMED && f[7] != LEDGER_FAILED)
    return false;
  if (burn && f[12] != TARGET_MAIN && f[12] != TARGET_COPROCESSOR) return false;
  int page = -1;
  if (!f[14].empty()) {
    if (f[14].size() > 6 || f[14].find_first_not_of("0123456789") != std::string::npos) return false;
    page = std::atoi(f[14].c_str());
  }
  l.time = from_file_text(f[0]);
  l.address = from_file_text(f[1]);
  l.name = from_file_text(f[2]);
  l.old_mac = f[3];
  l.new_mac = burn ? std::string() : format_mac(mac);
  l.firmware = from_file_text(f[5]);
  l.sha256 = f[6];
  l.result = f[7];
  l.bench = from_file_text(f[8]);
  l.operator_name = from_file_text(f[9]);
  l.id = from_file_text(f[10]);
  l.kind = burn ? RECORD_BURN : RECORD_MAC;
  l.target = f[12];
  l.stage = from_file_text(f[13]);
  l.page = page;
  return true;
}

std::string cp(const std::string& fs_path) {
  std::string c;
  if (plat::path_from_fs(fs_path.c_str(), c)) return c;
  return fs_path;
}

std::string errno_text(int e) {
  // strerror speaks the C locale's English, which is the system's own text.
  return plat::from_utf8(std::strerror(e));
}

// Parses the whole content; false with error naming the first bad line.
bool parse_all(const std::string& path, const std::string& content, std::vector<ledger_line>& lines,
               std::string& error) {
  lines.clear();
  if (content.empty()) return true;
  size_t pos = 0;
  int number = 0;
  while (pos < content.size()) {
    number++;
    size_t end = content.find('\n', pos);
    // A last line without its line end was never finished: whatever it was
    // meant to say is not known, so it is no line.
    bool unfinished = end == std::string::npos;
    std::string text = content.substr(pos, unfinished ? std::string::npos : end - pos);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    pos = unfinished ? content.size() : end + 1;
    ledger_line l;
    bool ok = !unfinished && text.size() <= MAX_LINE &&
              (number == 1 ? text == HEADER || text == HEADER_V1 : parse_line(text, l));
    if (!ok) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%d", number);
      error = "Журнал MAC-адресов " + cp(path) + " не разбирается: строка " + buf;
      lines.clear();
      return false;
    }
    if (number > 1) {
      l.line = number;
      lines.push_back(l);
    }
  }
  return true;
}

std::string ledger_file(const std::string& path) { return "Журнал MAC-адресов " + cp(path); }

// Why the ledger could not be opened (or locked).
std::string open_problem(const std::string& path, int code) {
  if (code == plat::FILE_NOT_REGULAR || code == plat::FILE_TOO_LARGE)
    return ledger_file(path) + " - не обычный файл или слишком велик";
  return ledger_file(path) + " не открывается: " + errno_text(code);
}

std::string read_problem(const std::string& path, int code) {
  if (code == plat::FILE_TOO_LARGE) return open_problem(path, code);
  return ledger_file(path) + " не читается: " + errno_text(code);
}

}  // namespace

std::string ledger_path() {
  std::string base = plat::data_home();
  return base.empty() ? base : base + "/veskor/ledger.csv";
}

bool ledger_read(const std::string& path, std::vector<ledger_line>& lines, std::string& error) {
  lines.clear();
  if (path.empty()) {
    error = "Нет домашнего каталога для журнала MAC-адресов";
    return false;
  }
  plat::durable_file f;
  if (!f.open(path, plat::FILE_LOCK_SHARED, 0, MAX_FILE)) {
    if (f.error() == ENOENT) return true;
    error = open_problem(path, f.error());
    return false;
  }
  std::string content;
  if (!f.read_all(content, MAX_FILE)) {
    error = read_problem(path, f.error());
    return false;
  }
  f.close();
  return parse_all(path, content, lines, error);
}

bool ledger_append(const std::string& path, ledger_line line, std::string& error) {
  if (path.empty()) {
    error = "Нет домашнего каталога для журнала MAC-адресов";
    return false;
  }
  if (line.time.empty()) line.time = ledger_time();
  if (line.kind.empty()) line.kind = RECORD_MAC;
  std::string page = line.page >= 0 ? std::to_string(line.page) : std::string();
  std::string text;
  const std::string* f[FIELDS] = {&line.time,   &line.address,       &line.name,    &line.old_mac, &line.new_mac,
                                  &line.firmware, &line.sha256,      &line.result,  &line.bench,   &line.operator_name,
                                  &line.id,     &line.kind,          &line.target,  &line.stage,   &page};
  for (int i = 0; i < FIELDS; i++) text += (i ? "," : "") + csv_field(*f[i]);
  // A line the reader would refuse would make the whole ledger unreadable
  // (and so stop every later address): it is refused before anything is
  // written, and the address it was for is not sent.
  if (text.size() > MAX_LINE) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%zu", MAX_LINE);
    error = ledger_file(path) + ": строка длиннее " + buf + " байт не записывается";
    return false;
  }
  text += "\n";
  std::string dir = plat::folder_of(path);
  int e = 0;
  if (!plat::make_folders(dir, 0700, &e)) {
    error = "Каталог журнала MAC-адресов " + cp(dir) + " не создаётся: " + errno_text(e);
    return false;
  }
  const unsigned how = plat::FILE_WRITE | plat::FILE_APPEND | plat::FILE_LOCK_EXCLUSIVE;
  plat::durable_file file;
  bool existed = file.open(path, how, 0600, MAX_FILE);
  if (!existed && (file.error() != ENOENT || !file.open(path, how | plat::FILE_CREATE, 0600, MAX_FILE))) {
    error = open_problem(path, file.error());
    return false;
  }
  std::string content;
  std::vector<ledger_line> lines;
  if (!file.read_all(content, MAX_FILE)) {
    error = read_problem(path, file.error());
    return false;
  }
  // Appending to a file that does not parse would bury the damage under
  // new lines; it stays exactly as it is until someone has looked at it.
  if (!parse_all(path, content, lines, error)) return false;
  if (content.empty()) text = std::string(HEADER) + "\n" + text;
  // One write: a process killed around it leaves the line whole or absent,
  // and a write or sync that fails (a full disk) is cut back off the file.
  if (!file.append(text)) {
    error = ledger_file(path) + " не записывается: " + errno_text(file.error());
    return false;
  }
  file.close();
  if (!existed && !plat::sync_folder(dir, &e)) {
    error = ledger_file(path) + " не записывается: " + errno_text(e);
    return false;
  }
  return true;
}

bool ledger_writable(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "Нет домашнего каталога для журнала MAC-адресов";
    return false;
  }
  plat::durable_file file;
  if (file.open(path, plat::FILE_WRITE | plat::FILE_APPEND, 0600, MAX_FILE)) return true;
  int e = file.error();
  if (e == plat::FILE_NOT_REGULAR || e == plat::FILE_TOO_LARGE) {
    error = open_problem(path, e);
    return false;
  }
  if (e == ENOENT && plat::folder_writable(plat::folder_of(path), &e)) return true;
  error = ledger_file(path) + " не записывается: " + errno_text(e);
  return false;
}

std::vector<ledger_duplicate> ledger_confirmed_twice(const std::vector<ledger_line>& lines) {
  std::map<std::string, std::vector<int>> confirmed;
  for (const ledger_line& l : lines)
    if (l.result == LEDGER_CONFIRMED) confirmed[l.new_mac].push_back(l.line);
  std::vector<ledger_duplicate> out;
  for (auto& c : confirmed)
    if (c.second.size() > 1) out.push_back({c.first, c.second});
  return out;
}

const ledger_line* ledger_given_elsewhere(const std::vector<ledger_line>& lines, const unsigned char mac[6],
                                          const std::string& current_mac) {
  unsigned char now[6];
  if (parse_mac(current_mac.c_str(), now) && std::memcmp(now, mac, 6) == 0) return nullptr;
  const ledger_line* last = nullptr;
  for (const ledger_line& l : lines) {
    unsigned char x[6];
    if (parse_mac(l.new_mac.c_str(), x) && std::memcmp(x, mac, 6) == 0) last = &l;
  }
  return last && last->result != LEDGER_FAILED ? last : nullptr;
}

std::vector<ledger_line> ledger_unsettled(const std::vector<ledger_line>& lines) {
  std::map<std::string, const ledger_line*> last;
  std::vector<std::string> order;
  for (const ledger_line& l : lines) {
    if (l.is_burn()) continue;
    if (!last.count(l.new_mac)) order.push_back(l.new_mac);
    last[l.new_mac] = &l;
  }
  std::vector<ledger_line> out;
  for (const std::string& m : order)
    if (last[m]->result == LEDGER_RESERVED) out.push_back(*last[m]);
  return out;
}

std::string ledger_time() {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &t);
  std::string s = buf;
  // +0100 -> +01:00, as ISO 8601 writes the offset beside a time with colons.
  if (s.size() >= 5) s.insert(s.size() - 2, ":");
  return s;
}

std::string sha256_hex(const void* data, size_t n) {
  sha256 s;
  s.add(data, n);
  return s.hex();
}

bool sha256_file(const char* cp1251_path, std::string& hex, long max_size) {
  FILE* f = plat::open_file_read(cp1251_path, max_size);
  if (!f) return false;
  sha256 s;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.add(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  if (ok) hex = s.hex();
  return ok;
}

// ---- the series past the ledger ------------------------------------------------

void ledger_series_next(const std::vector<ledger_line>& lines, const unsigned char* last, unsigned char* next) {
  std::set<uint32_t> used;
  unsigned char top[6];
  // Only the series' own addresses count: a last address from elsewhere is
  // no place to continue from, as "LastMac" holding one is not.
  mac_series_last(last, 6, top);
  for (const ledger_line& l : lines) {
    unsigned char m[6];
    if (!parse_mac(l.new_mac.c_str(), m) || !mac_in_series(m)) continue;
    used.insert(mac_series_number(m));
    if (mac_series_number(m) > mac_series_number(top)) std::memcpy(top, m, 6);
  }
  if (mac_in_series(last)) used.insert(mac_series_number(last));
  std::memcpy(next, top, 6);
  // Only a series run through to its end and started again meets used
  // addresses here; each one is passed. The steps visit distinct addresses,
  // so one more step than there are used ones always finds a free one
  // unless the ledger holds the whole series.
  mac_series_advance(next);
  for (size_t i = 0; i < used.size() && used.count(mac_series_number(next)); i++) mac_series_advance(next);
}

bool ledger_block_next(const std::vector<ledger_line>& lines, const unsigned char* last, const mac_block& block,
                       unsigned char* next) {
  // Only the block's own addresses count: what the bench handed out before
  // it had a block, and what other benches hand out, lies elsewhere.
  const unsigned char* top = mac_in_block(block, last) ? last : nullptr;
  unsigned char m[6], found[6];
  for (const ledger_line& l : lines) {
    if (!parse_mac(l.new_mac.c_str(), m) || !mac_in_block(block, m)) continue;
    if (!top || mac_series_number(m) > mac_series_number(top)) {
      std::memcpy(found, m, 6);
      top = found;
    }
  }
  unsigned char candidate[6];
  if (!top) {
    std::memcpy(candidate, block.first, 6);
  } else {
    if (std::memcmp(top, block.last, 6) == 0) return false;
    std::memcpy(candidate, top, 6);
    mac_series_advance(candidate);
  }
  std::memcpy(next, candidate, 6);
  return true;
}
