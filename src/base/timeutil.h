// base/timeutil.h: the current local date and time as a record of small numbers,
// for the date line of the report.
#ifndef ZERVGEN_SRC_BASE_TIMEUTIL_H_
#define ZERVGEN_SRC_BASE_TIMEUTIL_H_

#include <cstdint>

namespace zervgen {

struct TimeRecord {
  std::int16_t hundredths;  // always 0
  std::int16_t second;      // 0..61
  std::int16_t minute;      // 0..59
  std::int16_t hour;        // 0..23
  std::int16_t month;       // 1..12
  std::int16_t year;        // full year
  std::int16_t day;         // 1..31
  std::int16_t weekDay;     // Sunday = 1
  std::int16_t yearDay;     // 1 January = 1
  std::int16_t isDst;
};

// Fills `record` with the current local time. Returns 0.
int TU_GetTime(TimeRecord* record);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_TIMEUTIL_H_
