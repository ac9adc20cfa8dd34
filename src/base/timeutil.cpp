// base/timeutil.cpp: local time by the C library.
#include "base/timeutil.h"

#include <ctime>

namespace zervgen {

int TU_GetTime(TimeRecord* record) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  record->hundredths = 0;
  record->second = static_cast<std::int16_t>(local.tm_sec);
  record->minute = static_cast<std::int16_t>(local.tm_min);
  record->hour = static_cast<std::int16_t>(local.tm_hour);
  record->month = static_cast<std::int16_t>(local.tm_mon + 1);
  record->year = static_cast<std::int16_t>(local.tm_year + 1900);
  record->day = static_cast<std::int16_t>(local.tm_mday);
  record->weekDay = static_cast<std::int16_t>(local.tm_wday + 1);
  record->yearDay = static_cast<std::int16_t>(local.tm_yday + 1);
  record->isDst = static_cast<std::int16_t>(local.tm_isdst);
  return 0;
}

}  // namespace zervgen
