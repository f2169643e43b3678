// Record bases: the field description parse, the operations every store
// shares, and the file store.
#include "class/dbase.h"

#include <cstdlib>
#include <cstring>

#include "class/sync.h"
#include "platform/platform.h"

namespace {

// Widest string field we accept; a description asking for more is taken at
// this width rather than letting the record length overflow.
constexpr long MAX_STRING_WIDTH = 65535;
constexpr int HEADER_SIZE = 16;

int field_width(int type, long string_width) {
  switch (type) {
    case DB_STRING: return (int)string_width;
    case DB_INT: return 4;
    case DB_DOUBLE: return 8;
    case DB_CHAR: return 1;
    case DB_DATE: return 4;
    case DB_TIME: return 3;
    case DB_HEX: return 4;
    case DB_PROGRESS: return 4;
  }
  return 0;
}

int type_of_letter(char c) {
  switch (c) {
    case 's': case 'S': return DB_STRING;
    case 'i': case 'I': return DB_INT;
    case 'f': case 'F': return DB_DOUBLE;
    case 'c': case 'C': return DB_CHAR;
    case 'd': case 'D': return DB_DATE;
    case 't': case 'T': return DB_TIME;
    case 'h': case 'H': return DB_HEX;
    case 'p': case 'P': return DB_PROGRESS;
  }
  return -1;
}

char* copy_text(const char* s) {
  if (!s) s = "";
  size_t n = strlen(s);
  char* c = new char[n + 1];
  memcpy(c, s, n + 1);
  return c;
}

void put_le32(unsigned char* p, int v) {
  unsigned u = (unsigned)v;
  p[0] = (unsigned char)u;
  p[1] = (unsigned char)(u >> 8);
  p[2] = (unsigned char)(u >> 16);
  p[3] = (unsigned char)(u >> 24);
}

int get_le32(const unsigned char* p) {
  return (int)((unsigned)p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 | (unsigned)p[3] << 24);
}

}  // namespace

// ---- the shared part -------------------------------------------------------

void tdbase::parse_fields(const char* fields) {
  NUM_ELEMENT = 0;
  int offset = 0;
  const char* p = fields ? fields : "";
  while (*p) {
    int type = type_of_letter(*p);
    ++p;
    if (type < 0) continue;
    long width = 0;
    if (type == DB_STRING) {
      // The number starts right after the letter; the character after the
      // letter goes with it, the rest of the digits are skipped below as
      // ordinary characters. A description ending in "s" has no size.
      if (*p) {
        width = strtol(p, nullptr, 10);
        if (width < 0) width = 0;
        if (width > MAX_STRING_WIDTH) width = MAX_STRING_WIDTH;
        ++p;
      }
    }
    if (NUM_ELEMENT >= DB_MAX_FIELDS) continue;
    OFFSET[NUM_ELEMENT] = offset;
    TYPE_ELEMENT[NUM_ELEMENT] = type;
    SIZE_ELEMENT[NUM_ELEMENT] = field_width(type, width);
    offset += SIZE_ELEMENT[NUM_ELEMENT];
    ++NUM_ELEMENT;
  }
  // The hidden status byte.
  OFFSET[NUM_ELEMENT] = offset;
  TYPE_ELEMENT[NUM_ELEMENT] = DB_CHAR;
  SIZE_ELEMENT[NUM_ELEMENT] = 1;
  SIZE_RECORD = offset + 1;
}

void tdbase::blank_buffer() {
  memset(buffer, 0, SIZE_RECORD);
  for (int f = 0; f < NUM_ELEMENT; ++f)
    if (TYPE_ELEMENT[f] == DB_STRING) memset(buffer + OFFSET[f], ' ', SIZE_ELEMENT[f]);
  buffer[OFFSET[NUM_ELEMENT]] = 1;
}

tdbase::tdbase(const char* fields)
    : HND(-1),
      CACHE_START_POSITION(0),
      TEMPORY(false),
      name(nullptr),
      cache(nullptr),
      buffer(nullptr),
      upd(0),
      SIZE_CACHE(0),
      OFFSET(),
      SYNC(new tsync(1)),
      TYPE_ELEMENT(),
      SIZE_ELEMENT(),
      NUM_ELEMENT(0),
      SIZE_RECORD(1),
      BAD_CACHE(true),
      LPOS(-1),
      STATUS(DB_OK),
      LOCK(false),
      READ_ONLY(false),
      OPERATION(0),
      FILE_STORE(false),
      CACHE_COUNT(0) {
  parse_fields(fields);
  // Zeroed rather than left undefined: get() before the first load reads
  // zeros, never stray memory.
  buffer = new char[SIZE_RECORD]();
  OPERATION = SIZE_RECORD;
}

