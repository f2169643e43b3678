// The registry store: a record base kept as values of one settings-hive key.
#include <cstdio>
#include <cstring>

#include "class/dbase.h"
#include "platform/platform.h"

namespace {

char* copy_text(const char* s) {
  if (!s) s = "";
  size_t n = strlen(s);
  char* c = new char[n + 1];
  memcpy(c, s, n + 1);
  return c;
}

struct value_name {
  char text[16];
  explicit value_name(int rec) { snprintf(text, sizeof text, "X%08X", (unsigned)rec); }
};

const char* const COUNTERS[] = {"Size", "SizeRecord", "Modify", "Index", "Param"};

// Holds the hive's cross-process lock so that a read and the write that
// depends on it are one step.
class hive_lock {
 public:
  explicit hive_lock(void* key) : key_(key), held_(key && plat::reg_lock(key)) {}
  ~hive_lock() {
    if (held_) plat::reg_unlock(key_);
  }
  hive_lock(const hive_lock&) = delete;
  hive_lock& operator=(const hive_lock&) = delete;

 private:
  void* key_;
  bool held_;
};

}  // namespace

_rbase::_rbase(const char* base_name, const char* fields, int cache_size, unsigned long flags)
    : tdbase(fields), KEY(nullptr) {
  name = copy_text(base_name);
  TEMPORY = (flags & DB_TEMPORARY) != 0;
  SIZE_CACHE = cache_size > 0 ? cache_size : 0;
  if (SIZE_CACHE) cache = new char[(size_t)SIZE_CACHE * SIZE_RECORD];

  void* root = (flags & DB_USER) ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  char path[512];
  snprintf(path, sizeof path, "Software\\Quarnel\\Bases\\%s", name);
  if (plat::reg_create_key(root, path, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &KEY) != ERROR_SUCCESS) {
    KEY = nullptr;
    if (plat::reg_open_key(root, path, KEY_READ, &KEY) != ERROR_SUCCESS) {
      KEY = nullptr;
      STATUS = DB_LENGTH_CHANGED;  // the key cannot be read
      return;
    }
    READ_ONLY = true;
  }
  unsigned type = 0, v = 0, n = sizeof v;
  long r = plat::reg_query_value(KEY, "SizeRecord", &type, (unsigned char*)&v, &n);
  if (r == ERROR_FILE_NOT_FOUND) {
    if (!READ_ONLY) {
      hive_lock hold(KEY);
      put_dword("SizeRecord", SIZE_RECORD);
      for (const char* c : {"Size", "Modify", "Index", "Param"}) put_dword(c, 0);
    }
  } else if (r != ERROR_SUCCESS || type != REG_DWORD || n != sizeof v || (int)v != SIZE_RECORD) {
    STATUS = DB_REG_LENGTH;
  }
}

_rbase::~_rbase() {
  // A change still pending in the current record is written, not lost.
  update();
  if (KEY && TEMPORY && !READ_ONLY) {
    hive_lock hold(KEY);
    int n = size();
    for (int i = 0; i < n; ++i) plat::reg_delete_value(KEY, value_name(i).text);
    for (const char* c : COUNTERS) plat::reg_delete_value(KEY, c);
  }
  if (KEY) plat::reg_close_key(KEY);
}

int _rbase::get_dword(const char* value) {
  if (!KEY) return 0;
  unsigned type = 0, v = 0, n = sizeof v;
  if (plat::reg_query_value(KEY, value, &type, (unsigned char*)&v, &n) != ERROR_SUCCESS || n != sizeof v) return 0;
  return (int)v;
}

bool _rbase::put_dword(const char* value, int v) {
  if (!KEY || READ_ONLY) return false;
  unsigned u = (unsigned)v;
  return plat::reg_set_value(KEY, value, REG_DWORD, (const unsigned char*)&u, sizeof u) == ERROR_SUCCESS;
}

// One record value into to. A value shorter than a record (written by a
// base with fewer fields) reads as zero beyond its end; a longer one is not
// read at all.
bool _rbase::read_raw(int rec, char* to) {
  if (!KEY) return false;
  unsigned n = (unsigned)SIZE_RECORD;
  memset(to, 0, SIZE_RECORD);
  if (plat::reg_query_value(KEY, value_name(rec).text, nullptr, (unsigned char*)to, &n) != ERROR_SUCCESS) return false;
  return true;
}

