// base/perf.cpp: timers on the wall clock, read in hundredths of a second.
#include "base/perf.h"

#include <cstdio>
#include <ctime>

#include "base/env.h"
#include "base/except.h"

namespace zervgen {
namespace {

// Hundredths since the timer's base second.
std::int32_t SinceBase(const PerfTimer* perf) {
  return static_cast<std::int32_t>(Env_Current()->NowHundredths() -
                                   static_cast<std::int64_t>(perf->base) * 100);
}

}  // namespace

int Perf_Init(PerfTimer* perf) {
  CHECK_REQUIRE_TEXT(perf != nullptr, "perf != NULL");
  perf->elapsed = 0;
  perf->startOffset = 0;
  perf->base = static_cast<std::int32_t>(Env_Current()->NowHundredths() / 100);
  return 0;
}

int Perf_Start(PerfTimer* perf) {
  CHECK_REQUIRE_TEXT(perf != nullptr, "perf != NULL");
  perf->startOffset = SinceBase(perf);
  return 0;
}

int Perf_Stop(PerfTimer* perf) {
  CHECK_REQUIRE_TEXT(perf != nullptr, "perf != NULL");
  perf->elapsed += static_cast<std::uint32_t>(SinceBase(perf) - perf->startOffset);
  return 0;
}

int Perf_Format(PerfTimer* perf, char* buffer) {
  CHECK_REQUIRE_TEXT(perf != nullptr, "perf != NULL");
  CHECK_REQUIRE_TEXT(buffer != nullptr, "buffer != NULL");
  unsigned long e = perf->elapsed;
  std::snprintf(buffer, 80, "%02lu %02lu:%02lu:%02lu.%02lu", e / 8640000, (e / 360000) % 24,
                (e / 6000) % 60, (e / 100) % 60, e % 100);
  return 0;
}

}  // namespace zervgen