tdbase::~tdbase() {
  if (FILE_STORE) {
    // A change still pending in the current record is written, not lost.
    update();
    unlock();
    // Only a file this base really had: never one it could not open.
    if (TEMPORY && STATUS != DB_CANNOT_OPEN) plat::dbf_delete(name);
  }
  delete[] cache;
  delete[] buffer;
  delete[] name;
  delete SYNC;
}

void tdbase::update() {
  if (upd && !READ_ONLY && LPOS >= 0) {
    write_record(LPOS);
    upd = 0;
  }
}

void* tdbase::get(int element, int rec) {
  if (element < 0 || element > NUM_ELEMENT) return nullptr;
  if (rec != LPOS) {
    update();
    read_record(rec);
  }
  return buffer + OFFSET[element];
}

void tdbase::set(const void* src, int element, int rec, int pad) {
  if (!src || element < 0 || element > NUM_ELEMENT) return;
  // A record outside the base would leave the last loaded record in
  // buffer, and the copy would land in that one.
  if (rec < 0 || rec >= size()) return;
  char* to = (char*)get(element, rec);
  if (LPOS != rec) return;
  int w = SIZE_ELEMENT[element];
  if (TYPE_ELEMENT[element] == DB_STRING && pad && element < NUM_ELEMENT) {
    size_t l = strnlen((const char*)src, (size_t)w);
    memcpy(to, src, l);
    memset(to + l, ' ', w - l);
  } else {
    memcpy(to, src, w);
  }
  upd = 1;
}

void tdbase::remove(int rec) {
  if (rec < 0 || rec >= size()) return;
  char* s = (char*)get(NUM_ELEMENT, rec);
  if (LPOS != rec) return;
  *s = 0;
  upd = 1;
}

void tdbase::unremove(int rec) {
  if (rec < 0 || rec >= size()) return;
  char* s = (char*)get(NUM_ELEMENT, rec);
  if (LPOS != rec) return;
  *s = 1;
  upd = 1;
}

// ---- the file store ----------------------------------------------------------

tdbase::tdbase(const char* file, const char* fields, int cache_size, unsigned long flags)
    : tdbase(fields) {
  FILE_STORE = true;
  name = copy_text(file);
  TEMPORY = (flags & DB_TEMPORARY) != 0;
  SIZE_CACHE = cache_size > 0 ? cache_size : 0;
  if (SIZE_CACHE) cache = new char[(size_t)SIZE_CACHE * SIZE_RECORD];

  int h = open_file(true);
  if (h < 0) {
    STATUS = DB_CANNOT_OPEN;
    return;
  }
  long long len = plat::dbf_length(h);
  if (len < HEADER_SIZE) {
    unsigned char head[HEADER_SIZE] = {};
    put_le32(head + 4, SIZE_RECORD);
    if (READ_ONLY || plat::dbf_write(h, 0, head, HEADER_SIZE) != HEADER_SIZE) STATUS = DB_CANNOT_OPEN;
  } else {
    unsigned char word[4];
    if (plat::dbf_read(h, 4, word, 4) != 4) {
      STATUS = DB_CANNOT_OPEN;
    } else if (get_le32(word) != SIZE_RECORD) {
      put_le32(word, SIZE_RECORD);
      if (!READ_ONLY) plat::dbf_write(h, 4, word, 4);
      STATUS = DB_LENGTH_CHANGED;
    }
  }
  close_file(h);
  if (STATUS == DB_OK && (flags & DB_COMPACT) && !READ_ONLY) compact();
}

int tdbase::open_file(bool create) {
  if (LOCK) return HND;
  bool ro = false;
  int h;
  // The file is held by somebody else (another base's lock, another
  // process): wait for it in steps of 10 ms.
  while ((h = plat::dbf_open(name, create, &ro)) == plat::DBF_BUSY) plat::sleep_ms(10);
  if (h >= 0 && ro) READ_ONLY = true;
  return h;
}

void tdbase::close_file(int h) {
  if (h >= 0 && !(LOCK && h == HND)) plat::dbf_close(h);
}

char* tdbase::cached(int rec) {
  if (!cache || BAD_CACHE) return nullptr;
  if (rec < CACHE_START_POSITION || rec >= CACHE_START_POSITION + CACHE_COUNT) return nullptr;
  return cache + (size_t)(rec - CACHE_START_POSITION) * SIZE_RECORD;
}

