// The settings hive in memory and as REGEDIT4 text (see hive.h).
#include "platform/hive.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/base.h"

namespace plat {
namespace settings {
namespace {

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

bool same(const std::string& a, const std::string& b) { return a.size() == b.size() && folded(a) == folded(b); }

// A byte that can stand in a line of the file as text: printable, and a
// character of its own (0x98 is none).
bool text_byte(unsigned char c) {
  static const struct table {
    bool ok[256];
    table() {
      for (int b = 0; b < 256; b++) ok[b] = b >= 0x20 && b != 0x7F && cp1251_to_unicode((unsigned char)b) != 0;
    }
  } t;
  return t.ok[c];
}

std::string utf8_of(const std::string& cp1251) { return to_utf8(cp1251.data(), (int)cp1251.size()); }

// Strict: text the file holds that is not UTF-8 of cp1251 characters is
// damage, never a value with a character dropped or guessed.
bool cp1251_of(const std::string& utf8, std::string& out) { return from_utf8_strict(utf8.data(), utf8.size(), out); }

std::string quoted(const std::string& cp1251) {
  std::string out = "\"";
  for (char c : utf8_of(cp1251)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

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

bool name_ok(const std::string& s) {
  for (unsigned char c : s)
    if (!text_byte(c)) return false;
  return true;
}

bool text_form(const std::string& data, std::string& text) {
  size_t n = data.size();
  if (n > 0 && data[n - 1] == 0) n--;
  for (size_t i = 0; i < n; i++)
    if (!text_byte((unsigned char)data[i])) return false;
  text.assign(data, 0, n);
  return true;
}

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

// ---- keys and values ---------------------------------------------------------

long reg_key::index_of(const std::string& name) const {
  std::string f = folded(name);
  if (!by_name_.empty()) {
    auto it = by_name_.find(f);
    return it == by_name_.end() ? -1 : (long)it->second;
  }
  for (size_t i = 0; i < values.size(); i++)
    if (values[i].name.size() == f.size() && folded(values[i].name) == f) return (long)i;
  return -1;
}

reg_value* reg_key::find(const std::string& name) {
  long i = index_of(name);
  return i < 0 ? nullptr : &values[(size_t)i];
}

void reg_key::reindex() {
  by_name_.clear();
  if (values.size() < INDEXED) return;
  for (size_t i = 0; i < values.size(); i++) by_name_.emplace(folded(values[i].name), i);
}

void reg_key::put(reg_value v) {
  long i = index_of(v.name);
  if (i >= 0) {
    values[(size_t)i].type = v.type;
    values[(size_t)i].data = std::move(v.data);
    return;
  }
  values.push_back(std::move(v));
  if (!by_name_.empty())
    by_name_.emplace(folded(values.back().name), values.size() - 1);
  else if (values.size() >= INDEXED)
    reindex();
}

bool reg_key::erase(const std::string& name) {
  long i = index_of(name);
  if (i < 0) return false;
  values.erase(values.begin() + i);
  reindex();
  return true;
}

reg_key* hive::find(const std::string& path) {
  auto it = paths_.find(folded(path));
  return it == paths_.end() || it->second.index < 0 ? nullptr : &keys[(size_t)it->second.index];
}

reg_key& hive::add(const std::string& path) {
  std::string f = folded(path);
  for (size_t bs = f.find('\\'); bs != std::string::npos; bs = f.find('\\', bs + 1))
    paths_.emplace(f.substr(0, bs), entry{path.substr(0, bs), -1});
  entry& e = paths_.emplace(f, entry{path, -1}).first->second;
  e.index = (long)keys.size();
  keys.emplace_back(path);
  return keys.back();
}

bool hive::exists(const std::string& path) const { return path.empty() || paths_.count(folded(path)) > 0; }

std::string hive::spelling(const std::string& path) const {
  std::string f = folded(path);
  size_t end = f.size();
  while (end > 0 && end != std::string::npos) {
    auto it = paths_.find(f.substr(0, end));
    if (it != paths_.end()) return it->second.spelling + path.substr(end);
    end = f.rfind('\\', end - 1);
  }
  return path;
}

// ---- reading -----------------------------------------------------------------

namespace {

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

// At most eight hex digits into x.
bool parse_hex_number(const std::string& h, uint32_t& x) {
  if (h.empty() || h.size() > 8) return false;
  x = 0;
  for (char c : h) {
    if (hexval(c) < 0) return false;
    x = x * 16 + (uint32_t)hexval(c);
  }
  return true;
}

// What follows the '=' of a value line, blanks trimmed.
bool parse_data(const std::string& d, reg_value& v) {
  if (!d.empty() && d[0] == '"') {
    size_t j = 0;
    std::string raw, text;
    if (!parse_quoted(d, j, raw) || j != d.size()) return false;
    if (!raw.empty() && !cp1251_of(raw, text)) return false;
    v.type = REG_SZ;
    v.data = text;
    v.data += '\0';
    return true;
  }
  uint32_t x;
  if (d.compare(0, 6, "dword:") == 0) {
    if (!parse_hex_number(d.substr(6), x)) return false;
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
    if (close == std::string::npos || close == 4 || close + 1 >= d.size() || d[close + 1] != ':' ||
        !parse_hex_number(d.substr(4, close - 4), x))
      return false;
    v.type = x;
    return parse_hex_bytes(d.substr(close + 2), v.data);
  }
  return false;  // includes "=-", the import syntax for deleting
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
  return parse_data(trim(l.substr(i)), v);
}

// The key path of a "[root\path]" line, or false.
bool parse_key_line(const std::string& l, const char* root_name, std::string& path) {
  std::string inner;
  std::vector<std::string> parts;
  if (l.back() != ']' || l.size() < 3 || l[1] == '-' || !cp1251_of(l.substr(1, l.size() - 2), inner)) return false;
  size_t bs = inner.find('\\');
  if (!same(inner.substr(0, bs), root_name) || (bs != std::string::npos && bs + 1 == inner.size()) ||
      !split_path(bs == std::string::npos ? "" : inner.c_str() + bs + 1, parts))
    return false;
  path = join(parts);
  return true;
}

// One pass over the lines of a file's text into a hive.
class parser {
 public:
  parser(const std::string& text, const char* root_name, hive& h) : text_(text), root_(root_name), h_(h) {
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start <= text.size()) {
      size_t nl = text.find('\n', start);
      if (nl == std::string::npos) {
        if (start < text.size()) lines_.emplace_back(start, text.size() - start);
        break;
      }
      lines_.emplace_back(start, nl - start);
      start = nl + 1;
    }
  }

  void run() {
    if (text_.find('\0') != std::string::npos) bad(0);
    bool header = false;
    for (size_t n = 0; n < lines_.size(); n++) {
      std::string l = line(n);
      if (l.empty()) continue;
      if (!header) {
        header = true;
        if (l == "REGEDIT4" || l == "Windows Registry Editor Version 5.00") continue;
        bad(n);  // and the line is still read for what it holds
      }
      if (l[0] == ';') continue;
      if (l[0] == '[') key(n, l);
      else if (l[0] == '"' || l[0] == '@') value(n, l);
      else bad(n);
    }
  }

 private:
  const std::string& text_;
  const char* root_;
  hive& h_;
  std::vector<std::pair<size_t, size_t>> lines_;  // where each starts, how long
  long cur_ = -1;  // the key the value lines belong to, an index in h_.keys

  // Line n without the blanks around it.
  std::string line(size_t n) const {
    size_t a = lines_[n].first, b = a + lines_[n].second;
    while (a < b && (text_[a] == ' ' || text_[a] == '\t')) a++;
    while (b > a && (text_[b - 1] == ' ' || text_[b - 1] == '\t' || text_[b - 1] == '\r')) b--;
    return text_.substr(a, b - a);
  }

  void bad(size_t n) {
    if (!h_.damaged) h_.damaged = true, h_.bad_line = (int)n + 1;
  }

  void key(size_t n, const std::string& l) {
    std::string path;
    cur_ = -1;
    if (!parse_key_line(l, root_, path)) return bad(n);
    reg_key* k = h_.find(path);
    if (!k) k = &h_.add(path);
    cur_ = k - h_.keys.data();
  }

  // n moves on over the lines a value goes on over.
  void value(size_t& n, std::string l) {
    size_t first = n;
    // Long hex data goes on over several lines, each but the last ending in
    // a backslash.
    if (l.find("=hex") != std::string::npos || l.find("= hex") != std::string::npos) {
      while (!l.empty() && l.back() == '\\' && n + 1 < lines_.size()) {
        l.pop_back();
        l += line(++n);
      }
    }
    reg_value v;
    if (cur_ < 0 || !parse_value(l, v)) return bad(first);
    h_.keys[(size_t)cur_].put(std::move(v));
  }
};

// ---- writing -----------------------------------------------------------------

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

void value_line(std::string& out, const reg_value& v) {
  size_t line_start = out.size();
  out += v.name.empty() ? "@" : quoted(v.name);
  out += '=';
  std::string text;
  char buf[20];
  if (v.type == REG_SZ && text_form(v.data, text)) {
    out += quoted(text);
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t x;
    memcpy(&x, v.data.data(), 4);
    snprintf(buf, sizeof buf, "dword:%08x", x);
    out += buf;
  } else {
    if (v.type == REG_BINARY) snprintf(buf, sizeof buf, "hex:");
    else snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
    hex_data(out, line_start, v.data);
  }
  out += '\n';
}

}  // namespace

void parse_hive(const std::string& text, const char* root_name, hive& h) { parser(text, root_name, h).run(); }

std::string hive_text(const hive& h, const char* root_name) {
  std::string out = "REGEDIT4\n";
  for (const auto& k : h.keys) {
    out += "\n[" + utf8_of(std::string(root_name) + (k.path.empty() ? "" : "\\" + k.path)) + "]\n";
    for (const auto& v : k.values) value_line(out, v);
  }
  out += '\n';
  return out;
}

}  // namespace settings
}  // namespace plat
