#include "workflow/record.h"

#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/base.h"
#include "platform/durable.h"
#include "workflow/ledger_db.h"
#include "workflow/workflow.h"

const char* const RECORD_MAC = "mac";
const char* const RECORD_BURN = "burn";
const char* const BURN_BEGUN = "begun";
const char* const BURN_FLASHED = "flashed";
const char* const BURN_FAILED = "failed";
const char* const TARGET_MAIN = "main";
const char* const TARGET_COPROCESSOR = "coprocessor";
const char* const SETTINGS_LEDGER = "Ledger";
const char* const SETTINGS_BENCH = "Bench";

bool ledger_line::is_burn() const { return kind == RECORD_BURN; }

std::string record_id() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += (size_t)n;
  }
  char out[33];
  for (int i = 0; i < 16; i++) std::snprintf(out + 2 * i, 3, "%02x", bytes[i]);
  return std::string(out, 32);
}

std::string step_id(const std::string& line_id) { return line_id + "-" + record_id().substr(0, 8); }

std::string line_of(const std::string& id) { return id.substr(0, 32); }

namespace {

// A text value of the settings key; empty when there is none. Only read:
// asking where the ledger is must not make a settings file.
std::string setting_text(const char* name) {
  void* key = nullptr;
  if (plat::reg_open_key(HKEY_CURRENT_USER, SETTINGS_KEY, KEY_READ, &key) != ERROR_SUCCESS) return "";
  unsigned char buf[1024];
  unsigned size = sizeof buf - 1, type = 0;
  std::string v;
  if (plat::reg_query_value(key, name, &type, buf, &size) == ERROR_SUCCESS && type == REG_SZ) {
    buf[size] = 0;
    v = (const char*)buf;
  }
  plat::reg_close_key(key);
  return v;
}

// An environment variable (UTF-8) as cp1251; empty when unset or without a
// cp1251 form.
std::string env_text(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return "";
  return plat::from_utf8(v);
}

}  // namespace

std::string ledger_location(const std::string& given) {
  if (!given.empty()) return given;
  std::string v = env_text("VESKOR_LEDGER");
  if (v.empty()) v = setting_text(SETTINGS_LEDGER);
  if (v.empty()) {
    std::string path = ledger_path();
    std::string c;
    v = plat::path_from_fs(path.c_str(), c) ? c : path;
  }
  return v;
}

bool is_database_location(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::string shown_location(const std::string& location) {
  if (!is_database_location(location)) return location;
  std::string s = location;
  size_t scheme = s.find("://") + 3;
  // The authority ends at the first '/', '?' or '#'; a password is what
  // stands between the first ':' and the last '@' of it.
  size_t end = s.find_first_of("/?#", scheme);
  if (end == std::string::npos) end = s.size();
  size_t at = s.rfind('@', end);
  if (at != std::string::npos && at >= scheme) {
    size_t colon = s.find(':', scheme);
    if (colon != std::string::npos && colon < at) s.replace(colon + 1, at - colon - 1, "***");
  }
  // password=... among the parameters, up to the next '&' or '#'.
  for (size_t p = s.find('?'); p != std::string::npos; p = s.find('&', p + 1)) {
    const char key[] = "password=";
    if (s.compare(p + 1, sizeof key - 1, key) == 0) {
      size_t v = p + sizeof key;
      size_t e = s.find_first_of("&#", v);
      s.replace(v, (e == std::string::npos ? s.size() : e) - v, "***");
    }
  }
  return s;
}

std::string bench_name(const std::string& given) {
  if (!given.empty()) return given;
  std::string v = env_text("VESKOR_BENCH");
  if (v.empty()) v = setting_text(SETTINGS_BENCH);
  if (v.empty()) {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) == 0) v = plat::from_utf8(host);
  }
  return v;
}

std::string operator_name() {
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found) return plat::from_utf8(found->pw_name);
  const char* v = std::getenv("LOGNAME");
  return v ? plat::from_utf8(v) : std::string("?");
}

bool record_time(const std::string& text, long long& at) {
  // "2026-12-08T21:16:52+01:00" (ledger_time), or without the offset: the
  // local time then.
  int y, mo, d, h, mi, s = 0, n = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3 || n != 10) return false;
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  size_t pos = 10;
  if (pos < text.size() && (text[pos] == 'T' || text[pos] == ' ')) {
    int m = 0;
    if (std::sscanf(text.c_str() + pos + 1, "%2d:%2d%n", &h, &mi, &m) != 2 || m != 5) return false;
    pos += 1 + m;
    if (pos < text.size() && text[pos] == ':') {
      if (std::sscanf(text.c_str() + pos + 1, "%2d%n", &s, &m) != 1 || m != 2) return false;
      pos += 3;
    }
    t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 60) return false;
  if (pos == text.size()) {
    t.tm_isdst = -1;
    time_t local = mktime(&t);
    if (local == (time_t)-1) return false;
    at = local;
    return true;
  }
  long offset = 0;
  if (text[pos] == 'Z' && pos + 1 == text.size()) {
    offset = 0;
  } else if (text[pos] == '+' || text[pos] == '-') {
    int oh, om = 0, m = 0;
    const char* p = text.c_str() + pos + 1;
    if (std::sscanf(p, "%2d:%2d%n", &oh, &om, &m) == 2 && m == 5 && pos + 6 == text.size()) {
    } else if (std::sscanf(p, "%2d%2d%n", &oh, &om, &m) == 2 && m == 4 && pos + 5 == text.size()) {
    } else {
      return false;
    }
    offset = (oh * 60L + om) * 60L * (text[pos] == '-' ? -1 : 1);
  } else {
    return false;
  }
  at = (long long)timegm(&t) - offset;
  return true;
}

std::unique_ptr<mac_ledger> open_ledger(const std::string& location, const std::string& bench,
                                        const std::string& operator_name) {
  if (is_database_location(location)) return open_database_ledger(location, bench, operator_name);
  std::string fs = plat::path_to_fs(location.c_str());
  return open_file_ledger(fs.empty() ? location : fs, bench, operator_name);
}