void tdbase::load_cache(int rec) {
  if (!cache) return;
  BAD_CACHE = true;
  CACHE_COUNT = 0;
  int h = open_file(false);
  if (h < 0) return;
  long long len = plat::dbf_length(h);
  long long n = len < HEADER_SIZE ? 0 : (len - HEADER_SIZE) / SIZE_RECORD;
  if (rec >= 0 && rec < n) {
    long long want = n - rec < SIZE_CACHE ? n - rec : SIZE_CACHE;
    int got = plat::dbf_read(h, HEADER_SIZE + (long long)rec * SIZE_RECORD, cache, (int)(want * SIZE_RECORD));
    if (got > 0) {
      CACHE_START_POSITION = rec;
      CACHE_COUNT = got / SIZE_RECORD;
      BAD_CACHE = false;
    }
  }
  close_file(h);
}

void tdbase::read_record(int rec) {
  if (rec < 0) return;
  if (cache) {
    char* c = cached(rec);
    if (!c) {
      load_cache(rec);
      c = cached(rec);
    }
    if (c) {
      memcpy(buffer, c, SIZE_RECORD);
      LPOS = rec;
      OPERATION = SIZE_RECORD;
    }
    return;
  }
  int h = open_file(false);
  if (h < 0) return;
  long long len = plat::dbf_length(h);
  if (len >= HEADER_SIZE + (long long)(rec + 1) * SIZE_RECORD) {
    OPERATION = plat::dbf_read(h, HEADER_SIZE + (long long)rec * SIZE_RECORD, buffer, SIZE_RECORD);
    LPOS = rec;
  }
  close_file(h);
}

void tdbase::write_record(int rec) {
  if (rec < 0 || READ_ONLY) return;
  int h = open_file(false);
  if (h < 0) return;
  long long len = plat::dbf_length(h);
  if (len >= HEADER_SIZE + (long long)(rec + 1) * SIZE_RECORD) {
    OPERATION = plat::dbf_write(h, HEADER_SIZE + (long long)rec * SIZE_RECORD, buffer, SIZE_RECORD);
    if (char* c = cached(rec)) memcpy(c, buffer, SIZE_RECORD);
    LPOS = rec;
  }
  close_file(h);
}

int tdbase::size() {
  int h = open_file(false);
  if (h < 0) return 0;
  long long len = plat::dbf_length(h);
  close_file(h);
  if (len < HEADER_SIZE) return 0;
  long long n = (len - HEADER_SIZE) / SIZE_RECORD;
  return n > 0x7FFFFFFF ? 0x7FFFFFFF : (int)n;
}

int tdbase::append() {
  if (READ_ONLY) return -1;
  update();
  int h = open_file(false);
  if (h < 0) return -1;
  long long len = plat::dbf_length(h);
  if (len < HEADER_SIZE) {
    close_file(h);
    return -1;
  }
  // A torn record at the end (a write cut short) is overwritten.
  long long n = (len - HEADER_SIZE) / SIZE_RECORD;
  long long at = HEADER_SIZE + n * SIZE_RECORD;
  blank_buffer();
  OPERATION = plat::dbf_write(h, at, buffer, SIZE_RECORD);
  int rec = -1;
  if (OPERATION == SIZE_RECORD && n < 0x7FFFFFFF) {
    rec = (int)n;
    LPOS = rec;
  } else {
    plat::dbf_truncate(h, at);
    // buffer no longer holds the record LPOS names.
    LPOS = -1;
  }
  close_file(h);
  return rec;
}

void tdbase::read_element(int element, int rec) {
  if (element < 0 || element > NUM_ELEMENT) return;
  if (rec != LPOS) {
    update();
    read_record(rec);
    return;
  }
  // The current record: refresh this one field from the file (after
  // writing back what is pending, which it would otherwise overwrite).
  update();
  int h = open_file(false);
  if (h < 0) return;
  long long at = HEADER_SIZE + (long long)rec * SIZE_RECORD + OFFSET[element];
  if (plat::dbf_length(h) >= at + SIZE_ELEMENT[element]) {
    plat::dbf_read(h, at, buffer + OFFSET[element], SIZE_ELEMENT[element]);
    if (char* c = cached(rec)) memcpy(c + OFFSET[element], buffer + OFFSET[element], SIZE_ELEMENT[element]);
  }
  close_file(h);
}

int tdbase::header_word(int offset) {
  int h = open_file(false);
  if (h < 0) return 0;
  unsigned char w[4] = {};
  int v = plat::dbf_read(h, offset, w, 4) == 4 ? get_le32(w) : 0;
  close_file(h);
  return v;
}

