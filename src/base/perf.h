// base/perf.h: elapsed-time timers for the report. A timer accumulates the time of
// its start/stop intervals in hundredths of a second.
#ifndef ZERVGEN_SRC_BASE_PERF_H_
#define ZERVGEN_SRC_BASE_PERF_H_

#include <cstdint>

namespace zervgen {

struct PerfTimer {
  std::uint32_t elapsed;     // hundredths, all completed intervals
  std::int32_t startOffset;  // hundredths from base to the current start
  std::int32_t base;         // wall-clock seconds at Perf_Init
};

// Each REQUIRES perf != NULL and returns 0.
int Perf_Init(PerfTimer* perf);
int Perf_Start(PerfTimer* perf);
int Perf_Stop(PerfTimer* perf);
// Writes "%02lu %02lu:%02lu:%02lu.%02lu" (days hours:minutes:seconds.hundredths).
// REQUIRES: buffer != NULL, room for at least 16 characters
int Perf_Format(PerfTimer* perf, char* buffer);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_PERF_H_
