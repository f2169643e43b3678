// Queries over record bases: the index, typed access, selection, sorting
// and filtering.
#include "class/query.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "class/sync.h"

tdbquery* SORT_QUERY = nullptr;

int QUERY_SORT_FUNCTION(const void* a, const void* b) { return SORT_QUERY->compare_record(a, b); }

namespace {

// Holds a lock for one scope, so that every path out gives it back.
class hold {
 public:
  explicit hold(tsync* s) : s_(s) { s_->wait(-1); }
  ~hold() { s_->free(1); }
  hold(const hold&) = delete;
  hold& operator=(const hold&) = delete;

 private:
  tsync* s_;
};

// Optional variant for the rebuilds that may run inside a held lock.
class maybe_hold {
 public:
  maybe_hold(tsync* s, bool take) : s_(take ? s : nullptr) {
    if (s_) s_->wait(-1);
  }
  ~maybe_hold() {
    if (s_) s_->free(1);
  }
  maybe_hold(const maybe_hold&) = delete;
  maybe_hold& operator=(const maybe_hold&) = delete;

 private:
  tsync* s_;
};

template <class T>
bool passes(int operation, const T& v, const T& c) {
  switch (operation) {
    case -1: return v <= c;
    case 0: return v == c;
    case 1: return v >= c;
    case 2: return v != c;
  }
  return true;
}

template <class T>
T load(const void* p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

constexpr unsigned MARK = tdbquery::MARK;
constexpr unsigned TYPES_INT = 1u << DB_INT | 1u << DB_HEX | 1u << DB_PROGRESS;

}  // namespace

tdbquery::tdbquery(tdbase* base)
    : RECORD(new unsigned[DB_MAX_RECORDS]()),
      NUM_MODIFY(0),
      SIZE_BASE(0),
      STRING(new char[base->SIZE_RECORD + 1]()),
      _query(nullptr),
      _find(nullptr),
      BASE(base),
      SIZE(0),
      POS(0),
      SORT_MODE(new unsigned[base->NUM_ELEMENT > 0 ? base->NUM_ELEMENT : 1]()),
      SORT_COUNT(0) {
  hold h(BASE->SYNC);
  NUM_MODIFY = BASE->modify();
}

tdbquery::~tdbquery() {
  delete[] SORT_MODE;
  free_conditions(&_query);
  free_conditions(&_find);
  delete[] STRING;
  delete[] RECORD;
}

// ---- index and position ------------------------------------------------------

int tdbquery::size() { return SIZE; }
int tdbquery::pos() { return POS; }

int tdbquery::record(int pos) {
  if (pos < 0 || pos >= SIZE) return -1;
  return (int)(RECORD[pos] & ~MARK);
}

int tdbquery::get_ind(int pos) {
  if (pos >= 0 && pos < SIZE) POS = pos;
  return record(pos);
}

int tdbquery::operator=(int pos) {
  if (pos < 0 || pos >= SIZE) return -1;
  POS = pos;
  return POS;
}

int tdbquery::operator++() {
  if (POS >= SIZE - 1) return -1;
  return ++POS;
}
int tdbquery::operator++(int) { return ++*this; }

int tdbquery::operator--() {
  if (POS <= 0) return -1;
  return --POS;
}
int tdbquery::operator--(int) { return --*this; }

int tdbquery::type_element(int field) {
  if (field < 0 || field >= BASE->NUM_ELEMENT) return -1;
  return BASE->TYPE_ELEMENT[field];
}

int tdbquery::size_element(int field) {
  if (field < 0 || field >= BASE->NUM_ELEMENT) return 0;
  return BASE->SIZE_ELEMENT[field];
}

int tdbquery::current_record() { return record(POS); }

void tdbquery::drop_entry(int pos) {
  memmove(RECORD + pos, RECORD + pos + 1, (size_t)(SIZE - pos - 1) * sizeof *RECORD);
  --SIZE;
}

// ---- typed access --------------------------------------------------------------

// The field of a base record, or null for a field or record the base does
// not have. The caller holds the lock.
const void* tdbquery::field_at(int field, int rec) {
  if (field < 0 || field >= BASE->NUM_ELEMENT) return nullptr;
  if (rec < 0 || rec >= BASE->size()) return nullptr;
  return BASE->get(field, rec);
}

// Copies width bytes of a field into out; what the record does not hold
// (a read wider than the field at the record's end, a missing record)
// reads as zero. The caller holds the lock.
void tdbquery::iread(void* out, int width, int field, int rec) {
  memset(out, 0, width);
  const void* p = field_at(field, rec);
  if (!p) return;
  int room = BASE->SIZE_RECORD - BASE->OFFSET[field];
  memcpy(out, p, width < room ? width : room);
}

void tdbquery::read_at(void* out, int width, int field, int pos) {
  hold h(BASE->SYNC);
  if (pos >= 0 && pos < SIZE) POS = pos;
  iread(out, width, field, current_record());
}

int tdbquery::get_int(int field, int pos) {
  int v;
  read_at(&v, sizeof v, field, pos);
  return v;
}

char tdbquery::get_char(int field, int pos) {
  char v;
  read_at(&v, sizeof v, field, pos);
  return v;
}

double tdbquery::get_double(int field, int pos) {
  double v;
  read_at(&v, sizeof v, field, pos);
  return v;
}

tdate tdbquery::get_date(int field, int pos) {
  char raw[sizeof(tdate)];
  read_at(raw, sizeof raw, field, pos);
  return load<tdate>(raw);
}

ttime tdbquery::get_time(int field, int pos) {
  char raw[sizeof(ttime)];
  read_at(raw, sizeof raw, field, pos);
  return load<ttime>(raw);
}

char* tdbquery::get_string(int field, int pos) { return get_string(STRING, field, pos); }

char* tdbquery::get_string(char* out, int field, int pos) {
  int w = size_element(field);
  read_at(out, w, field, pos);
  out[w] = 0;
  return out;
}

int tdbquery::iget_int(int field, int rec) {
  int v;
  hold h(BASE->SYNC);
  iread(&v, sizeof v, field, rec);
  return v;
}

char tdbquery::iget_char(int field, int rec) {
  char v;
  hold h(BASE->SYNC);
  iread(&v, sizeof v, field, rec);
  return v;
}

double tdbquery::iget_double(int field, int rec) {
  double v;
  hold h(BASE->SYNC);
  iread(&v, sizeof v, field, rec);
  return v;
}

tdate tdbquery::iget_date(int field, int rec) {
  char raw[sizeof(tdate)];
  hold h(BASE->SYNC);
  iread(raw, sizeof raw, field, rec);
  return load<tdate>(raw);
}

ttime tdbquery::iget_time(int field, int rec) {
  char raw[sizeof(ttime)];
  hold h(BASE->SYNC);
  iread(raw, sizeof raw, field, rec);
  return load<ttime>(raw);
}

char* tdbquery::iget_string(int field, int rec) { return iget_string(STRING, field, rec); }

char* tdbquery::iget_string(char* out, int field, int rec) {
  int w = size_element(field);
  hold h(BASE->SYNC);
  iread(out, w, field, rec);
  out[w] = 0;
  return out;
}

// The caller holds the lock and has checked the type.
bool tdbquery::write_field(const void* value, int field, int rec, int pad) {
  if (rec < 0 || rec >= BASE->size()) return false;
  BASE->set(value, field, rec, pad);
  return BASE->LPOS == rec;
}

bool tdbquery::write_at(const void* value, int field, int pos, int pad, unsigned types) {
  int t = type_element(field);
  if (t < 0 || !(types & 1u << t)) return false;
  // Only -1 (the current entry) or an entry of the index: any other
  // position names no record, and writing there would hit whichever record
  // the base loaded last.
  if (pos != -1 && (pos < 0 || pos >= SIZE)) return false;
  hold h(BASE->SYNC);
  if (pos != -1) POS = pos;
  return write_field(value, field, current_record(), pad);
}

bool tdbquery::iwrite(const void* value, int field, int rec, int pad, unsigned types) {
  int t = type_element(field);
  if (t < 0 || !(types & 1u << t)) return false;
  hold h(BASE->SYNC);
  return write_field(value, field, rec, pad);
}

bool tdbquery::set_int(int value, int field, int pos) { return write_at(&value, field, pos, 0, TYPES_INT); }
bool tdbquery::set_char(char value, int field, int pos) {
  return write_at(&value, field, pos, 0, 1u << DB_CHAR);
}
bool tdbquery::set_double(double value, int field, int pos) {
  return write_at(&value, field, pos, 0, 1u << DB_DOUBLE);
}
bool tdbquery::set_date(tdate value, int field, int pos) {
  return write_at(&value, field, pos, 0, 1u << DB_DATE);
}
bool tdbquery::set_time(ttime value, int field, int pos) {
  return write_at(&value, field, pos, 0, 1u << DB_TIME);
}
bool tdbquery::set_string(const char* value, int field, int pos) {
  return write_at(value ? value : "", field, pos, 1, 1u << DB_STRING);
}
bool tdbquery::set_binary(const void* value, int field, int pos) {
  if (!value) return false;
  return write_at(value, field, pos, 0, 1u << DB_STRING);
}

bool tdbquery::iset_int(int value, int field, int rec) { return iwrite(&value, field, rec, 0, TYPES_INT); }
bool tdbquery::iset_char(char value, int field, int rec) {
  return iwrite(&value, field, rec, 0, 1u << DB_CHAR);
}
bool tdbquery::iset_double(double value, int field, int rec) {
  return iwrite(&value, field, rec, 0, 1u << DB_DOUBLE);
}
bool tdbquery::iset_date(tdate value, int field, int rec) {
  return iwrite(&value, field, rec, 0, 1u << DB_DATE);
}
bool tdbquery::iset_time(ttime value, int field, int rec) {
  return iwrite(&value, field, rec, 0, 1u << DB_TIME);
}
bool tdbquery::iset_string(const char* value, int field, int rec) {
  return iwrite(value ? value : "", field, rec, 1, 1u << DB_STRING);
}
bool tdbquery::iset_binary(const void* value, int field, int rec) {
  if (!value) return false;
  return iwrite(value, field, rec, 0, 1u << DB_STRING);
}

// ---- changes -------------------------------------------------------------------

int tdbquery::append() {
  hold h(BASE->SYNC);
  int rec = BASE->append();
  // OPERATION short of a whole record: the blank record did not reach the
  // store whole.
  if (rec == -1 || BASE->OPERATION != BASE->SIZE_RECORD || SIZE >= DB_MAX_RECORDS) return -1;
  POS = SIZE;
  RECORD[SIZE++] = (unsigned)rec;
  return POS;
}

void tdbquery::update() {
  hold h(BASE->SYNC);
  BASE->update();
}

void tdbquery::remove(int pos) {
  if (pos < 0 || pos >= SIZE) return;
  hold h(BASE->SYNC);
  BASE->remove(record(pos));
  drop_entry(pos);
  BASE->set_modify();
  NUM_MODIFY = BASE->modify();
  POS = 0;
}

void tdbquery::remove_selection() {
  if (!select()) return;
  hold h(BASE->SYNC);
  int kept = 0;
  for (int i = 0; i < SIZE; ++i) {
    if (RECORD[i] & MARK)
      BASE->remove((int)(RECORD[i] & ~MARK));
    else
      RECORD[kept++] = RECORD[i];
  }
  SIZE = kept;
  BASE->set_modify();
  NUM_MODIFY = BASE->modify();
  POS = 0;
}

bool tdbquery::modify() {
  hold h(BASE->SYNC);
  return BASE->modify() != NUM_MODIFY;
}

int tdbquery::set_modify(char own) {
  hold h(BASE->SYNC);
  int v = BASE->set_modify();
  if (own) ++NUM_MODIFY;
  return v;
}

int tdbquery::new_index() {
  hold h(BASE->SYNC);
  return BASE->new_index();
}

void tdbquery::set_param(int param) {
  hold h(BASE->SYNC);
  BASE->set_param(param);
}

int tdbquery::get_param() {
  hold h(BASE->SYNC);
  return BASE->get_param();
}

void tdbquery::clear() {
  {
    hold h(BASE->SYNC);
    BASE->clear();
  }
  query();
}

// ---- selection -----------------------------------------------------------------

void tdbquery::select_all() {
  for (int i = 0; i < SIZE; ++i) RECORD[i] |= MARK;
}

void tdbquery::deselect_all() {
  for (int i = 0; i < SIZE; ++i) RECORD[i] &= ~MARK;
}

void tdbquery::invert_select_all() {
  for (int i = 0; i < SIZE; ++i) RECORD[i] ^= MARK;
}

void tdbquery::set_select(int pos) {
  if (pos >= 0 && pos < SIZE) RECORD[pos] ^= MARK;
}

bool tdbquery::select(int pos) { return pos >= 0 && pos < SIZE && (RECORD[pos] & MARK); }

bool tdbquery::select() {
  for (int i = 0; i < SIZE; ++i)
    if (RECORD[i] & MARK) return true;
  return false;
}

int tdbquery::select_count() {
  int n = 0;
  for (int i = 0; i < SIZE; ++i)
    if (RECORD[i] & MARK) ++n;
  return n;
}

// ---- sorting -------------------------------------------------------------------

void tdbquery::clear_sort() { SORT_COUNT = 0; }

void tdbquery::add_sort(int field, int direction) {
  if (SORT_COUNT >= BASE->NUM_ELEMENT) return;
  if (field < 0 || field >= BASE->NUM_ELEMENT) return;
  SORT_MODE[SORT_COUNT++] = (unsigned)field | (direction < 0 ? MARK : 0);
}

bool tdbquery::sort_record(char* current, const char* candidate) {
  for (int k = 0; k < SORT_COUNT; ++k) {
    int f = (int)(SORT_MODE[k] & ~MARK);
    bool descending = (SORT_MODE[k] & MARK) != 0;
    const char* a = current + BASE->OFFSET[f];
    const char* b = candidate + BASE->OFFSET[f];
    int c;  // sign of candidate - current
    switch (BASE->TYPE_ELEMENT[f]) {
      case DB_INT:
      case DB_HEX: {
        int x = load<int>(a), y = load<int>(b);
        c = (y > x) - (y < x);
        break;
      }
      case DB_DOUBLE: {
        double x = load<double>(a), y = load<double>(b);
        c = (y > x) - (y < x);
        break;
      }
      case DB_CHAR: {
        signed char x = (signed char)*a, y = (signed char)*b;
        c = (y > x) - (y < x);
        break;
      }
      default:
        c = memcmp(b, a, BASE->SIZE_ELEMENT[f]);
        break;
    }
    if (c == 0) continue;
    if (descending ? c > 0 : c < 0) {
      memcpy(current, candidate, BASE->SIZE_RECORD);
      return true;
    }
    return false;
  }
  return false;
}

void tdbquery::sort() {
  if (SORT_COUNT == 0 || SIZE < 2) return;  // nothing could move
  twait busy;
  hold h(BASE->SYNC);
  char* current = new char[BASE->SIZE_RECORD];
  for (int i = 0; i < SIZE - 1; ++i) {
    const char* r = (const char*)BASE->get(0, record(i));
    memcpy(current, r, BASE->SIZE_RECORD);
    for (int j = i + 1; j < SIZE; ++j) {
      const char* candidate = (const char*)BASE->get(0, record(j));
      if (sort_record(current, candidate)) {
        unsigned t = RECORD[i];
        RECORD[i] = RECORD[j];
        RECORD[j] = t;
      }
    }
  }
  delete[] current;
}

int tdbquery::compare_record(const void* a, const void* b) {
  int ra = (int)(*(const unsigned*)a & ~MARK);
  int rb = (int)(*(const unsigned*)b & ~MARK);
  for (int k = 0; k < SORT_COUNT; ++k) {
    int f = (int)(SORT_MODE[k] & ~MARK);
    int w = BASE->SIZE_ELEMENT[f];
    char* x = STRING + BASE->OFFSET[f];
    memcpy(x, BASE->get(f, ra), w);
    const char* y = (const char*)BASE->get(f, rb);
    // Signs only: a difference of two integers may not fit in an int.
    int d;
    switch (BASE->TYPE_ELEMENT[f]) {
      case DB_INT:
      case DB_HEX:
      case DB_PROGRESS: {
        int u = load<int>(x), v = load<int>(y);
        d = (u > v) - (u < v);
        break;
      }
      case DB_DOUBLE: {
        double u = load<double>(x), v = load<double>(y);
        d = (u > v) - (u < v);
        break;
      }
      case DB_CHAR: {
        signed char u = (signed char)*x, v = (signed char)*y;
        d = (u > v) - (u < v);
        break;
      }
      default:
        d = memcmp(x, y, w);
        break;
    }
    if (d == 0) continue;
    bool descending = (SORT_MODE[k] & MARK) != 0;
    return (d > 0) != descending ? 1 : -1;
  }
  return 0;
}

void tdbquery::quick_sort() {
  // Without keys every pair compares equal, and the run-time quicksort
  // does not promise to leave equal entries where they are.
  if (SORT_COUNT == 0) return;
  twait busy;
  SORT_SYNC.wait(-1);
  BASE->SYNC->wait(-1);
  SORT_QUERY = this;
  qsort(RECORD, SIZE, sizeof *RECORD, QUERY_SORT_FUNCTION);
  SORT_QUERY = nullptr;
  BASE->SYNC->free(1);
  SORT_SYNC.free(1);
}

// ---- filtering -----------------------------------------------------------------

void tdbquery::add_condition(_QUERY** list, int field, int operation, const char* value, bool alt) {
  int t = type_element(field);
  if (t < 0) return;  // a field the base does not have
  if (!value) value = "";
  _QUERY* q = new _QUERY{nullptr, operation, t, field, false, ttime(0, 0, 0), tdate(0, 0, 0),
                         0, 0, 0.0, nullptr, 0};
  switch (t) {
    case DB_STRING: {
      size_t n = strlen(value);
      q->SVAL = new char[n + 1];
      memcpy(q->SVAL, value, n + 1);
      q->LEN = (int)n < BASE->SIZE_ELEMENT[field] ? (int)n : BASE->SIZE_ELEMENT[field];
      break;
    }
    case DB_INT: q->IVAL = (int)strtol(value, nullptr, 10); break;
    case DB_DOUBLE: q->FVAL = strtod(value, nullptr); break;
    case DB_CHAR: q->CVAL = (char)(strtol(value, nullptr, 10) & 0xFF); break;
    case DB_DATE: q->DVAL = value; break;
    case DB_TIME: q->TVAL = value; break;
    default: break;
  }
  if (!*list) {
    *list = q;  // the first condition never starts an alternative
    return;
  }
  q->OR = alt;
  _QUERY* last = *list;
  while (last->NEXT) last = last->NEXT;
  last->NEXT = q;
}

void tdbquery::free_conditions(_QUERY** list) {
  while (*list) {
    _QUERY* n = (*list)->NEXT;
    delete[] (*list)->SVAL;
    delete *list;
    *list = n;
  }
}

void tdbquery::add_query(int field, int operation, const char* value, bool alt) {
  add_condition(&_query, field, operation, value, alt);
}
void tdbquery::add_find(int field, int operation, const char* value, bool alt) {
  add_condition(&_find, field, operation, value, alt);
}
void tdbquery::clear_query() { free_conditions(&_query); }
void tdbquery::clear_find() { free_conditions(&_find); }

// The caller holds the lock.
bool tdbquery::present(int rec) {
  if (rec < 0 || rec >= BASE->size()) return false;
  const char* s = (const char*)BASE->get(BASE->NUM_ELEMENT, rec);
  return BASE->LPOS == rec && *s != 0;
}

bool tdbquery::match(_QUERY* list, int rec) {
  if (!present(rec)) return false;
  bool result = true;
  for (_QUERY* c = list; c; c = c->NEXT) {
    if (c->OR) {
      if (result) return true;  // the alternative before it held
      result = true;
    }
    const char* p = (const char*)BASE->get(c->ELEMENT, rec);
    bool ok = true;
    switch (c->TYPE) {
      case DB_STRING: {
        int d = memcmp(p, c->SVAL, c->LEN);
        ok = passes(c->OPERATION, d, 0);
        break;
      }
      case DB_INT: ok = passes(c->OPERATION, load<int>(p), c->IVAL); break;
      case DB_DOUBLE: ok = passes(c->OPERATION, load<double>(p), c->FVAL); break;
      case DB_CHAR: ok = passes(c->OPERATION, (int)(signed char)*p, (int)(signed char)c->CVAL); break;
      case DB_DATE: ok = passes(c->OPERATION, load<tdate>(p), c->DVAL); break;
      case DB_TIME: ok = passes(c->OPERATION, load<ttime>(p), c->TVAL); break;
      default: break;  // hexadecimal and progress fields are not compared
    }
    if (!ok) result = false;
  }
  return result;
}

bool tdbquery::query_record(int rec) { return match(_query, rec); }

bool tdbquery::find_record(int pos) {
  if (pos < 0 || pos >= SIZE) return false;
  hold h(BASE->SYNC);
  return match(_find, record(pos));
}

void tdbquery::query(bool lock, int from, bool at_front) {
  maybe_hold h(BASE->SYNC, lock);
  if (from < 0) from = 0;
  SIZE_BASE = BASE->size();
  BASE->BAD_CACHE = true;
  POS = 0;
  if (from == 0) SIZE = 0;
  int before = SIZE;
  for (int rec = from; rec < SIZE_BASE && SIZE < DB_MAX_RECORDS; ++rec)
    if (query_record(rec)) RECORD[SIZE++] = (unsigned)rec;
  if (at_front) {
    // As if each were put in front as it was found (the newest first),
    // without shifting the whole index once per record.
    std::reverse(RECORD + before, RECORD + SIZE);
    std::rotate(RECORD, RECORD + before, RECORD + SIZE);
  }
  NUM_MODIFY = BASE->modify();
}

void tdbquery::query() {
  twait busy;
  query(true, 0, false);
}

void tdbquery::update_query(bool at_front) {
  twait busy;
  hold h(BASE->SYNC);
  int highest = -1;
  int kept = 0;
  for (int i = 0; i < SIZE; ++i) {
    int rec = (int)(RECORD[i] & ~MARK);
    if (rec > highest) highest = rec;
    if (present(rec)) RECORD[kept++] = RECORD[i];
  }
  SIZE = kept;
  POS = 0;
  query(false, highest + 1, at_front);
}

void tdbquery::check_query() {
  twait busy;
  hold h(BASE->SYNC);
  int kept = 0;
  for (int i = 0; i < SIZE; ++i)
    if (query_record((int)(RECORD[i] & ~MARK))) RECORD[kept++] = RECORD[i];
  SIZE = kept;
  POS = 0;
}

void tdbquery::to_lower(char* text) {
  if (!text) return;
  for (unsigned char* p = (unsigned char*)text; *p; ++p)
    if ((*p >= 'A' && *p <= 'Z') || (*p >= 0xC0 && *p <= 0xDF)) *p = (unsigned char)(*p + 32);
}

bool tdbquery::find_string_in_string(const char* hay, const char* needle) {
  if (!hay || !needle) return false;
  size_t lh = strlen(hay), ln = strlen(needle);
  if (ln > lh) return false;
  for (size_t i = 0; i + ln <= lh; ++i)
    if (memcmp(hay + i, needle, ln) == 0) return true;
  return false;
}

bool tdbquery::quick_query_record(int rec, const char* text) {
  if (!present(rec)) return false;
  if (!text) text = "";
  char stamp[48];
  for (int f = 0; f < BASE->NUM_ELEMENT; ++f) {
    const char* p = (const char*)BASE->get(f, rec);
    switch (BASE->TYPE_ELEMENT[f]) {
      case DB_STRING: {
        int w = BASE->SIZE_ELEMENT[f];
        memcpy(STRING, p, w);
        STRING[w] = 0;
        to_lower(STRING);
        if (find_string_in_string(STRING, text)) return true;
        break;
      }
      case DB_DATE: {
        tdate d = load<tdate>(p);
        snprintf(stamp, sizeof stamp, "%02d-%02d-%04d", d.DAY, d.MON, d.YEAR);
        if (find_string_in_string(stamp, text)) return true;
        break;
      }
      case DB_TIME: {
        ttime t = load<ttime>(p);
        snprintf(stamp, sizeof stamp, "%02d:%02d.%02d", t.HOUR, t.MIN, t.SEC);
        if (find_string_in_string(stamp, text)) return true;
        break;
      }
      default: break;
    }
  }
  return false;
}

void tdbquery::quick_query(const char* text, bool lock) {
  maybe_hold h(BASE->SYNC, lock);
  SIZE_BASE = BASE->size();
  BASE->BAD_CACHE = true;
  POS = 0;
  SIZE = 0;
  for (int rec = 0; rec < SIZE_BASE && SIZE < DB_MAX_RECORDS; ++rec)
    if (quick_query_record(rec, text)) RECORD[SIZE++] = (unsigned)rec;
  NUM_MODIFY = BASE->modify();
}