int tdbase::add_header_word(int offset, int add) {
  // One open for the read and the write: nobody can slip in between.
  int h = open_file(false);
  if (h < 0) return 0;
  unsigned char w[4] = {};
  int v = plat::dbf_read(h, offset, w, 4) == 4 ? get_le32(w) : 0;
  if (!READ_ONLY) {
    v = (int)((unsigned)v + (unsigned)add);
    put_le32(w, v);
    plat::dbf_write(h, offset, w, 4);
  }
  close_file(h);
  return v;
}

void tdbase::set_header_word(int offset, int value) {
  if (READ_ONLY) return;
  int h = open_file(false);
  if (h < 0) return;
  unsigned char w[4];
  put_le32(w, value);
  plat::dbf_write(h, offset, w, 4);
  close_file(h);
}

int tdbase::modify() { return header_word(0); }
int tdbase::set_modify() { return add_header_word(0, 1); }
int tdbase::new_index() { return add_header_word(8, 1); }
void tdbase::set_param(int param) { set_header_word(12, param); }
int tdbase::get_param() { return header_word(12); }

void tdbase::lock() {
  if (LOCK) return;
  update();
  int h = open_file(false);
  if (h < 0) return;
  HND = h;
  LOCK = true;
  // Others may have written while the file was not ours.
  BAD_CACHE = true;
  if (LPOS >= 0) read_record(LPOS);
}

void tdbase::unlock() {
  if (!LOCK) return;
  update();
  LOCK = false;
  plat::dbf_close(HND);
  HND = -1;
}

// The file store keeps its records: clearing a shared file is not a thing
// one base may decide.
void tdbase::clear() {}

void tdbase::compact() {
  int h = open_file(false);
  if (h < 0) return;
  long long len = plat::dbf_length(h);
  long long n = len < HEADER_SIZE ? 0 : (len - HEADER_SIZE) / SIZE_RECORD;
  if (n >= 2) {
    char* rec = new char[SIZE_RECORD];
    long long kept = 0;
    bool ok = true;
    for (long long i = 0; i < n && ok; ++i) {
      ok = plat::dbf_read(h, HEADER_SIZE + i * SIZE_RECORD, rec, SIZE_RECORD) == SIZE_RECORD;
      if (!ok || rec[SIZE_RECORD - 1] == 0) continue;
      if (kept != i)
        ok = plat::dbf_write(h, HEADER_SIZE + kept * SIZE_RECORD, rec, SIZE_RECORD) == SIZE_RECORD;
      ++kept;
    }
    // Cut only after every kept record was moved down whole.
    if (ok) plat::dbf_truncate(h, HEADER_SIZE + kept * SIZE_RECORD);
    delete[] rec;
    BAD_CACHE = true;
    LPOS = -1;
  }
  close_file(h);
}

// ---- the memory store --------------------------------------------------------

_mbase::_mbase(const char*, const char* fields, int, unsigned long)
    : tdbase(fields), _INDEX(0), _PARAM(0), _MODIFY(0), _SIZE(0) {}

_mbase::~_mbase() {
  for (int i = 0; i < _SIZE; ++i) delete[] _RECORDS[i];
}

void _mbase::read_record(int rec) {
  if (rec < 0 || rec >= _SIZE) return;
  memcpy(buffer, _RECORDS[rec], SIZE_RECORD);
  LPOS = rec;
}

void _mbase::write_record(int rec) {
  if (rec < 0 || rec >= _SIZE) return;
  memcpy(_RECORDS[rec], buffer, SIZE_RECORD);
  LPOS = rec;
}

void _mbase::load_cache(int) {}

int _mbase::size() { return _SIZE; }

int _mbase::append() {
  if (_SIZE >= DB_MAX_RECORDS) return -1;
  update();
  blank_buffer();
  char* block = new char[SIZE_RECORD];
  memcpy(block, buffer, SIZE_RECORD);
  _RECORDS[_SIZE] = block;
  LPOS = _SIZE;
  return _SIZE++;
}

// Loading a record anew would throw away a change still pending in the
// current one, so this loads exactly as get() does.
void _mbase::read_element(int, int rec) {
  if (rec == LPOS) return;
  update();
  read_record(rec);
}

int _mbase::modify() { return _MODIFY; }
int _mbase::set_modify() { return ++_MODIFY; }
int _mbase::new_index() { return ++_INDEX; }
void _mbase::set_param(int param) { _PARAM = param; }
int _mbase::get_param() { return _PARAM; }
void _mbase::lock() {}
void _mbase::unlock() {}

void _mbase::clear() {
  for (int i = 0; i < _SIZE; ++i) delete[] _RECORDS[i];
  _SIZE = 0;
  LPOS = -1;
  // The change belonged to a record that is gone.
  upd = 0;
}
