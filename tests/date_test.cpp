// date_test.cpp: day numbers to calendar dates.
#include "base/date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "base/except.h"
#include "test_util.h"

namespace zervgen {
namespace {

struct Ymd {
  int year;
  int month;
  int day;
};

Ymd Convert(std::uint16_t centuryDay) {
  std::uint16_t day = 0;
  std::uint16_t month = 0;
  std::uint16_t year = 0;
  Date_Convert(centuryDay, &day, &month, &year);
  return {year, month, day};
}

// Days from 1 January 1970 in the proleptic Gregorian calendar, by the
// era-of-400-years method; independent of the tables under test.
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

TEST(DateConvert, KnownDays) {
  struct Case {
    std::uint16_t centuryDay;
    Ymd expected;
  };
  const Case cases[] = {
      {0, {1900, 1, 1}},       {58, {1900, 2, 28}},  {59, {1900, 3, 1}},      {365, {1901, 1, 1}},
      {1519, {1904, 2, 29}},   {1520, {1904, 3, 1}}, {36158, {1998, 12, 31}}, {36159, {1999, 1, 1}},
      {36523, {1999, 12, 31}}, {1460, {1904, 1, 1}}, {1825, {1904, 12, 31}},  {35794, {1998, 1, 1}},
  };
  for (const Case& c : cases) {
    Ymd got = Convert(c.centuryDay);
    EXPECT_EQ(got.year, c.expected.year) << c.centuryDay;
    EXPECT_EQ(got.month, c.expected.month) << c.centuryDay;
    EXPECT_EQ(got.day, c.expected.day) << c.centuryDay;
  }
}

TEST(DateConvert, EveryDayOfTheCentury) {
  const long base = DaysFromCivil(1900, 1, 1);
  // Step a calendar counter day by day and compare both ways.
  int y = 1900;
  int m = 1;
  int d = 1;
  const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int n = 0; n <= DATE_MAX_DAY; ++n) {
    Ymd got = Convert(static_cast<std::uint16_t>(n));
    ASSERT_EQ(got.year, y) << n;
    ASSERT_EQ(got.month, m) << n;
    ASSERT_EQ(got.day, d) << n;
    ASSERT_EQ(DaysFromCivil(got.year, got.month, got.day) - base, n);
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int length = monthDays[m - 1] + ((m == 2 && leap) ? 1 : 0);
    if (++d > length) {
      d = 1;
      if (++m > 12) {
        m = 1;
        ++y;
      }
    }
  }
  EXPECT_EQ(y, 2000);
}

TEST(DateConvert, FailedChecks) {
  std::uint16_t day = 7;
  std::uint16_t month = 7;
  std::uint16_t year = 7;
  struct Case {
    std::function<void()> call;
    const char* text;
  };
  const Case cases[] = {
      {[&] { Date_Convert(36524, &day, &month, &year); }, "centuryDay <= DATE_MAX_DAY"},
      {[&] { Date_Convert(65535, &day, &month, &year); }, "centuryDay <= DATE_MAX_DAY"},
      {[&] { Date_Convert(0, nullptr, &month, &year); }, "day != NULL"},
      {[&] { Date_Convert(0, &day, nullptr, &year); }, "month != NULL"},
      {[&] { Date_Convert(0, &day, &month, nullptr); }, "year != NULL"},
      // The range is checked first.
      {[&] { Date_Convert(40000, nullptr, nullptr, nullptr); }, "centuryDay <= DATE_MAX_DAY"},
  };
  for (const Case& c : cases) {
    const zervgen_test::Raised r = zervgen_test::CatchRaise(c.call);
    const int raised = r.cls;
    const std::string& out = r.out;
    Xept_Reset();
    EXPECT_EQ(raised, XEPT_REQUIREMENT) << c.text;
    EXPECT_NE(out.find(std::string("\nFailed requirement: '") + c.text + "'\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Function Date_Convert, line "), std::string::npos) << out;
    // Nothing is filled in before a check fails.
    EXPECT_EQ(day, 7);
    EXPECT_EQ(month, 7);
    EXPECT_EQ(year, 7);
  }
}

}  // namespace
}  // namespace zervgen
