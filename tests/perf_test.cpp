// Timers on a clock the test controls: accumulation over intervals, the
// format of the elapsed time, the checks; and the local-time record.
#include "base/perf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "base/except.h"
#include "base/timeutil.h"
#include "test_util.h"

namespace zervgen {
namespace {

// The fake clock, in hundredths of a second since the epoch.
std::int64_t fakeNow = 0;
class FakeClock : public Env {
 public:
  std::int64_t NowHundredths() override { return fakeNow; }
};

class PerfTest : public testing::Test {
 protected:
  void SetUp() override { Xept_Reset(); }
};

std::string Formatted(PerfTimer* timer) {
  char buffer[80];
  Perf_Format(timer, buffer);
  return buffer;
}

TEST_F(PerfTest, FormatSplitsHundredthsIntoDaysHoursMinutesSeconds) {
  struct Case {
    std::uint32_t elapsed;
    const char* text;
  };
  const Case cases[] = {
      {0, "00 00:00:00.00"},       {5, "00 00:00:00.05"},          {12345, "00 00:02:03.45"},
      {5999, "00 00:00:59.99"},    {6000, "00 00:01:00.00"},       {360000, "00 01:00:00.00"},
      {372300, "00 01:02:03.00"},  {8639999, "00 23:59:59.99"},    {8640000, "01 00:00:00.00"},
      {9006100, "01 01:01:01.00"}, {864000000, "100 00:00:00.00"}, {4294967295u, "497 02:27:52.95"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elapsed);
    PerfTimer timer{c.elapsed, 0, 0};
    char buffer[16];  // the least room the format needs
    EXPECT_EQ(Perf_Format(&timer, buffer), 0);
    EXPECT_STREQ(buffer, c.text);
  }
}

TEST_F(PerfTest, InitThenFormatIsZero) {
  PerfTimer timer{123, 4, 5};
  EXPECT_EQ(Perf_Init(&timer), 0);
  EXPECT_EQ(Formatted(&timer), "00 00:00:00.00");
  EXPECT_EQ(timer.elapsed, 0u);
}

// A script of timer calls and clock moves.
enum Op { kInit, kStart, kStop, kWait };
struct Step {
  Op op;
  std::int64_t hundredths = 0;  // for kWait
};
Step Wait(std::int64_t seconds) { return {kWait, seconds * 100}; }

struct IntervalCase {
  const char* name;
  std::int64_t startAt;  // clock reading before the first step, in hundredths
  std::vector<Step> steps;
  std::uint32_t elapsed;
  const char* text;
};

TEST_F(PerfTest, IntervalsAccumulate) {
  constexpr std::int64_t kT = 1700000000LL * 100;
  const IntervalCase cases[] = {
      {"one interval of 90061 s",
       kT,
       {{kInit}, {kStart}, Wait(90061), {kStop}},
       9006100,
       "01 01:01:01.00"},
      {"1 h 2 min 3 s", kT, {{kInit}, {kStart}, Wait(3723), {kStop}}, 372300, "00 01:02:03.00"},
      {"two intervals of 2 s with a pause",
       kT,
       {{kInit}, {kStart}, Wait(2), {kStop}, Wait(5), {kStart}, Wait(2), {kStop}},
       400,
       "00 00:00:04.00"},
      {"stop without start counts from init",
       kT,
       {{kInit}, Wait(3), {kStop}},
       300,
       "00 00:00:03.00"},
      {"start after a wait",
       kT,
       {{kInit}, Wait(10), {kStart}, Wait(4), {kStop}},
       400,
       "00 00:00:04.00"},
      {"running interval is not shown",
       kT,
       {{kInit}, {kStart}, Wait(2), {kStop}, {kStart}, Wait(7)},
       200,
       "00 00:00:02.00"},
      {"readings inside a second",
       kT + 37,
       {{kInit}, {kStart}, Wait(2), {kStop}},
       200,
       "00 00:00:02.00"},
  };
  FakeClock clock;
  zervgen_test::ScopedEnv scope(&clock);
  for (const IntervalCase& c : cases) {
    SCOPED_TRACE(c.name);
    fakeNow = c.startAt;
    PerfTimer timer{};
    for (const Step& s : c.steps) {
      switch (s.op) {
        case kInit:
          EXPECT_EQ(Perf_Init(&timer), 0);
          break;
        case kStart:
          EXPECT_EQ(Perf_Start(&timer), 0);
          break;
        case kStop:
          EXPECT_EQ(Perf_Stop(&timer), 0);
          break;
        case kWait:
          fakeNow += s.hundredths;
          break;
      }
    }
    EXPECT_EQ(timer.elapsed, c.elapsed);
    EXPECT_EQ(Formatted(&timer), c.text);
  }
}

TEST_F(PerfTest, NullArgumentsAreRequirementFailures) {
  PerfTimer timer{};
  char buffer[80];
  struct Case {
    const char* func;
    std::function<void()> call;
    const char* text;
  };
  const Case cases[] = {
      {"Perf_Init", [] { Perf_Init(nullptr); }, "perf != NULL"},
      {"Perf_Start", [] { Perf_Start(nullptr); }, "perf != NULL"},
      {"Perf_Stop", [] { Perf_Stop(nullptr); }, "perf != NULL"},
      {"Perf_Format", [&] { Perf_Format(nullptr, buffer); }, "perf != NULL"},
      {"Perf_Format", [&] { Perf_Format(&timer, nullptr); }, "buffer != NULL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.func) + " " + c.text);
    const zervgen_test::Raised r = zervgen_test::CatchRaise(c.call);
    const int raised = r.cls;
    const std::string& out = r.out;
    EXPECT_EQ(raised, XEPT_REQUIREMENT);
    const std::string loc =
        std::string(R"(File [^\n]*perf\.cpp, Function )") + c.func + R"(, line \d+\n)";
    EXPECT_TRUE(std::regex_match(out, std::regex(loc + "Failed requirement: '" + c.text + "'\n" +
                                                 loc + "Raised exception of class '2'\n")))
        << out;
  }
}

bool SameTime(const TimeRecord& r, std::time_t when) {
  std::tm t{};
  localtime_r(&when, &t);
  return r.hundredths == 0 && r.second == t.tm_sec && r.minute == t.tm_min && r.hour == t.tm_hour &&
         r.month == t.tm_mon + 1 && r.year == t.tm_year + 1900 && r.day == t.tm_mday &&
         r.weekDay == t.tm_wday + 1 && r.yearDay == t.tm_yday + 1 && r.isDst == t.tm_isdst;
}

TEST(TimeUtil, GetTimeIsTheLocalTimeNow) {
  TimeRecord record{};
  std::time_t before = std::time(nullptr);
  EXPECT_EQ(TU_GetTime(&record), 0);
  std::time_t after = std::time(nullptr);
  EXPECT_TRUE(SameTime(record, before) || SameTime(record, after))
      << record.year << "-" << record.month << "-" << record.day << " " << record.hour << ":"
      << record.minute << ":" << record.second << " wday " << record.weekDay << " yday "
      << record.yearDay << " dst " << record.isDst;
}

}  // namespace
}  // namespace zervgen
