#include "class/date.h"

#include <cstddef>
#include <cstdio>
#include <ctime>

static_assert(offsetof(tdate, YEAR) == 0 && offsetof(tdate, MON) == 2 && offsetof(tdate, DAY) == 3,
              "record tables rely on the byte order YEAR, MON, DAY");
static_assert(offsetof(ttime, HOUR) == 0 && offsetof(ttime, MIN) == 1 && offsetof(ttime, SEC) == 2,
              "record tables rely on the byte order HOUR, MIN, SEC");

namespace {

// One text buffer per type, as callers expect: string() of a date and of a
// time may be used together, two dates may not. Wide enough for any field
// values, not only valid ones.
char DATE_TEXT[32];
char TIME_TEXT[32];

// February listed as 29; whether the 29th exists is the leap-year rule's say.
const int MONTH_DAYS[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int table_length(int mon) { return mon >= 1 && mon <= 12 ? MONTH_DAYS[mon - 1] : 0; }

// Out-of-range values are pinned to the field's limits instead of wrapping,
// so that an absurd number never turns into a plausible one (day 257 would
// otherwise be stored as day 1).
int8_t to_byte(long v) { return static_cast<int8_t>(v < -128 ? -128 : v > 127 ? 127 : v); }
int16_t to_word(long v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Steps over the non-digits before the next number and over its digits.
// False when the text ends first. Long digit runs saturate rather than
// overflow; they are out of every field's range anyway.
bool next_number(const char*& p, long& value) {
  while (*p && !is_digit(*p)) ++p;
  if (!*p) return false;
  long v = 0;
  for (; is_digit(*p); ++p)
    if (v < 100000000L) v = v * 10 + (*p - '0');
  value = v;
  return true;
}

struct tm local_now() {
  std::time_t now = std::time(nullptr);
  struct tm t{};
  tzset();  // localtime_r alone does not notice a changed zone
  localtime_r(&now, &t);
  return t;
}

// Days from 1 January 1970 in the proleptic Gregorian calendar.
long days_from_civil(long y, long m, long d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

// ---------------------------------------------------------------- tdate

tdate::tdate() { update(); }

tdate::tdate(int day, int mon, int year) : YEAR(to_word(year)), MON(to_byte(mon)), DAY(to_byte(day)) {}

tdate& tdate::operator=(const char* text) {
  if (!text) return *this;
  long v;
  if (!next_number(text, v)) return *this;
  DAY = to_byte(v);
  if (!next_number(text, v)) return *this;
  MON = to_byte(v);
  if (!next_number(text, v)) return *this;
  YEAR = to_word(v);
  return *this;
}

void tdate::setYYMMDD(const char* text) {
  if (!text) return;
  long v;
  if (!next_number(text, v)) return;
  YEAR = to_word(v);
  if (!next_number(text, v)) return;
  MON = to_byte(v);
  if (!next_number(text, v)) return;
  DAY = to_byte(v);
}

void tdate::update() {
  struct tm t = local_now();
  YEAR = to_word(t.tm_year + 1900L);
  MON = to_byte(t.tm_mon + 1);
  DAY = to_byte(t.tm_mday);
}

bool tdate::leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool tdate::test() const {
  if (MON < 1 || MON > 12 || DAY < 1 || DAY > table_length(MON)) return false;
  return !(MON == 2 && DAY > 28 && !leap(YEAR));
}

bool tdate::operator++() {
  DAY = to_byte(DAY + 1);
  if (test()) return true;
  MON = to_byte(MON + 1);
  DAY = 1;
  if (test()) return true;
  YEAR = to_word(YEAR + 1L);
  MON = 1;
  return test();
}

bool tdate::operator++(int) { return ++*this; }

bool tdate::operator--() {
  DAY = to_byte(DAY - 1);
  if (test()) return true;
  MON = to_byte(MON - 1);
  DAY = to_byte(table_length(MON));  // January steps to month 0: length 0, no table read
  if (test()) return true;
  DAY = to_byte(DAY - 1);  // 29 February outside leap years
  if (test()) return true;
  YEAR = to_word(YEAR - 1L);
  MON = 12;
  DAY = 31;
  return test();
}

bool tdate::operator--(int) { return --*this; }

bool tdate::operator==(const tdate& d) const { return YEAR == d.YEAR && MON == d.MON && DAY == d.DAY; }
bool tdate::operator!=(const tdate& d) const { return !(*this == d); }

bool tdate::operator<(const tdate& d) const {
  if (YEAR != d.YEAR) return YEAR < d.YEAR;
  if (MON != d.MON) return MON < d.MON;
  return DAY < d.DAY;
}

bool tdate::operator>(const tdate& d) const { return d < *this; }
bool tdate::operator<=(const tdate& d) const { return !(d < *this); }
bool tdate::operator>=(const tdate& d) const { return !(*this < d); }

char* tdate::string() const {
  if (DAY == 0 || MON == 0)
    std::snprintf(DATE_TEXT, sizeof DATE_TEXT, "%10s", "");
  else
    std::snprintf(DATE_TEXT, sizeof DATE_TEXT, "%02d-%02d-%04d", DAY, MON, YEAR);
  return DATE_TEXT;
}

// Counted on the Gregorian calendar throughout, so that it agrees with
// test() about which years have a 29 February.
int tdate::dow() const {
  long days = days_from_civil(YEAR, MON, DAY);  // 0 is Thursday 1 January 1970
  long r = (days + 3) % 7;
  if (r < 0) r += 7;
  return static_cast<int>(r) + 1;
}

bool tdate::st() { return local_now().tm_isdst > 0; }

uint32_t tdate::word() const {
  return static_cast<uint16_t>(YEAR) | static_cast<uint32_t>(static_cast<uint8_t>(MON)) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(DAY)) << 24;
}

tdate tdate::from_word(uint32_t w) {
  tdate d(0, 0, 0);
  d.YEAR = static_cast<int16_t>(w & 0xFFFF);
  d.MON = static_cast<int8_t>((w >> 16) & 0xFF);
  d.DAY = static_cast<int8_t>((w >> 24) & 0xFF);
  return d;
}

// ---------------------------------------------------------------- ttime

ttime::ttime() { update(); }

ttime::ttime(int hour, int min, int sec) : HOUR(to_byte(hour)), MIN(to_byte(min)), SEC(to_byte(sec)) {}

ttime& ttime::operator=(const char* text) {
  long f[3] = {0, 0, 0};
  if (text)
    for (long& v : f)
      if (!next_number(text, v)) break;
  HOUR = to_byte(f[0] > 23 ? 23 : f[0]);
  MIN = to_byte(f[1] > 59 ? 59 : f[1]);
  SEC = to_byte(f[2] > 59 ? 59 : f[2]);
  return *this;
}

// A negative span has no sensible time of day; it counts as zero. The hour
// stops at what its byte holds (127) rather than wrapping.
ttime& ttime::operator=(int seconds) {
  long s = seconds < 0 ? 0 : seconds;
  const long most = 127L * 3600 + 3599;
  if (s > most) s = most;
  HOUR = to_byte(s / 3600);
  MIN = to_byte(s % 3600 / 60);
  SEC = to_byte(s % 60);
  return *this;
}

void ttime::update() {
  struct tm t = local_now();
  HOUR = to_byte(t.tm_hour);
  MIN = to_byte(t.tm_min);
  SEC = to_byte(t.tm_sec > 59 ? 59 : t.tm_sec);  // a leap second shows as :59
}

bool ttime::test() const { return HOUR >= 0 && HOUR <= 23 && MIN >= 0 && MIN <= 59 && SEC >= 0 && SEC <= 59; }

ttime& ttime::operator++() {
  if (++SEC > 59) {
    SEC = 0;
    if (++MIN > 59) {
      MIN = 0;
      if (HOUR >= 23 || HOUR < 0)
        HOUR = 0;
      else
        ++HOUR;
    }
  }
  return *this;
}

ttime ttime::operator++(int) {
  ttime old = *this;
  ++*this;
  return old;
}

ttime& ttime::operator--() {
  if (--SEC < 0) {
    SEC = 59;
    if (--MIN < 0) {
      MIN = 59;
      if (HOUR <= 0 || HOUR > 23)
        HOUR = 23;
      else
        --HOUR;
    }
  }
  return *this;
}

ttime ttime::operator--(int) {
  ttime old = *this;
  --*this;
  return old;
}

ttime ttime::operator-(const ttime& t) const {
  int s = SEC - t.SEC, m = MIN - t.MIN, h = HOUR - t.HOUR;
  if (s < 0) s += 60, --m;
  if (m < 0) m += 60, --h;
  if (h < 0) h += 24;
  return ttime(h, m, s);
}

ttime ttime::operator+(const ttime& t) const {
  int s = SEC + t.SEC, m = MIN + t.MIN, h = HOUR + t.HOUR;
  if (s >= 60) s -= 60, ++m;
  if (m >= 60) m -= 60, ++h;
  return ttime(h, m, s);
}

bool ttime::operator==(const ttime& t) const { return HOUR == t.HOUR && MIN == t.MIN && SEC == t.SEC; }
bool ttime::operator!=(const ttime& t) const { return !(*this == t); }

bool ttime::operator<(const ttime& t) const {
  if (HOUR != t.HOUR) return HOUR < t.HOUR;
  if (MIN != t.MIN) return MIN < t.MIN;
  return SEC < t.SEC;
}

bool ttime::operator>(const ttime& t) const { return t < *this; }
bool ttime::operator<=(const ttime& t) const { return !(t < *this); }
bool ttime::operator>=(const ttime& t) const { return !(*this < t); }

char* ttime::string() const {
  if (HOUR == -1 || MIN == -1 || SEC == -1)
    std::snprintf(TIME_TEXT, sizeof TIME_TEXT, "%8s", "");
  else
    std::snprintf(TIME_TEXT, sizeof TIME_TEXT, "%02d:%02d.%02d", HOUR, MIN, SEC);
  return TIME_TEXT;
}

uint32_t ttime::word() const {
  return static_cast<uint8_t>(HOUR) | static_cast<uint32_t>(static_cast<uint8_t>(MIN)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(SEC)) << 16;
}

ttime ttime::from_word(uint32_t w) {
  ttime t(0, 0, 0);
  t.HOUR = static_cast<int8_t>(w & 0xFF);
  t.MIN = static_cast<int8_t>((w >> 8) & 0xFF);
  t.SEC = static_cast<int8_t>((w >> 16) & 0xFF);
  return t;
}
