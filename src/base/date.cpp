// base/date.cpp: day number to calendar date by table look-up.
#include "base/date.h"

#include <array>

#include "base/except.h"

namespace zervgen {
namespace {

// Entry y: the day number of 1 January of 1900 + y; entry 100 bounds 1999.
constexpr std::array<std::uint16_t, 101> MakeYearStarts() {
  std::array<std::uint16_t, 101> starts{};
  std::uint16_t day = 0;
  for (int y = 0; y <= 100; ++y) {
    starts[y] = day;
    day += (y % 4 == 0 && y != 0) ? 366 : 365;
  }
  return starts;
}

constexpr std::array<std::uint16_t, 101> kYearStarts = MakeYearStarts();
constexpr std::uint16_t kCommonMonths[13] = {0,   31,  59,  90,  120, 151, 181,
                                             212, 243, 273, 304, 334, 365};
constexpr std::uint16_t kLeapMonths[13] = {0,   31,  60,  91,  121, 152, 182,
                                           213, 244, 274, 305, 335, 366};

static_assert(kYearStarts[1] == 365 && kYearStarts[5] == 1826 && kYearStarts[99] == 36159 &&
              kYearStarts[100] == 36524);

}  // namespace

void Date_Convert(std::uint16_t centuryDay, std::uint16_t* day, std::uint16_t* month,
                  std::uint16_t* year) {
  CHECK_REQUIRE(centuryDay <= DATE_MAX_DAY);
  CHECK_REQUIRE_TEXT(day != nullptr, "day != NULL");
  CHECK_REQUIRE_TEXT(month != nullptr, "month != NULL");
  CHECK_REQUIRE_TEXT(year != nullptr, "year != NULL");
  int y = centuryDay / 366;
  if (kYearStarts[y + 1] <= centuryDay) ++y;
  int d = centuryDay - kYearStarts[y];
  const std::uint16_t* months = (y % 4 == 0 && y != 0) ? kLeapMonths : kCommonMonths;
  int m = d / 31;
  if (months[m + 1] <= d) ++m;
  *year = static_cast<std::uint16_t>(1900 + y);
  *month = static_cast<std::uint16_t>(m + 1);
  *day = static_cast<std::uint16_t>(d - months[m] + 1);
}

}  // namespace zervgen
