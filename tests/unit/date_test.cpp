#include "class/date.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void expect_date(const tdate& d, int day, int mon, int year) {
  EXPECT_EQ(d.DAY, day);
  EXPECT_EQ(d.MON, mon);
  EXPECT_EQ(d.YEAR, year);
}

void expect_time(const ttime& t, int hour, int min, int sec) {
  EXPECT_EQ(t.HOUR, hour);
  EXPECT_EQ(t.MIN, min);
  EXPECT_EQ(t.SEC, sec);
}

// Sets TZ for one scope and puts the old value back.
struct zone {
  std::string old;
  bool had;
  explicit zone(const char* tz) : had(std::getenv("TZ") != nullptr) {
    if (had) old = std::getenv("TZ");
    setenv("TZ", tz, 1);
    tzset();
  }
  ~zone() {
    if (had)
      setenv("TZ", old.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
};

}  // namespace

TEST(Date, PacksIntoOneWordAndKeepsItsByteOrder) {
  tdate d(5, 3, 2016);
  EXPECT_EQ(d.word(), 2016u | 3u << 16 | 5u << 24);
  EXPECT_EQ(tdate::from_word(d.word()), d);
  tdate negative(-1, -1, -1);
  EXPECT_EQ(tdate::from_word(negative.word()), negative);

  ttime t(1, 2, 3);
  EXPECT_EQ(t.word(), 0x030201u);
  ttime empty(-1, -1, -1);
  EXPECT_EQ(ttime::from_word(empty.word()), empty);

  // Record tables copy the raw bytes: YEAR first, then MON, then DAY.
  unsigned char raw[4];
  std::memcpy(raw, &d, 4);
  EXPECT_EQ(raw[2], 3);
  EXPECT_EQ(raw[3], 5);
}

TEST(Date, ValidityFollowsMonthLengthsAndLeapYears) {
  EXPECT_TRUE(tdate(29, 2, 2016).test());
  EXPECT_FALSE(tdate(29, 2, 2019).test());
  EXPECT_FALSE(tdate(30, 2, 2016).test());
  EXPECT_FALSE(tdate(31, 4, 2019).test());
  EXPECT_TRUE(tdate(31, 12, 2019).test());
  EXPECT_FALSE(tdate(0, 1, 2019).test());
  EXPECT_FALSE(tdate(1, 0, 2019).test());
  EXPECT_FALSE(tdate(1, 13, 2019).test());
  // Leap years beyond any fixed list: the calendar keeps going after 2020.
  EXPECT_TRUE(tdate(29, 2, 2024).test());
  EXPECT_TRUE(tdate(29, 2, 1988).test());
  EXPECT_TRUE(tdate(29, 2, 2000).test());
  EXPECT_FALSE(tdate(29, 2, 1900).test());
  EXPECT_FALSE(tdate(29, 2, 2100).test());
}

TEST(Date, StepsAcrossMonthsYearsAndFebruary) {
  tdate d(28, 2, 2019);
  EXPECT_TRUE(++d);
  expect_date(d, 1, 3, 2019);
  EXPECT_TRUE(--d);
  expect_date(d, 28, 2, 2019);

  d = tdate(28, 2, 2016);
  EXPECT_TRUE(d++);
  expect_date(d, 29, 2, 2016);
  d = tdate(28, 2, 2024);
  ++d;
  expect_date(d, 29, 2, 2024);
  d = tdate(1, 3, 2024);
  --d;
  expect_date(d, 29, 2, 2024);

  d = tdate(31, 12, 2019);
  EXPECT_TRUE(++d);
  expect_date(d, 1, 1, 2020);
  d = tdate(1, 1, 2000);
  EXPECT_TRUE(d--);
  expect_date(d, 31, 12, 1999);
  d = tdate(1, 5, 2019);
  --d;
  expect_date(d, 30, 4, 2019);

  // Forty years day by day: every step lands on a valid date, the weekday
  // advances by one, and the count matches the calendar (10 leap days).
  tdate walk(1, 1, 1990), end(1, 1, 2030);
  int days = 0, weekday = walk.dow();
  while (walk < end) {
    ASSERT_TRUE(++walk) << walk.string();
    weekday = weekday % 7 + 1;
    ASSERT_EQ(walk.dow(), weekday) << walk.string();
    ++days;
  }
  EXPECT_EQ(days, 40 * 365 + 10);
  while (days-- > 0) ASSERT_TRUE(--walk) << walk.string();
  EXPECT_EQ(walk, tdate(1, 1, 1990));
}

TEST(Date, WeekdaysAndOrdering) {
  EXPECT_EQ(tdate(3, 1, 2000).dow(), 1);
  EXPECT_EQ(tdate(9, 1, 2000).dow(), 7);
  EXPECT_EQ(tdate(1, 3, 2100).dow(), 1);
  EXPECT_EQ(tdate(1, 3, 1900).dow(), 4);
  EXPECT_EQ(tdate(31, 12, 1899).dow(), 7);

  // Year outranks month, month outranks day.
  EXPECT_LT(tdate(31, 12, 2018), tdate(1, 1, 2019));
  EXPECT_LT(tdate(31, 1, 2019), tdate(1, 2, 2019));
  EXPECT_GT(tdate(2, 2, 2019), tdate(1, 2, 2019));
  EXPECT_LE(tdate(2, 2, 2019), tdate(2, 2, 2019));
  EXPECT_GE(tdate(2, 2, 2019), tdate(2, 2, 2019));
  EXPECT_NE(tdate(2, 2, 2019), tdate(2, 2, 2018));
}

TEST(Date, ReadsTextsAndPrints) {
  tdate d(1, 1, 2000);
  d = "5.3.2016";
  expect_date(d, 5, 3, 2016);
  EXPECT_STREQ(d.string(), "05-03-2016");

  tdate y(1, 1, 2000);
  y.setYYMMDD("2016/03/05");
  EXPECT_EQ(y, d);

  // Leading and repeated separators are skipped; a short text keeps the rest.
  d = "  -- 7 / 11 ";
  expect_date(d, 7, 11, 2016);
  d = static_cast<const char*>(nullptr);
  expect_date(d, 7, 11, 2016);
  d = "no digits";
  expect_date(d, 7, 11, 2016);
  char editable[] = "31-12-1999";
  d = editable;
  expect_date(d, 31, 12, 1999);

  // Numbers that do not fit a field stay invalid instead of wrapping
  // round into a plausible day or month.
  d = "257.258.99999999999999999999";
  EXPECT_FALSE(d.test());
  EXPECT_EQ(d.YEAR, 32767);

  // Empty dates print blank; the text lives in one shared buffer.
  EXPECT_STREQ(tdate(0, 3, 2016).string(), "          ");
  EXPECT_STREQ(tdate(5, 0, 2016).string(), "          ");
  tdate a(1, 2, 2003), b(4, 5, 2006);
  char* first = a.string();
  EXPECT_EQ(b.string(), first);
  EXPECT_STREQ(first, "04-05-2006");
}

TEST(Date, FollowsTheLocalClockAndZone) {
  std::time_t now = std::time(nullptr);
  struct tm before{};
  localtime_r(&now, &before);
  tdate today;
  ttime clock;
  EXPECT_TRUE(today.test());
  EXPECT_TRUE(clock.test());
  EXPECT_EQ(today.YEAR, before.tm_year + 1900);
  EXPECT_EQ(today.MON, before.tm_mon + 1);
  EXPECT_EQ(today.DAY, before.tm_mday);  // flaky only across midnight

  {
    zone utc("UTC0");
    EXPECT_FALSE(tdate::st());
  }
  {
    zone summer("EST5EDT,0/0,J365/25");  // daylight-saving time all year
    EXPECT_TRUE(tdate::st());
  }
}

TEST(Time, ReadsTextsAndSpansOfSeconds) {
  ttime t(1, 1, 1);
  t = "25:70:10";
  expect_time(t, 23, 59, 10);
  t = "12:30";
  expect_time(t, 12, 30, 0);
  t = static_cast<const char*>(nullptr);
  expect_time(t, 0, 0, 0);
  t = "7h 5m 99999999999999s";
  expect_time(t, 7, 5, 59);

  t = 90061;  // a day, an hour, a minute, a second: hours are not reduced
  expect_time(t, 25, 1, 1);
  EXPECT_FALSE(t.test());
  t = 0;
  expect_time(t, 0, 0, 0);
  t = -5;
  expect_time(t, 0, 0, 0);
  t = 1000 * 3600;  // beyond what the hour byte holds: pinned, not wrapped
  EXPECT_EQ(t.HOUR, 127);
}

TEST(Time, StepsSumsDifferencesAndOrder) {
  ttime t(23, 59, 59);
  ++t;
  expect_time(t, 0, 0, 0);
  t--;
  expect_time(t, 23, 59, 59);
  t = ttime(10, 59, 59);
  t++;
  expect_time(t, 11, 0, 0);

  expect_time(ttime(20, 0, 0) + ttime(5, 0, 0), 25, 0, 0);
  expect_time(ttime(10, 40, 30) + ttime(0, 19, 30), 11, 0, 0);
  expect_time(ttime(10, 0, 0) - ttime(9, 59, 59), 0, 0, 1);
  expect_time(ttime(1, 0, 0) - ttime(23, 30, 0), 1, 30, 0);

  EXPECT_LT(ttime(9, 59, 59), ttime(10, 0, 0));
  EXPECT_LT(ttime(10, 0, 59), ttime(10, 1, 0));
  EXPECT_GT(ttime(10, 1, 1), ttime(10, 1, 0));
  EXPECT_LE(ttime(10, 1, 1), ttime(10, 1, 1));
  EXPECT_GE(ttime(10, 1, 1), ttime(10, 1, 1));
  EXPECT_NE(ttime(10, 1, 1), ttime(10, 1, 2));

  EXPECT_FALSE(ttime(24, 0, 0).test());
  EXPECT_FALSE(ttime(0, 60, 0).test());
  EXPECT_FALSE(ttime(0, 0, -1).test());

  EXPECT_STREQ(ttime(1, 2, 3).string(), "01:02.03");
  EXPECT_STREQ(ttime(1, -1, 3).string(), "        ");
  EXPECT_STREQ(ttime(-1, 2, 3).string(), "        ");
}