int _rbase::size() {
  int n = get_dword("Size");
  return n < 0 ? 0 : n;
}

void _rbase::load_cache(int rec) {
  if (!cache) return;
  BAD_CACHE = true;
  CACHE_COUNT = 0;
  int n = size();
  if (rec < 0 || rec >= n) return;
  CACHE_START_POSITION = rec;
  while (CACHE_COUNT < SIZE_CACHE && rec + CACHE_COUNT < n &&
         read_raw(rec + CACHE_COUNT, cache + (size_t)CACHE_COUNT * SIZE_RECORD))
    ++CACHE_COUNT;
  BAD_CACHE = CACHE_COUNT == 0;
}

void _rbase::read_record(int rec) {
  if (rec < 0 || rec >= size()) return;
  if (cache) {
    char* c = cached(rec);
    if (!c) {
      load_cache(rec);
      c = cached(rec);
    }
    if (!c) return;
    memcpy(buffer, c, SIZE_RECORD);
  } else {
    char* to = new char[SIZE_RECORD];
    bool ok = read_raw(rec, to);
    if (ok) memcpy(buffer, to, SIZE_RECORD);
    delete[] to;
    if (!ok) return;
  }
  LPOS = rec;
  OPERATION = SIZE_RECORD;
}

void _rbase::write_record(int rec) {
  if (!KEY || READ_ONLY || rec < 0 || rec >= size()) return;
  if (plat::reg_set_value(KEY, value_name(rec).text, REG_BINARY, (const unsigned char*)buffer, SIZE_RECORD) !=
      ERROR_SUCCESS) {
    STATUS = DB_REG_WRITE;
    OPERATION = 0;
    return;
  }
  OPERATION = SIZE_RECORD;
  if (char* c = cached(rec)) memcpy(c, buffer, SIZE_RECORD);
  LPOS = rec;
}

int _rbase::append() {
  if (!KEY || READ_ONLY) return -1;
  update();
  hive_lock hold(KEY);
  int n = size();
  if (n == 0x7FFFFFFF) return -1;
  blank_buffer();
  if (plat::reg_set_value(KEY, value_name(n).text, REG_BINARY, (const unsigned char*)buffer, SIZE_RECORD) !=
          ERROR_SUCCESS ||
      !put_dword("Size", n + 1)) {
    STATUS = DB_REG_WRITE;
    OPERATION = 0;
    LPOS = -1;  // buffer no longer holds the record LPOS named
    return -1;
  }
  OPERATION = SIZE_RECORD;
  LPOS = n;
  return n;
}

void _rbase::read_element(int element, int rec) {
  if (element < 0 || element > NUM_ELEMENT) return;
  if (rec != LPOS) {
    update();
    read_record(rec);
    return;
  }
  update();
  char* fresh = new char[SIZE_RECORD];
  if (read_raw(rec, fresh)) {
    memcpy(buffer + OFFSET[element], fresh + OFFSET[element], SIZE_ELEMENT[element]);
    if (char* c = cached(rec)) memcpy(c + OFFSET[element], fresh + OFFSET[element], SIZE_ELEMENT[element]);
  }
  delete[] fresh;
}

int _rbase::modify() { return get_dword("Modify"); }

int _rbase::set_modify() {
  hive_lock hold(KEY);
  int v = get_dword("Modify");
  if (!put_dword("Modify", v + 1)) return v;
  return v + 1;
}

int _rbase::new_index() {
  hive_lock hold(KEY);
  int v = get_dword("Index");
  if (!put_dword("Index", v + 1)) return v;
  return v + 1;
}

void _rbase::set_param(int param) { put_dword("Param", param); }
int _rbase::get_param() { return get_dword("Param"); }
void _rbase::lock() {}
void _rbase::unlock() {}

void _rbase::clear() {
  if (!KEY || READ_ONLY) return;
  {
    hive_lock hold(KEY);
    int n = size();
    for (int i = 0; i < n; ++i) plat::reg_delete_value(KEY, value_name(i).text);
    put_dword("Size", 0);
  }
  LPOS = -1;
  upd = 0;
  BAD_CACHE = true;
}
