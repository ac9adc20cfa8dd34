// base/date.h: day numbers of the years 1900 to 1999. Day 0 is 1 January 1900,
// day 36523 (DATE_MAX_DAY) is 31 December 1999.
#ifndef ZERVGEN_SRC_BASE_DATE_H_
#define ZERVGEN_SRC_BASE_DATE_H_

#include <cstdint>

namespace zervgen {

inline constexpr std::uint16_t DATE_MAX_DAY = 36523;

// Converts a day number to day (1..31), month (1..12) and year (1900..1999).
// Fills all three or raises before touching any.
// REQUIRES: centuryDay <= DATE_MAX_DAY, day/month/year != NULL
void Date_Convert(std::uint16_t centuryDay, std::uint16_t* day, std::uint16_t* month,
                  std::uint16_t* year);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_DATE_H_
