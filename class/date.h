// Calendar date and time-of-day values of the class library.
//
// Both are plain values: copied freely, stored byte for byte by the record
// tables (4 and 3 bytes) and handed around as one 32-bit word (word() and
// from_word()). Texts are cp1251 like everything else; only digits matter.
#ifndef VESKOR_CLASS_DATE_H
#define VESKOR_CLASS_DATE_H

#include <cstdint>
#include <type_traits>

class tdate {
public:
  int16_t YEAR;  // full year, 2016
  int8_t MON;    // 1..12; 0 marks the empty date
  int8_t DAY;    // 1..31; 0 marks the empty date

  tdate();                            // today, local clock
  tdate(int day, int mon, int year);  // as given, no validation

  tdate& operator=(const tdate&) = default;
  // Day, month, year in that order, any non-digits between them; a text
  // that runs out leaves the remaining fields as they were; null: no change.
  tdate& operator=(const char* text);
  void setYYMMDD(const char* text);  // the same, year first

  void update();  // today, local clock
  bool test() const;

  // Next / previous valid day; the result says whether it is valid.
  bool operator++();
  bool operator++(int);
  bool operator--();
  bool operator--(int);

  bool operator==(const tdate& d) const;
  bool operator!=(const tdate& d) const;
  bool operator<(const tdate& d) const;
  bool operator>(const tdate& d) const;
  bool operator<=(const tdate& d) const;
  bool operator>=(const tdate& d) const;

  // "DD-MM-YYYY", ten blanks for the empty date. One static buffer for all
  // dates: the next call overwrites it.
  char* string() const;
  int dow() const;   // 1 Monday .. 7 Sunday
  static bool st();  // local zone is on daylight-saving time now

  // One 32-bit word: bits 0-15 YEAR, 16-23 MON, 24-31 DAY.
  uint32_t word() const;
  static tdate from_word(uint32_t w);

  static bool leap(int year);  // Gregorian rule
};

class ttime {
public:
  int8_t HOUR;  // 0..23; -1 in any field marks the empty time
  int8_t MIN;   // 0..59
  int8_t SEC;   // 0..59

  ttime();                           // now, local clock
  ttime(int hour, int min, int sec);  // as given, no validation

  ttime& operator=(const ttime&) = default;
  // Hour, minute, second, any non-digits between them, clamped into range;
  // missing fields are 0, a null text gives 00:00:00.
  ttime& operator=(const char* text);
  // A span of seconds; the hour is not reduced modulo 24.
  ttime& operator=(int seconds);

  void update();  // now, local clock
  bool test() const;

  // One second forward / back; the hour wraps around midnight.
  ttime& operator++();
  ttime operator++(int);
  ttime& operator--();
  ttime operator--(int);

  ttime operator-(const ttime& t) const;  // hour below 0 gets 24 added
  ttime operator+(const ttime& t) const;  // hours are summed unreduced

  bool operator==(const ttime& t) const;
  bool operator!=(const ttime& t) const;
  bool operator<(const ttime& t) const;
  bool operator>(const ttime& t) const;
  bool operator<=(const ttime& t) const;
  bool operator>=(const ttime& t) const;

  // "HH:MM.SS", eight blanks for the empty time; one static buffer.
  char* string() const;

  // One 32-bit word: bits 0-7 HOUR, 8-15 MIN, 16-23 SEC.
  uint32_t word() const;
  static ttime from_word(uint32_t w);
};

static_assert(sizeof(tdate) == 4, "tdate is stored as 4 bytes");
static_assert(sizeof(ttime) == 3, "ttime is stored as 3 bytes");
static_assert(std::is_trivially_copyable<tdate>::value, "tdate is copied as bytes");
static_assert(std::is_trivially_copyable<ttime>::value, "ttime is copied as bytes");

#endif
