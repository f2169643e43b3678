// The settings hive: the registry as REGEDIT4 text files, one per root.
//
// HKEY_CURRENT_USER lives in ${XDG_CONFIG_HOME:-~/.config}/veskor/, the
// machine root in /etc/veskor/ (VESKOR_SYSTEM_HIVE names another file, for
// tests and unusual installations), HKEY_CLASSES_ROOT is the machine root's
// SOFTWARE\Classes. Keys created volatile go to a second file per root under
// $XDG_RUNTIME_DIR/veskor/ (or a private /tmp/veskor-<uid>/), which the
// system empties at reboot.
//
// Nothing is kept open between calls: every call looks at the file again
// (a parsed copy is reused while the file's identity is unchanged), and
// every change is a read-modify-write of the whole file under an flock on
// "<file>.lock", finished by writing "<file>.new", fsync, rename over the
// file and fsync of the folder (platform/durable). Readers therefore always
// see a whole file, old or new, and never need the lock. A hive or lock
// file that is not a regular file (a FIFO, a device) is never waited on:
// the hive is then unreadable.
//
// Keys and values are found through indexes on their case-folded names, so
// a hive of a hundred thousand keys reads in a fraction of a second; the
// vectors beside them keep the file's own order for writing it back.
//
// A file we cannot parse completely is never written again: what could be
// read from it stays readable, and every change is refused, so the user's
// hand edits survive until someone repairs them.
#include "platform/base.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/durable.h"

