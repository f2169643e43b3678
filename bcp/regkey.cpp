#include "bcp/regkey.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/base.h"

namespace {

char EMPTY_TEXT[1] = "";

// "<name>_<index>" with the index as %04d, in the 260 characters a value
// name may have here. A name too long for that is refused rather than cut,
// which would let two different names share one value.
bool indexed(char (&out)[260], const char* name, int index) {
  int n = snprintf(out, sizeof out, "%s_%04d", name ? name : "", index);
  return n >= 0 && n < (int)sizeof out;
}

unsigned room_of(unsigned long size) { return size > UINT_MAX ? UINT_MAX : (unsigned)size; }

}  // namespace

_regkey::_regkey(void* root, const char* path, bool w64)
    : _KEY(nullptr), _SDATA{}, _TYPE(0), _SIZE(0), _DATA(0), _w64(w64), _ERROR(false), _READ_ONLY(false) {
  unsigned access = w64 ? KEY_ALL_ACCESS | KEY_WOW64_64KEY : KEY_ALL_ACCESS;
  void* key = nullptr;
  if (plat::reg_open_key(root, path, access, &key) == ERROR_SUCCESS) {
    _KEY = key;
    return;
  }
  long rc = w64 ? plat::reg_create_key(root, path, REG_OPTION_VOLATILE, access, &key)
                : plat::reg_create_key(root, path, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &key);
  if (rc == ERROR_SUCCESS) {
    _KEY = key;
    return;
  }
  // The last attempt asks only for reading: a key in a store that may not
  // be changed (the machine's, or a file that cannot be parsed) is still
  // worth reading, and the writes are refused here instead.
  unsigned read = w64 ? KEY_READ | KEY_WOW64_64KEY : KEY_READ;
  if (plat::reg_open_key(root, path, read, &key) == ERROR_SUCCESS) {
    _KEY = key;
    _READ_ONLY = true;
    return;
  }
  _ERROR = true;
}

_regkey::~_regkey() {
  if (_KEY) plat::reg_close_key(_KEY);
}

bool _regkey::set(const char* name, unsigned type, const void* data, unsigned size) {
  if (!writable()) return false;
  return plat::reg_set_value(_KEY, name, type, (const unsigned char*)data, size) == ERROR_SUCCESS;
}

bool _regkey::set_string(const char* value, const char* name) {
  if (!value) return false;
  size_t n = strlen(value);
  if (n > UINT_MAX) return false;
  return set(name, REG_SZ, value, (unsigned)n);
}

bool _regkey::set_string(const char* value, const char* name, int index) {
  char full[260];
  return indexed(full, name, index) && set_string(value, full);
}

bool _regkey::set_binary(const unsigned char* data, int size, const char* name) {
  if (size < 0) return false;
  return set(name, REG_BINARY, data, (unsigned)size);
}

bool _regkey::set_int(int value, const char* name) { return set(name, REG_DWORD, &value, 4); }

bool _regkey::set_int(int value, const char* name, int index) {
  char full[260];
  return indexed(full, name, index) && set_int(value, full);
}

bool _regkey::set_bool(bool value, const char* name) {
  if (!writable()) return false;
  _DATA = value ? 1 : 0;
  return set(name, REG_DWORD, &_DATA, 4);
}

bool _regkey::remove(const char* name) {
  if (!writable()) return false;
  return plat::reg_delete_value(_KEY, name) == ERROR_SUCCESS;
}

int _regkey::get_int(const char* name) {
  if (_ERROR) return 0;
  _TYPE = REG_DWORD;
  _SIZE = 4;
  _DATA = 0;
  if (plat::reg_query_value(_KEY, name, &_TYPE, (unsigned char*)&_DATA, &_SIZE) != ERROR_SUCCESS) return 0;
  return (int)_DATA;
}

int _regkey::get_int(const char* name, int index) {
  char full[260];
  return indexed(full, name, index) ? get_int(full) : 0;
}

bool _regkey::get_bool(const char* name) { return get_int(name) != 0; }

bool _regkey::query_text(const char* name, char* buf, unsigned room, unsigned& size) {
  memset(buf, 0, room);
  size = room;
  if (plat::reg_query_value(_KEY, name, &_TYPE, (unsigned char*)buf, &size) != ERROR_SUCCESS) return false;
  // A text exactly as long as the room (written without its zero) would
  // come back unterminated, and the caller would read past the buffer.
  return memchr(buf, 0, room) != nullptr;
}

char* _regkey::get_string(const char* name) {
  if (_ERROR) return EMPTY_TEXT;
  _TYPE = REG_SZ;
  if (!query_text(name, _SDATA, sizeof _SDATA, _SIZE)) {
    _SDATA[0] = 0;
    return EMPTY_TEXT;
  }
  return _SDATA;
}

char* _regkey::get_string(const char* name, int index) {
  char full[260];
  return indexed(full, name, index) ? get_string(full) : EMPTY_TEXT;
}

char* _regkey::get_string(char* buf, unsigned long size, const char* name) {
  if (!buf || size == 0) return EMPTY_TEXT;
  if (_ERROR) {
    buf[0] = 0;
    return EMPTY_TEXT;
  }
  _TYPE = REG_SZ;
  unsigned got;
  if (!query_text(name, buf, room_of(size), got)) {
    buf[0] = 0;
    return EMPTY_TEXT;
  }
  return buf;
}

char* _regkey::get_string(char* buf, unsigned long size, const char* name, int index) {
  char full[260];
  if (!indexed(full, name, index)) {
    if (buf && size > 0) buf[0] = 0;
    return EMPTY_TEXT;
  }
  return get_string(buf, size, full);
}

void* _regkey::get_binary(const char* name) {
  if (_ERROR) return nullptr;
  _TYPE = REG_BINARY;
  _SIZE = sizeof _SDATA;
  if (plat::reg_query_value(_KEY, name, &_TYPE, (unsigned char*)_SDATA, &_SIZE) != ERROR_SUCCESS) return nullptr;
  return _SDATA;
}

void* _regkey::get_binary(void* buf, unsigned long size, const char* name) {
  if (_ERROR || !buf) return nullptr;
  _TYPE = REG_BINARY;
  unsigned room = room_of(size);
  if (plat::reg_query_value(_KEY, name, &_TYPE, (unsigned char*)buf, &room) != ERROR_SUCCESS) return nullptr;
  return buf;
}

bool _regkey::lock() { return !_ERROR && plat::reg_lock(_KEY); }

void _regkey::unlock() {
  if (!_ERROR) plat::reg_unlock(_KEY);
}
