// base/progress.cpp: the progress line and the summary lines on a terminal.
#include "base/progress.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/util.h"

namespace zervgen {
namespace {

constexpr double kInterval = 0.25;  // seconds between updates
constexpr int kLineSize = 256;

// The one progress line of the terminal (standard error is one per
// process) and the figures of the relation it shows. The relation under
// way owns them: Progress_Begin starts them and Progress_Finish ends them,
// on the thread that generates the relation; calls from other threads do
// nothing. They stay at file scope because the signal handler clears the
// line from the screen (Progress_End, through shownLength) with no handle
// to the run.
struct ProgressLine {
  volatile int shownLength = 0;  // characters of the line on screen; 0: none
  bool active = false;           // a relation is under way on a terminal
  pthread_t owner{};             // the thread that began it
  const char* name = "";
  std::int32_t totalRows = 0;
  double startTime = 0;      // the relation's start
  double rowsStartTime = 0;  // the first row's start; 0: still in the columns
  double lastTime = 0;
  int lastColumns = -1;
  unsigned long long bytesWritten = 0;
  std::int32_t rowsWritten = 0;
};
ProgressLine terminal;

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool Mine() { return terminal.active && pthread_equal(pthread_self(), terminal.owner) != 0; }

// "M:SS", or "H:MM:SS" from an hour on.
void FormatDuration(double seconds, char* out, std::size_t size) {
  const long s = seconds > 0 ? static_cast<long>(seconds + 0.5) : 0;
  if (s >= 3600) {
    std::snprintf(out, size, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(out, size, "%ld:%02ld", s / 60, s % 60);
  }
}

// Writes `text` over the line on screen, blanking what it leaves of a
// longer line.
void Show(const char* text) {
  char line[kLineSize + 2];
  int n = std::snprintf(line, sizeof line, "\r%s", text);
  if (n < 0) return;
  n = n < kLineSize ? n : kLineSize;
  int pad = terminal.shownLength - (n - 1);
  while (pad-- > 0 && n < kLineSize) line[n++] = ' ';
  (void)Util_WriteAll(STDERR_FILENO, line, static_cast<std::size_t>(n));
  terminal.shownLength = n - 1;
}

void ShowColumns(int done, int total, double now) {
  char elapsed[32];
  FormatDuration(now - terminal.startTime, elapsed, sizeof elapsed);
  char text[kLineSize];
  std::snprintf(text, sizeof text, "%s: %d of %d columns, %s elapsed", terminal.name, done, total,
                elapsed);
  Show(text);
}

void ShowRows(std::int32_t rowsDone, double now) {
  const double seconds = now - terminal.rowsStartTime;
  const double rate = seconds > 0 ? rowsDone / seconds : 0;
  const int percent = static_cast<int>(100.0 * rowsDone / terminal.totalRows);
  char elapsed[32];
  FormatDuration(now - terminal.startTime, elapsed, sizeof elapsed);
  char text[kLineSize];
  int n = std::snprintf(text, sizeof text, "%s: %ld of %ld rows (%d%%), %ld rows/s, %s elapsed",
                        terminal.name, static_cast<long>(rowsDone),
                        static_cast<long>(terminal.totalRows), percent, static_cast<long>(rate),
                        elapsed);
  if (rowsDone > 0 && rate > 0 && n > 0 && n < kLineSize) {
    char left[32];
    FormatDuration((terminal.totalRows - rowsDone) / rate, left, sizeof left);
    std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %s left", left);
  }
  Show(text);
}

}  // namespace

void Progress_Begin(const char* relName, std::int32_t rows) {
  terminal.active = rows > 0 && isatty(STDERR_FILENO) == 1;
  if (!terminal.active) return;
  terminal.owner = pthread_self();
  terminal.name = relName;
  terminal.totalRows = rows;
  terminal.startTime = terminal.lastTime = Now();
  terminal.rowsStartTime = 0;
  terminal.lastColumns = -1;
  terminal.bytesWritten = 0;
  terminal.rowsWritten = 0;
}

void Progress_Columns(int done, int total) {
  if (!Mine() || total <= 0 || terminal.rowsStartTime != 0) return;
  const double now = Now();
  if (done == terminal.lastColumns && now - terminal.lastTime < kInterval) return;
  terminal.lastTime = now;
  terminal.lastColumns = done;
  ShowColumns(done, total, now);
}

void Progress_Rows(std::int32_t rows, std::size_t bytes) {
  if (!Mine()) return;
  terminal.rowsWritten += rows;
  terminal.bytesWritten += bytes;
  const double now = Now();
  if (terminal.rowsStartTime == 0) {
    terminal.rowsStartTime = now;
  } else if (now - terminal.lastTime < kInterval) {
    return;
  }
  terminal.lastTime = now;
  ShowRows(terminal.rowsWritten, now);
}

void Progress_Finish() {
  if (!Mine()) return;
  Progress_End();
  const double seconds = Now() - terminal.startTime;
  const double megabytes = static_cast<double>(terminal.bytesWritten) / 1e6;
  char line[kLineSize];
  int n = std::snprintf(line, sizeof line, "%s: %ld row%s, %llu bytes in %.1f s, %.1f MB/s\n",
                        terminal.name, static_cast<long>(terminal.totalRows),
                        terminal.totalRows == 1 ? "" : "s", terminal.bytesWritten, seconds,
                        megabytes / (seconds > 1e-3 ? seconds : 1e-3));
  if (n > 0) {
    (void)Util_WriteAll(STDERR_FILENO, line,
                        static_cast<std::size_t>(n < kLineSize ? n : kLineSize - 1));
  }
  terminal.active = false;
}

void Progress_End() {
  int length = terminal.shownLength;
  if (length == 0) return;
  char blanks[kLineSize + 2];
  if (length > kLineSize) length = kLineSize;
  blanks[0] = '\r';
  std::memset(blanks + 1, ' ', static_cast<std::size_t>(length));
  blanks[length + 1] = '\r';
  (void)Util_WriteAll(STDERR_FILENO, blanks, static_cast<std::size_t>(length) + 2);
  terminal.shownLength = 0;
}

}  // namespace zervgen