namespace plat {
namespace {

enum { ROOT_USER = 0, ROOT_MACHINE = 1 };
const char* const ROOT_NAMES[2] = {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

// Rights that change something: set value, create sub-key, create link,
// delete, write DAC, write owner.
constexpr unsigned WRITE_RIGHTS = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;

// Larger files are not ours: treat them as unparseable rather than reading
// them into memory.
constexpr long long MAX_HIVE_BYTES = 64LL << 20;
constexpr size_t MAX_PART = 255;     // one part of a key path
constexpr size_t MAX_NAME = 16383;   // a value name

struct reg_value {
  std::string name;  // cp1251, "" is the key's default value
  unsigned type;
  std::string data;
};

std::string folded(const std::string& s);

struct reg_key {
  std::string path;  // cp1251, parts joined by '\', "" for the root itself
  std::vector<reg_value> values;  // in the file's order
  // Folded name -> index in values; made only once a key has many values,
  // since most keys hold a handful and a table each would cost more than
  // it saves.
  std::unordered_map<std::string, size_t> by_name;

  static constexpr size_t INDEXED = 16;

  explicit reg_key(const std::string& p = "") : path(p) {}

  long index_of(const std::string& name) const {
    std::string f = folded(name);
    if (!by_name.empty()) {
      auto it = by_name.find(f);
      return it == by_name.end() ? -1 : (long)it->second;
    }
    for (size_t i = 0; i < values.size(); i++)
      if (values[i].name.size() == f.size() && folded(values[i].name) == f) return (long)i;
    return -1;
  }
  reg_value* find(const std::string& name) {
    long i = index_of(name);
    return i < 0 ? nullptr : &values[(size_t)i];
  }
  void reindex() {
    by_name.clear();
    if (values.size() < INDEXED) return;
    for (size_t i = 0; i < values.size(); i++) by_name.emplace(folded(values[i].name), i);
  }
  // A value of the same name takes the new one's type and data (and keeps
  // its place and spelling); a new name goes to the end.
  void put(reg_value v) {
    long i = index_of(v.name);
    if (i >= 0) {
      values[(size_t)i].type = v.type;
      values[(size_t)i].data = std::move(v.data);
      return;
    }
    values.push_back(std::move(v));
    if (!by_name.empty())
      by_name.emplace(folded(values.back().name), values.size() - 1);
    else if (values.size() >= INDEXED)
      reindex();
  }
  bool erase(const std::string& name) {
    long i = index_of(name);
    if (i < 0) return false;
    values.erase(values.begin() + i);
    reindex();
    return true;
  }
};

struct hive {
  bool readable = true;  // false: the file exists but could not be read
  bool damaged = false;  // some line could not be parsed
  int bad_line = 0;
  std::vector<reg_key> keys;  // in the file's order
  // The folded path of every key and of every key above one: the spelling
  // of the first key that has it (a key keeps the spelling it was first
  // written with) and, for a key of its own, its index in keys. A key
  // exists when some key is it or lies below it.
  struct entry {
    std::string spelling;
    long index = -1;
  };
  std::unordered_map<std::string, entry> paths;

  reg_key* find(const std::string& path) {
    auto it = paths.find(folded(path));
    return it == paths.end() || it->second.index < 0 ? nullptr : &keys[(size_t)it->second.index];
  }
  // Adds a key that is not there yet; references into keys may move.
  reg_key& add(const std::string& path) {
    std::string f = folded(path);
    for (size_t bs = f.find('\\'); bs != std::string::npos; bs = f.find('\\', bs + 1))
      paths.emplace(f.substr(0, bs), entry{path.substr(0, bs), -1});
    entry& e = paths.emplace(f, entry{path, -1}).first->second;
    e.index = (long)keys.size();
    keys.emplace_back(path);
    return keys.back();
  }
};

struct file_id {
  bool valid = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {}, ctime = {};
  bool operator==(const file_id& o) const {
    return valid == o.valid && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// Where one hive file of a root lives.
struct location {
  int root = ROOT_USER;
  bool vol = false;
  std::string file, dir;
};

struct cached {
  file_id id;
  hive h;
};

struct file_lock {
  durable_file f;
  int depth = 0;
};

constexpr uint32_t HANDLE_MAGIC = 0x6B657952;  // "Reyk"

struct handle {
  uint32_t magic = HANDLE_MAGIC;
  int root = ROOT_USER;
  bool vol = false;       // the key lives in the volatile file
  std::string path;
  bool write = false;     // opened with rights to change it
  int locks = 0;          // reg_lock calls not yet undone through this handle
  std::string lock_file;  // what they locked
};

// One thread runs the program, but the hive may be reached from others (the
// tests do); every call holds this, and reg_lock keeps it until reg_unlock
// so that the process's other threads wait as other processes do.
std::recursive_mutex g_mu;
std::map<std::string, cached> g_cache;
std::map<std::string, file_lock> g_locks;  // by lock-file path
std::set<handle*> g_handles;

// ---- texts -----------------------------------------------------------------

unsigned char fold(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return (unsigned char)(c + 32);
  if (c < 0x80) return c;
  unsigned cp = cp1251_to_unicode(c);
  if (cp >= 0x400 && cp <= 0x40F) cp += 0x50;
  else if (cp >= 0x410 && cp <= 0x42F) cp += 0x20;
  else if (cp == 0x490) cp = 0x491;
  else return c;
  int b = unicode_to_cp1251(cp);
  return b > 0 ? (unsigned char)b : c;
}

// Key paths and value names compare without regard to case: by their
// folded forms, one byte for one byte.
std::string folded(const std::string& s) {
  static const struct table {
    unsigned char t[256];
    table() {
      for (int c = 0; c < 256; c++) t[c] = fold((unsigned char)c);
    }
  } f;
  std::string out(s);
  for (char& c : out) c = (char)f.t[(unsigned char)c];
  return out;
}

bool same(const std::string& a, const std::string& b) { return a.size() == b.size() && folded(a) == folded(b); }

// A byte that can stand in a line of the file as text: printable, and with
// a form outside cp1251.
bool text_byte(unsigned char c) {
  static const struct table {
    bool ok[256];
    table() {
      for (int b = 0; b < 256; b++) ok[b] = b >= 0x20 && b != 0x7F && cp1251_to_unicode((unsigned char)b) != 0;
    }
  } t;
  return t.ok[c];
}

// Accepted for names and key parts (which have no hex form).
bool name_ok(const std::string& s) {
  for (unsigned char c : s)
    if (!text_byte(c)) return false;
  return true;
}

// The file is UTF-8, the program's texts cp1251; the conversion is the
// platform's one (text.cpp), strict on the way in.
std::string utf8_of(const std::string& cp1251) { return to_utf8(cp1251.data(), (int)cp1251.size()); }

bool cp1251_of(const std::string& utf8, std::string& out) { return from_utf8_strict(utf8.data(), utf8.size(), out); }

// The text a REG_SZ value is written as, when it has one: printable bytes,
// at most one terminating zero at the end. The terminator is implied by
// the text form, so a text always reads back terminated.
bool text_form(const std::string& data, std::string& text) {
  size_t n = data.size();
  if (n > 0 && data[n - 1] == 0) n--;
  for (size_t i = 0; i < n; i++)
    if (!text_byte((unsigned char)data[i])) return false;
  text.assign(data, 0, n);
  return true;
}

std::string quoted(const std::string& cp1251) {
  std::string out = "\"";
  for (char c : utf8_of(cp1251)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Splits a cp1251 key path at '\'. One trailing '\' is allowed; empty parts,
// over-long parts and unwritable characters are not.
bool split_path(const char* path, std::vector<std::string>& parts) {
  parts.clear();
  if (!path || !*path) return true;
  std::string s = path;
  if (s.back() == '\\') s.pop_back();
  size_t start = 0;
  for (;;) {
    size_t bs = s.find('\\', start);
    std::string part = s.substr(start, bs == std::string::npos ? std::string::npos : bs - start);
    if (part.empty() || part.size() > MAX_PART || !name_ok(part)) return false;
    parts.push_back(part);
    if (bs == std::string::npos) return true;
    start = bs + 1;
  }
}

std::string join(const std::vector<std::string>& parts) {
  std::string s;
  for (const auto& p : parts) s += (s.empty() ? "" : "\\") + p;
  return s;
}

// ---- where the files are ------------------------------------------------------

bool locate(int root, bool vol, location& loc) {
  loc.root = root;
  loc.vol = vol;
  const std::string name = std::string(ROOT_NAMES[root]) + ".reg";
  if (vol) {
    std::string run = runtime_dir();
    if (!run.empty())
      loc.dir = run + "/veskor";
    else
      loc.dir = "/tmp/veskor-" + std::to_string((unsigned long)geteuid());
    loc.file = loc.dir + "/" + name;
    return true;
  }
  if (root == ROOT_USER) {
    std::string base = config_home();
    if (base.empty()) return false;
    loc.dir = base + "/veskor";
    loc.file = loc.dir + "/" + name;
    return true;
  }
  const char* sys = getenv("VESKOR_SYSTEM_HIVE");
  loc.file = sys && *sys == '/' ? std::string(sys) : "/etc/veskor/" + name;
  loc.dir = folder_of(loc.file);
  return true;
}

// The volatile folder may sit in the shared /tmp: use it only when it is a
// real folder of ours that nobody else can write into.
bool private_dir_ok(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

bool usable(const location& loc) { return !loc.vol || private_dir_ok(loc.dir); }

// Whether a change could be written: the file (if any) and its folder (or
// the nearest folder that exists, which the folder would be made in).
bool location_writable(const location& loc) {
  if (!usable(loc)) return false;
  if (access(loc.file.c_str(), F_OK) == 0) return access(loc.file.c_str(), W_OK) == 0 && access(loc.dir.c_str(), W_OK | X_OK) == 0;
  std::string d = loc.dir;
  for (;;) {
    struct stat st;
    if (stat(d.c_str(), &st) == 0) return S_ISDIR(st.st_mode) && access(d.c_str(), W_OK | X_OK) == 0;
    if (errno != ENOENT || d == "/") return false;
    d = folder_of(d);
  }
}

// ---- reading ---------------------------------------------------------------

file_id id_of(const struct stat& st) {
  file_id id;
  id.valid = true;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  id.ctime = st.st_ctim;
  return id;
}

std::string trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) a++;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) b--;
  return s.substr(a, b - a);
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted text starting at s[i] == '"' with \\ and \" escapes; i ends
// after the closing quote. The result is the raw UTF-8 between the quotes.
bool parse_quoted(const std::string& s, size_t& i, std::string& out) {
  out.clear();
  if (i >= s.size() || s[i] != '"') return false;
  for (i++; i < s.size(); i++) {
    char c = s[i];
    if (c == '"') {
      i++;
      return true;
    }
    if (c == '\\') {
      if (++i >= s.size() || (s[i] != '\\' && s[i] != '"')) return false;
      c = s[i];
    }
    out += c;
  }
  return false;
}

bool parse_hex_bytes(const std::string& s, std::string& out) {
  out.clear();
  size_t i = 0;
  auto skip = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
  };
  skip();
  if (i == s.size()) return true;
  for (;;) {
    skip();
    int v = 0, digits = 0;
    while (i < s.size() && hexval(s[i]) >= 0 && digits < 3) v = v * 16 + hexval(s[i++]), digits++;
    if (digits == 0 || digits > 2) return false;
    out += (char)v;
    skip();
    if (i == s.size()) return true;
    if (s[i++] != ',') return false;
  }
}

// One value line (its hex continuations already joined). False: the line
// cannot be understood.
bool parse_value(const std::string& l, reg_value& v) {
  size_t i = 0;
  std::string raw;
  if (l[0] == '@') {
    v.name.clear();
    i = 1;
  } else {
    if (!parse_quoted(l, i, raw) || !cp1251_of(raw, v.name) || v.name.empty()) return false;
  }
  while (i < l.size() && (l[i] == ' ' || l[i] == '\t')) i++;
  if (i >= l.size() || l[i++] != '=') return false;
  std::string d = trim(l.substr(i));
  if (!d.empty() && d[0] == '"') {
    size_t j = 0;
    std::string text;
    if (!parse_quoted(d, j, raw) || j != d.size()) return false;
    if (!raw.empty() && !cp1251_of(raw, text)) return false;
    v.type = REG_SZ;
    v.data = text;
    v.data += '\0';
    return true;
  }
  if (d.compare(0, 6, "dword:") == 0) {
    std::string h = d.substr(6);
    if (h.empty() || h.size() > 8) return false;
    uint32_t x = 0;
    for (char c : h) {
      if (hexval(c) < 0) return false;
      x = x * 16 + (uint32_t)hexval(c);
    }
    v.type = REG_DWORD;
    v.data.assign((const char*)&x, 4);
    return true;
  }
  if (d.compare(0, 4, "hex:") == 0) {
    v.type = REG_BINARY;
    return parse_hex_bytes(d.substr(4), v.data);
  }
  if (d.compare(0, 4, "hex(") == 0) {
    size_t close = d.find(')');
    if (close == std::string::npos || close == 4 || close > 12 || close + 1 >= d.size() || d[close + 1] != ':')
      return false;
    uint32_t t = 0;
    for (size_t k = 4; k < close; k++) {
      if (hexval(d[k]) < 0) return false;
      t = t * 16 + (uint32_t)hexval(d[k]);
    }
    v.type = t;
    return parse_hex_bytes(d.substr(close + 2), v.data);
  }
  return false;  // includes "=-", the import syntax for deleting
}

bool key_exists(const hive& h, const std::string& path) {
  return path.empty() || h.paths.count(folded(path)) > 0;
}

// Everything that can be understood is kept, even from a damaged file, so
// that it stays readable; the damage only forbids writing the file again.
void parse(const std::string& text, const char* root_name, hive& h) {
  // Where each line starts and how long it is.
  std::vector<std::pair<size_t, size_t>> lines;
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      if (start < text.size()) lines.emplace_back(start, text.size() - start);
      break;
    }
    lines.emplace_back(start, nl - start);
    start = nl + 1;
  }
  // Line n without the blanks around it.
  auto trimmed = [&](size_t n) {
    size_t a = lines[n].first, b = a + lines[n].second;
    while (a < b && (text[a] == ' ' || text[a] == '\t')) a++;
    while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t' || text[b - 1] == '\r')) b--;
    return text.substr(a, b - a);
  };
  auto bad = [&](size_t n) {
    if (!h.damaged) h.damaged = true, h.bad_line = (int)n + 1;
  };
  if (text.find('\0') != std::string::npos) bad(0);
  bool header = false;
  reg_key* cur = nullptr;
  for (size_t n = 0; n < lines.size(); n++) {
    std::string l = trimmed(n);
    if (l.empty()) continue;
    if (!header) {
      header = true;
      if (l == "REGEDIT4" || l == "Windows Registry Editor Version 5.00") continue;
      bad(n);
    }
    if (l[0] == ';') continue;
    if (l[0] == '[') {
      cur = nullptr;
      std::string inner, path;
      std::vector<std::string> parts;
      if (l.back() != ']' || l.size() < 3 || l[1] == '-' || !cp1251_of(l.substr(1, l.size() - 2), inner)) {
        bad(n);
        continue;
      }
      size_t bs = inner.find('\\');
      std::string root = inner.substr(0, bs);
      if (!same(root, root_name) || (bs != std::string::npos && bs + 1 == inner.size()) ||
          !split_path(bs == std::string::npos ? "" : inner.c_str() + bs + 1, parts)) {
        bad(n);
        continue;
      }
      path = join(parts);
      cur = h.find(path);
      if (!cur) cur = &h.add(path);
      continue;
    }
    if (l[0] == '"' || l[0] == '@') {
      size_t first = n;
      // Long hex data goes on over several lines, each but the last ending
      // in a backslash.
      size_t eq = l.find("=hex");
      if (eq == std::string::npos) eq = l.find("= hex");
      if (eq != std::string::npos) {
        while (!l.empty() && l.back() == '\\' && n + 1 < lines.size()) {
          l.pop_back();
          l += trimmed(++n);
        }
      }
      reg_value v;
      if (!cur || !parse_value(l, v)) {
        bad(first);
        continue;
      }
      cur->put(std::move(v));
      continue;
    }
    bad(n);
  }
}

// The hive as the file holds it now. A missing file is an empty hive.
hive& load(const location& loc) {
  cached& c = g_cache[loc.file];
  struct stat st;
  if (!usable(loc)) {
    c = cached();
    c.h.readable = false;
    return c.h;
  }
  if (stat(loc.file.c_str(), &st) != 0) {
    c = cached();
    if (errno != ENOENT) c.h.readable = false;
    return c.h;
  }
  if (c.id.valid && c.id == id_of(st)) return c.h;
  c = cached();
  // A FIFO or a device in the hive's place is refused, not waited on.
  durable_file f;
  if (!f.open(loc.file, 0, 0, MAX_HIVE_BYTES)) {
    c.h.readable = f.error() == ENOENT;
    return c.h;
  }
  std::string text;
  bool ok = fstat(f.fd(), &st) == 0 && f.read_all(text, MAX_HIVE_BYTES);
  f.close();
  if (!ok) {
    c.h.readable = false;
    return c.h;
  }
  parse(text, ROOT_NAMES[loc.root], c.h);
  c.id = id_of(st);
  return c.h;
}

// ---- writing ---------------------------------------------------------------

void hex_data(std::string& out, size_t line_start, const std::string& data) {
  static const char D[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); i++) {
    // Lines are kept under 80 columns the way exports wrap them.
    if (i > 0 && out.size() - line_start + 3 + 1 > 79) {
      out += "\\\n  ";
      line_start = out.size() - 2;
    }
    unsigned char b = (unsigned char)data[i];
    out += D[b >> 4];
    out += D[b & 15];
    if (i + 1 < data.size()) out += ',';
  }
}

std::string serialise(const hive& h, const char* root_name) {
  std::string out = "REGEDIT4\n";
  for (const auto& k : h.keys) {
    out += "\n[" + utf8_of(std::string(root_name) + (k.path.empty() ? "" : "\\" + k.path)) + "]\n";
    for (const auto& v : k.values) {
      size_t line_start = out.size();
      out += v.name.empty() ? "@" : quoted(v.name);
      out += '=';
      std::string text;
      if (v.type == REG_SZ && text_form(v.data, text)) {
        out += quoted(text);
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t x;
        memcpy(&x, v.data.data(), 4);
        char buf[16];
        snprintf(buf, sizeof buf, "dword:%08x", x);
        out += buf;
      } else {
        if (v.type == REG_BINARY) {
          out += "hex:";
        } else {
          char buf[20];
          snprintf(buf, sizeof buf, "hex(%x):", v.type);
          out += buf;
        }
        hex_data(out, line_start, v.data);
      }
      out += '\n';
    }
  }
  out += '\n';
  return out;
}

// Replaces the file with text so that a crash at any instant leaves either
// the old file or the new one, and the new one survives a power loss once
// this returns.
long replace_file(const location& loc, const std::string& text) {
  std::string target = loc.file;
  struct stat st;
  mode_t mode = loc.root == ROOT_MACHINE && !loc.vol ? 0644 : 0600;
  if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // A hive linked from elsewhere (a dotfiles folder) stays linked: the
    // new file replaces the link's target.
    char* real = realpath(target.c_str(), nullptr);
    if (!real) return ERROR_ACCESS_DENIED;
    target = real;
    free(real);
  }
  if (stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  // Writers are serialised by the lock, so the one fixed temporary name of
  // replace_file is enough, and a writer that died leaves at most that one
  // file behind for the next.
  int e = 0;
  if (plat::replace_file(target, text, mode, &e)) return ERROR_SUCCESS;
  return e == EACCES || e == EPERM || e == EROFS ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
}

bool prepare_dir(const location& loc) {
  if (!make_folders(loc.dir, loc.root == ROOT_MACHINE && !loc.vol ? 0755 : 0700)) return false;
  return usable(loc);
}

// Takes the cross-process lock of the location (nesting counts).
bool lock_location(const location& loc) {
  std::string path = loc.file + ".lock";
  file_lock& l = g_locks[path];
  if (l.depth > 0) {
    l.depth++;
    return true;
  }
  // A hive we may only read can still be locked through a lock file that
  // exists, so that readers of a series wait for its writer. A lock file
  // that is no regular file is refused rather than waited on.
  const unsigned how = FILE_NO_FOLLOW | FILE_LOCK_EXCLUSIVE;
  bool writable = prepare_dir(loc);
  if (!writable || !l.f.open(path, how | FILE_WRITE | FILE_CREATE, 0600)) {
    if (writable && l.f.error() == FILE_NOT_REGULAR) return false;
    if (!l.f.open(path, how)) return false;
  }
  l.depth = 1;
  return true;
}

void unlock_file(const std::string& lock_file) {
  auto it = g_locks.find(lock_file);
  if (it == g_locks.end() || it->second.depth == 0) return;
  if (--it->second.depth == 0) it->second.f.close();  // the flock goes with it
}

// Runs change on a fresh copy of the hive under the lock and writes the
// result when change reports that something changed.
template <class F>
long modify(const location& loc, F change) {
  if (!location_writable(loc) || !prepare_dir(loc)) return ERROR_ACCESS_DENIED;
  if (!lock_location(loc)) return ERROR_ACCESS_DENIED;
  long rc;
  const hive& now = load(loc);
  if (!now.readable || now.damaged) {
    rc = ERROR_ACCESS_DENIED;
  } else {
    hive next = now;
    bool changed = false;
    rc = change(next, changed);
    if (rc == ERROR_SUCCESS && changed) {
      rc = replace_file(loc, serialise(next, ROOT_NAMES[loc.root]));
      if (rc == ERROR_SUCCESS) {
        struct stat st;
        cached& c = g_cache[loc.file];
        c = cached();
        if (stat(loc.file.c_str(), &st) == 0) {
          c.h = std::move(next);
          c.id = id_of(st);
        }
      }
    }
  }
  unlock_file(loc.file + ".lock");
  return rc;
}

// ---- handles ---------------------------------------------------------------

// The root a predefined handle stands for and the path prefix it adds.
bool root_of(void* root, int& r, std::vector<std::string>& prefix) {
  prefix.clear();
  if (root == HKEY_CURRENT_USER) {
    r = ROOT_USER;
  } else if (root == HKEY_LOCAL_MACHINE) {
    r = ROOT_MACHINE;
  } else if (root == HKEY_CLASSES_ROOT) {
    r = ROOT_MACHINE;
    prefix = {"SOFTWARE", "Classes"};
  } else {
    return false;
  }
  return true;
}

handle* live(void* key) {
  handle* h = (handle*)key;
  return g_handles.count(h) && h->magic == HANDLE_MAGIC ? h : nullptr;
}

// A handle, or a predefined root used as a key (a temporary handle on it).
bool resolve(void* key, handle& tmp, handle*& h) {
  h = live(key);
  if (h) return true;
  std::vector<std::string> prefix;
  if (!root_of(key, tmp.root, prefix)) return false;
  tmp.vol = false;
  tmp.path = join(prefix);
  tmp.write = true;
  h = &tmp;
  return true;
}

// Parent handle and sub-path joined into (root, full path).
long full_path(void* parent, const char* sub, int& root, std::string& path, bool& parent_vol) {
  std::vector<std::string> parts;
  if (!split_path(sub, parts)) return ERROR_INVALID_PARAMETER;
  handle tmp, *h;
  if (!resolve(parent, tmp, h)) return ERROR_INVALID_HANDLE;
  root = h->root;
  parent_vol = h->vol;
  path = h->path;
  for (const auto& p : parts) path += (path.empty() ? "" : "\\") + p;
  return ERROR_SUCCESS;
}

void* new_handle(int root, bool vol, const std::string& path, bool write) {
  handle* h = new handle;
  h->root = root;
  h->vol = vol;
  h->path = path;
  h->write = write;
  g_handles.insert(h);
  return h;
}

// The stored spelling of a key (case-insensitive match), so that the file
// keeps the case the key was made with: the longest part of the path that
// exists keeps its spelling, the rest is as given.
std::string stored_path(const hive& h, const std::string& path) {
  std::string f = folded(path);
  size_t end = f.size();
  while (end > 0 && end != std::string::npos) {
    auto it = h.paths.find(f.substr(0, end));
    if (it != h.paths.end()) return it->second.spelling + path.substr(end);
    end = f.rfind('\\', end - 1);
  }
  return path;
}

long open_existing(int root, const std::string& path, unsigned access, void** key) {
  for (int vol = 0; vol < 2; vol++) {
    location loc;
    if (!locate(root, vol != 0, loc)) continue;
    const hive& h = load(loc);
    if (!h.readable) {
      if (!vol) return ERROR_ACCESS_DENIED;
      continue;
    }
    // The root key exists in the persistent file whether or not anything
    // is stored there.
    if (!key_exists(h, path)) continue;
    bool write = (access & WRITE_RIGHTS) != 0;
    if (write && (h.damaged || !location_writable(loc))) return ERROR_ACCESS_DENIED;
    *key = new_handle(root, vol != 0, stored_path(h, path), write);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

}  // namespace

long reg_open_key(void* root, const char* path, unsigned access, void** key) {
  if (!key) return ERROR_INVALID_PARAMETER;
  *key = nullptr;
  std::lock_guard<std::recursive_mutex> g(g_mu);
  int r;
  std::string full;
  bool parent_vol;
  long rc = full_path(root, path, r, full, parent_vol);
  if (rc != ERROR_SUCCESS) return rc;
  return open_existing(r, full, access, key);
}

long reg_create_key(void* root, const char* path, unsigned options, unsigned access, void** key) {
  if (!key) return ERROR_INVALID_PARAMETER;
  *key = nullptr;
  std::lock_guard<std::recursive_mutex> g(g_mu);
  int r;
  std::string full;
  bool parent_vol;
  long rc = full_path(root, path, r, full, parent_vol);
  if (rc != ERROR_SUCCESS) return rc;
  rc = open_existing(r, full, access, key);
  if (rc != ERROR_FILE_NOT_FOUND) return rc;

  location pers, vol;
  if (!locate(r, false, pers) || !locate(r, true, vol)) return ERROR_ACCESS_DENIED;
  bool want_vol = (options & REG_OPTION_VOLATILE) != 0;
  // Keys under a volatile key must be volatile themselves, or they would
  // outlive their parent at the next reboot. Only the keys made volatile
  // count: the parts of their paths above them are ordinary keys here.
  if (!want_vol) {
    if (parent_vol) return ERROR_CHILD_MUST_BE_VOLATILE;
    hive& vh = load(vol);
    const hive& ph = load(pers);
    if (vh.readable) {
      std::string p = full;
      while (!p.empty()) {
        size_t bs = p.rfind('\\');
        p = bs == std::string::npos ? "" : p.substr(0, bs);
        if (!p.empty() && vh.find(p) && !key_exists(ph, p)) return ERROR_CHILD_MUST_BE_VOLATILE;
      }
    }
  }
  // Volatile machine keys need the right to change the machine root.
  if (want_vol && r == ROOT_MACHINE && !location_writable(pers)) return ERROR_ACCESS_DENIED;
  const location& loc = want_vol ? vol : pers;
  std::string stored = full;
  rc = modify(loc, [&](hive& h, bool& changed) {
    // Another process may have made it in the meantime.
    if (key_exists(h, full)) {
      stored = stored_path(h, full);
      return (long)ERROR_SUCCESS;
    }
    // Parts of the path that exist keep their spelling.
    stored = stored_path(h, full);
    h.add(stored);
    changed = true;
    return (long)ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *key = new_handle(r, want_vol, stored, (access & WRITE_RIGHTS) != 0);
  return ERROR_SUCCESS;
}

long reg_query_value(void* key, const char* name, unsigned* type, unsigned char* data, unsigned* size) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_FILE_NOT_FOUND;
  hive& hv = load(loc);
  if (!hv.readable) return ERROR_ACCESS_DENIED;
  reg_key* k = hv.find(h->path);
  reg_value* v = k ? k->find(name ? name : "") : nullptr;
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  if (!size) return ERROR_SUCCESS;
  unsigned room = *size;
  *size = (unsigned)v->data.size();
  if (!data) return ERROR_SUCCESS;
  if (room < v->data.size()) return ERROR_MORE_DATA;
  if (!v->data.empty()) memcpy(data, v->data.data(), v->data.size());
  return ERROR_SUCCESS;
}

long reg_set_value(void* key, const char* name, unsigned type, const unsigned char* data, unsigned size) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (!h->write) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  if (n.size() > MAX_NAME || !name_ok(n) || (size > 0 && !data)) return ERROR_INVALID_PARAMETER;
  reg_value nv{n, type, size ? std::string((const char*)data, size) : std::string()};
  std::string text;
  // Stored as it will read back from the file: a text always terminated.
  if (type == REG_SZ && text_form(nv.data, text)) nv.data = text + '\0';
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_ACCESS_DENIED;
  return modify(loc, [&](hive& hv, bool& changed) {
    reg_key* k = hv.find(h->path);
    // The key was taken out of the file by hand while we held it open: it
    // comes back with the value.
    if (!k) k = &hv.add(h->path);
    reg_value* v = k->find(n);
    if (v && v->type == nv.type && v->data == nv.data) return (long)ERROR_SUCCESS;
    k->put(nv);
    changed = true;
    return (long)ERROR_SUCCESS;
  });
}

long reg_delete_value(void* key, const char* name) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle tmp, *h;
  if (!resolve(key, tmp, h)) return ERROR_INVALID_HANDLE;
  if (!h->write) return ERROR_ACCESS_DENIED;
  std::string n = name ? name : "";
  location loc;
  if (!locate(h->root, h->vol, loc)) return ERROR_ACCESS_DENIED;
  // Look before taking the lock: deleting what is not there writes nothing.
  {
    hive& hv = load(loc);
    reg_key* k = hv.find(h->path);
    if (hv.readable && (!k || !k->find(n))) return ERROR_FILE_NOT_FOUND;
  }
  return modify(loc, [&](hive& hv, bool& changed) {
    reg_key* k = hv.find(h->path);
    if (!k || !k->erase(n)) return (long)ERROR_FILE_NOT_FOUND;
    changed = true;
    return (long)ERROR_SUCCESS;
  });
}

long reg_close_key(void* key) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  int r;
  std::vector<std::string> prefix;
  if (root_of(key, r, prefix)) return ERROR_SUCCESS;
  handle* h = live(key);
  if (!h) return ERROR_INVALID_HANDLE;
  while (h->locks > 0) reg_unlock(h);
  g_handles.erase(h);
  h->magic = 0;
  delete h;
  return ERROR_SUCCESS;
}

bool reg_lock(void* key) {
  g_mu.lock();
  handle* h = live(key);
  location loc;
  if (!h || !locate(h->root, h->vol, loc) || (h->locks > 0 && h->lock_file != loc.file + ".lock") ||
      !lock_location(loc)) {
    g_mu.unlock();
    return false;
  }
  h->lock_file = loc.file + ".lock";
  h->locks++;
  // g_mu stays held until the matching reg_unlock.
  return true;
}

void reg_unlock(void* key) {
  std::lock_guard<std::recursive_mutex> g(g_mu);
  handle* h = live(key);
  if (!h || h->locks == 0) return;
  unlock_file(h->lock_file);
  h->locks--;
  g_mu.unlock();
}

}  // namespace plat
