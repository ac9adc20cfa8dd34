// progress.cpp: the progress line on a terminal.
#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "util.h"

namespace zervgen {
namespace {

constexpr double kInterval = 0.25;  // seconds between updates

volatile int shownLength = 0;  // characters of the line on screen; 0: none
bool active = false;
const char* name = "";
std::int32_t totalRows = 0;
double startTime = 0;
double lastTime = 0;

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void Show(std::int32_t rowsDone, double now) {
  const double seconds = now - startTime;
  const long rate = seconds > 0 ? static_cast<long>(rowsDone / seconds) : 0;
  const int percent = static_cast<int>(100.0 * rowsDone / totalRows);
  char line[256];
  int n = std::snprintf(line, sizeof line, "\r%s: %ld of %ld rows (%d%%), %ld rows/s", name,
                        static_cast<long>(rowsDone), static_cast<long>(totalRows), percent, rate);
  if (n < 0) return;
  n = n < static_cast<int>(sizeof line) ? n : static_cast<int>(sizeof line) - 1;
  int pad = shownLength - (n - 1);
  while (pad-- > 0 && n < static_cast<int>(sizeof line) - 1) line[n++] = ' ';
  (void)Util_WriteAll(STDERR_FILENO, line, static_cast<std::size_t>(n));
  shownLength = n - 1;
}

}  // namespace

void Progress_Begin(const char* relName, std::int32_t total) {
  active = total > 0 && isatty(STDERR_FILENO) == 1;
  if (!active) return;
  name = relName;
  totalRows = total;
  startTime = lastTime = Now();
  Show(0, startTime);
}

void Progress_Update(std::int32_t rowsDone) {
  if (!active) return;
  const double now = Now();
  if (now - lastTime < kInterval) return;
  lastTime = now;
  Show(rowsDone, now);
}

void Progress_End() {
  int length = shownLength;
  if (length == 0) return;
  char blanks[258];
  if (length > 256) length = 256;
  blanks[0] = '\r';
  std::memset(blanks + 1, ' ', static_cast<std::size_t>(length));
  blanks[length + 1] = '\r';
  (void)Util_WriteAll(STDERR_FILENO, blanks, static_cast<std::size_t>(length) + 2);
  shownLength = 0;
  active = false;
}

}  // namespace zervgen
