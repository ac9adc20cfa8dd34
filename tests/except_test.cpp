// Checks and the handler stack: the exact lines of the three check forms and
// of a plain raise, the class matching, the capacity of 20 handlers, and the
// ending of the process when no handler accepts a class.
#include "base/except.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace zervgen {
namespace {

// The check sites. Each line constant names the line of the check below it;
// keep each site on one line.
constexpr int kRequireLine = __LINE__ + 1;
void RequireNull(const char* text) { CHECK_REQUIRE(text == NULL); }
constexpr int kEnsureLine = __LINE__ + 1;
void EnsureNull(const char* text) { CHECK_ENSURE(text == NULL); }
constexpr int kAssertLine = __LINE__ + 1;
void AssertNull(const char* text) { CHECK_ASSERT(text == NULL); }
constexpr int kRequireTextLine = __LINE__ + 1;
void RequireText(const char* text) { CHECK_REQUIRE_TEXT(text == nullptr, text); }
constexpr int kEnsureTextLine = __LINE__ + 1;
void EnsureText(const char* text) { CHECK_ENSURE_TEXT(text == nullptr, text); }
constexpr int kAssertTextLine = __LINE__ + 1;
void AssertText(const char* text) { CHECK_ASSERT_TEXT(text == nullptr, text); }
constexpr int kRaiseLine = __LINE__ + 1;
void RaiseGenFailed(const char*) { XEPT_RAISE(XEPT_GEN_FAILED); }
constexpr int kRaiseDiskFullLine = __LINE__ + 1;
void RaiseDiskFull(const char*) { XEPT_RAISE(XEPT_GEN_DISK_FULL); }

// A location line printed from this file.
std::string Here(const char* func, int line, const std::string& text) {
  return std::string("File ") + __FILE__ + ", Function " + func + ", line " + std::to_string(line) +
         "\n" + text + "\n";
}

std::string ClassLine(int cls) { return "Raised exception of class '" + std::to_string(cls) + "'"; }

// A pattern (POSIX extended and ECMAScript alike) for a location line
// printed from except.cpp.
std::string InExcept(const char* func, const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return std::string("File [^\n]*except\\.cpp, Function ") + func + ", line [0-9]+\n" + escaped +
         "\n";
}

class XeptTest : public testing::Test {
 protected:
  void SetUp() override { Xept_Reset(); }
  void TearDown() override { Xept_Reset(); }
};

struct CheckCase {
  const char* name;
  void (*site)(const char*);
  std::string argument;
  const char* func;
  int line;
  int cls;
  std::string firstText;  // "" when only the class line is printed
};

std::vector<CheckCase> CheckCases() {
  const std::string x200(200, 'x');
  return {
      {"requirement", RequireNull, "a", "RequireNull", kRequireLine, XEPT_REQUIREMENT,
       "Failed requirement: 'text == NULL'"},
      {"ensure", EnsureNull, "a", "EnsureNull", kEnsureLine, XEPT_ENSURE,
       "Failed ensure: 'text == NULL'"},
      {"assertion", AssertNull, "a", "AssertNull", kAssertLine, XEPT_ASSERTION,
       "Failed assertion: 'text == NULL'"},
      {"requirement cut to 164", RequireText, x200, "RequireText", kRequireTextLine,
       XEPT_REQUIREMENT, "Failed requirement: '" + std::string(164, 'x') + "'"},
      {"requirement of 164 whole", RequireText, std::string(164, 'y'), "RequireText",
       kRequireTextLine, XEPT_REQUIREMENT, "Failed requirement: '" + std::string(164, 'y') + "'"},
      {"requirement of 165 cut", RequireText, std::string(165, 'y'), "RequireText",
       kRequireTextLine, XEPT_REQUIREMENT, "Failed requirement: '" + std::string(164, 'y') + "'"},
      {"ensure cut to 166", EnsureText, x200, "EnsureText", kEnsureTextLine, XEPT_ENSURE,
       "Failed ensure: '" + std::string(166, 'x') + "'"},
      {"assertion cut to 166", AssertText, x200, "AssertText", kAssertTextLine, XEPT_ASSERTION,
       "Failed assertion: '" + std::string(166, 'x') + "'"},
      {"empty text shown as one blank", RequireText, "", "RequireText", kRequireTextLine,
       XEPT_REQUIREMENT, "Failed requirement: ' '"},
      {"plain raise of 32", RaiseGenFailed, "", "RaiseGenFailed", kRaiseLine, XEPT_GEN_FAILED, ""},
      {"plain raise of 33", RaiseDiskFull, "", "RaiseDiskFull", kRaiseDiskFullLine,
       XEPT_GEN_DISK_FULL, ""},
  };
}

// What a check site prints and raises on the main thread.
std::string ExpectedLines(const CheckCase& c) {
  std::string expected;
  if (!c.firstText.empty()) expected = Here(c.func, c.line, c.firstText);
  return expected + Here(c.func, c.line, ClassLine(c.cls));
}

TEST_F(XeptTest, CheckFormsPrintTwoLocationLinesAndRaise) {
  for (const CheckCase& c : CheckCases()) {
    SCOPED_TRACE(c.name);
    Xept_Reset();
    XeptFrame* f = Xept_GetBuffer(XEPT_ANY);
    int raised = -1;
    testing::internal::CaptureStdout();
    try {
      c.site(c.argument.c_str());
    } catch (const XeptRaised& r) {
      EXPECT_EQ(r.frame, f);
      raised = r.cls;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(raised, c.cls);
    EXPECT_EQ(out, ExpectedLines(c));
    EXPECT_EQ(Xept_ActiveCount(), 0);
  }
}

// A worker thread that captures prints nothing and leaves the handler stack
// alone; the main thread's replay then prints the same lines and raises the
// same class as the check would have on the main thread.
TEST_F(XeptTest, CapturedFailureIsReplayedOnTheMainThread) {
  for (const CheckCase& c : CheckCases()) {
    SCOPED_TRACE(c.name);
    Xept_Reset();
    XeptFrame* f = Xept_GetBuffer(XEPT_ANY);
    XeptStatus status;
    bool captured = false;
    testing::internal::CaptureStdout();
    std::thread worker([&] {
      XeptCapture capture(&status);
      try {
        c.site(c.argument.c_str());
      } catch (const XeptCaptured&) {
        captured = true;
      }
    });
    worker.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(captured);
    EXPECT_EQ(status.cls, c.cls);
    EXPECT_EQ(Xept_ActiveCount(), 1);
    int raised = -1;
    testing::internal::CaptureStdout();
    try {
      Xept_Replay(status);
    } catch (const XeptRaised& r) {
      EXPECT_EQ(r.frame, f);
      raised = r.cls;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ExpectedLines(c));
    EXPECT_EQ(raised, c.cls);
  }
}

TEST_F(XeptTest, PassingChecksPrintAndRaiseNothing) {
  Xept_GetBuffer(XEPT_ANY);
  testing::internal::CaptureStdout();
  RequireNull(nullptr);
  EnsureNull(nullptr);
  AssertNull(nullptr);
  RequireText(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Xept_ActiveCount(), 1);
}

struct MatchCase {
  const char* name;
  std::vector<std::int16_t> handlers;  // pushed in this order
  std::int16_t raised;
  int landsIn;    // index into handlers
  int remaining;  // handlers left on the stack afterwards
};

const MatchCase kMatchCases[] = {
    {"any handler takes 2", {XEPT_ANY}, 2, 0, 0},
    {"4 then 2, raise 4", {4, 2}, 4, 0, 0},
    {"any, 4, 2, raise 4", {XEPT_ANY, 4, 2}, 4, 1, 1},
    {"any, 4, 2, raise 2", {XEPT_ANY, 4, 2}, 2, 2, 2},
    {"any, 4, 2, raise 3", {XEPT_ANY, 4, 2}, 3, 0, 0},
    {"top one of two equal", {2, 2}, 2, 1, 1},
    {"any on top wins", {32, XEPT_ANY}, 32, 1, 1},
    {"class 33", {33, 32}, 33, 0, 0},
};

TEST_F(XeptTest, RaiseLandsInTheTopHandlerThatAcceptsTheClass) {
  for (const MatchCase& c : kMatchCases) {
    SCOPED_TRACE(c.name);
    Xept_Reset();
    std::vector<XeptFrame*> frames;
    for (std::int16_t cls : c.handlers) frames.push_back(Xept_GetBuffer(cls));
    EXPECT_EQ(Xept_ActiveCount(), static_cast<int>(frames.size()));
    XeptFrame* landed = nullptr;
    testing::internal::CaptureStdout();
    try {
      Xept_RaiseException(c.raised);
    } catch (const XeptRaised& r) {
      EXPECT_EQ(r.cls, c.raised);
      landed = r.frame;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(landed, frames[c.landsIn]);
    EXPECT_EQ(Xept_ActiveCount(), c.remaining);
  }
}

// The way a handler site nests: the inner site rethrows what is not its own.
TEST_F(XeptTest, NestedSitesDiscardTheHandlerThatDoesNotAccept) {
  XeptFrame* f4 = Xept_GetBuffer(XEPT_ASSERTION);
  bool landed = false;
  try {
    XeptFrame* f2 = Xept_GetBuffer(XEPT_REQUIREMENT);
    try {
      Xept_RaiseException(XEPT_ASSERTION);
    } catch (const XeptRaised& r) {
      if (r.frame != f2) throw;
      ADD_FAILURE() << "landed in the handler for 2";
    }
  } catch (const XeptRaised& r) {
    EXPECT_EQ(r.frame, f4);
    EXPECT_EQ(r.cls, XEPT_ASSERTION);
    landed = true;
  }
  EXPECT_TRUE(landed);
  EXPECT_EQ(Xept_ActiveCount(), 0);
}

TEST_F(XeptTest, TwentyFirstPushRaisesClassSix) {
  for (std::int16_t bottom : {XEPT_ANY, XEPT_RESOURCE}) {
    SCOPED_TRACE(bottom);
    Xept_Reset();
    XeptFrame* f = Xept_GetBuffer(bottom);
    for (int i = 1; i < XEPT_MAX_HANDLERS; ++i) Xept_GetBuffer(XEPT_ASSERTION);
    ASSERT_EQ(Xept_ActiveCount(), 20);
    XeptFrame* landed = nullptr;
    int cls = -1;
    testing::internal::CaptureStdout();
    try {
      Xept_GetBuffer(XEPT_REQUIREMENT);
    } catch (const XeptRaised& r) {
      landed = r.frame;
      cls = r.cls;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(landed, f);
    EXPECT_EQ(cls, XEPT_RESOURCE);
    const std::string pattern = InExcept("Xept_GetBuffer", "Xept_PushHandler: stack full") +
                                InExcept("Xept_GetBuffer", ClassLine(6));
    EXPECT_TRUE(std::regex_match(out, std::regex(pattern))) << out;
    EXPECT_EQ(Xept_ActiveCount(), 0);
    // Every frame is free again.
    for (int i = 0; i < XEPT_MAX_HANDLERS; ++i) Xept_GetBuffer(XEPT_ANY);
    EXPECT_EQ(Xept_ActiveCount(), 20);
  }
}

TEST_F(XeptTest, RaisingAnyIsRaisedAsCodingError) {
  for (std::int16_t handler : {XEPT_ANY, XEPT_CODING}) {
    SCOPED_TRACE(handler);
    Xept_Reset();
    XeptFrame* f = Xept_GetBuffer(handler);
    XeptFrame* landed = nullptr;
    int cls = -1;
    testing::internal::CaptureStdout();
    try {
      Xept_RaiseException(XEPT_ANY);
    } catch (const XeptRaised& r) {
      landed = r.frame;
      cls = r.cls;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(landed, f);
    EXPECT_EQ(cls, XEPT_CODING);
    const std::string pattern =
        InExcept("Xept_RaiseException", "Invalid to raise XEPT_ANY exception") +
        InExcept("Xept_RaiseException", ClassLine(1));
    EXPECT_TRUE(std::regex_match(out, std::regex(pattern))) << out;
  }
}

TEST_F(XeptTest, PopTakesTheTopHandlerOff) {
  XeptFrame* any = Xept_GetBuffer(XEPT_ANY);
  Xept_GetBuffer(XEPT_REQUIREMENT);
  Xept_PopHandler();
  EXPECT_EQ(Xept_ActiveCount(), 1);
  XeptFrame* landed = nullptr;
  try {
    Xept_RaiseException(XEPT_REQUIREMENT);
  } catch (const XeptRaised& r) {
    landed = r.frame;
  }
  EXPECT_EQ(landed, any);
}

int flushes = 0;
class CountFlush : public Env {
 public:
  void FlushStdout() override { ++flushes; }
};

// Buffered relation data on standard output goes out before each location line.
TEST_F(XeptTest, StdoutFlusherRunsBeforeEachLocationLine) {
  Xept_GetBuffer(XEPT_ANY);
  flushes = 0;
  CountFlush env;
  {
    zervgen_test::ScopedEnv scope(&env);
    testing::internal::CaptureStdout();
    try {
      RequireNull("a");
    } catch (const XeptRaised&) {
    }
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(flushes, 2);
}

// While standard output carries relation data, both lines of a failed check
// go to standard error and nothing to standard output; before and after,
// standard output has them. The flusher of buffered data on standard output
// is not needed then.
TEST_F(XeptTest, CheckLinesGoToStandardErrorWhileStandardOutputCarriesData) {
  const std::string lines =
      Here("RequireNull", kRequireLine, "Failed requirement: 'text == NULL'") +
      Here("RequireNull", kRequireLine, ClassLine(XEPT_REQUIREMENT));
  flushes = 0;
  CountFlush env;
  zervgen_test::ScopedEnv scope(&env);
  for (bool toStderr : {false, true, false}) {
    SCOPED_TRACE(toStderr ? "data on standard output" : "no data on standard output");
    Xept_Reset();
    Xept_GetBuffer(XEPT_ANY);
    Xept_SetCheckLinesToStderr(toStderr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int raised = -1;
    try {
      RequireNull("a");
    } catch (const XeptRaised& r) {
      raised = r.cls;
    }
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(raised, XEPT_REQUIREMENT);
    EXPECT_EQ(out, toStderr ? "" : lines);
    EXPECT_EQ(err, toStderr ? lines : "");
  }
  Xept_SetCheckLinesToStderr(false);
  EXPECT_EQ(flushes, 4);  // two lines in each of the two runs on standard output
}

// Runs in the child of a death test: the location lines go to standard
// error, where the death test can match them.
void RaiseWithStdoutOnStderr(const std::vector<std::int16_t>& handlers, std::int16_t cls) {
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  Xept_Reset();
  for (std::int16_t h : handlers) Xept_GetBuffer(h);
  Xept_RaiseException(cls);
}

struct NoHandlerCase {
  const char* name;
  std::vector<std::int16_t> handlers;
  std::int16_t raised;
  std::string lines;  // pattern of all lines printed
};

TEST_F(XeptTest, NoHandlerEndsTheProcessWithStatusOne) {
  const std::string coding =
      InExcept("Xept_RaiseException", "No exception handler found for coding exceptions");
  auto noHandler = [&](int cls) {
    return InExcept("Xept_RaiseException", "No exception handler found for exceptions of class '" +
                                               std::to_string(cls) + "'") +
           InExcept("Xept_RaiseException", ClassLine(1)) + coding;
  };
  const std::vector<NoHandlerCase> cases = {
      {"class 5, empty stack", {}, 5, noHandler(5)},
      {"class 2, handler for 4 discarded", {4}, 2, noHandler(2)},
      {"class 1, empty stack", {}, 1, coding},
      {"class 0, empty stack",
       {},
       0,
       InExcept("Xept_RaiseException", "Invalid to raise XEPT_ANY exception") +
           InExcept("Xept_RaiseException", ClassLine(1)) + coding},
  };
  for (const NoHandlerCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(RaiseWithStdoutOnStderr(c.handlers, c.raised), testing::ExitedWithCode(1),
                c.lines + "$");
  }
}

// The ending without a handler runs the last-resort cleanup first.
void CleanupMark() { std::fputs("cleanup ran\n", stderr); }

TEST_F(XeptTest, NoHandlerRunsTheLastResortCleanupBeforeEnding) {
  EXPECT_EXIT(
      {
        Xept_SetLastResort(CleanupMark);
        RaiseWithStdoutOnStderr({}, 5);
      },
      testing::ExitedWithCode(1),
      "No exception handler found for coding exceptions\ncleanup ran\n$");
}

// Before the first reset both lists are empty: a push finds no free frame and
// its raise finds no handler. The threadsafe style runs the statement in a
// fresh process, where nothing has reset the stack yet.
void PushBeforeReset() {
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  Xept_GetBuffer(XEPT_ANY);
}

TEST(XeptBeforeReset, PushFailsAsStackFull) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string lines =
      InExcept("Xept_GetBuffer", "Xept_PushHandler: stack full") +
      InExcept("Xept_GetBuffer", ClassLine(6)) +
      InExcept("Xept_RaiseException", "No exception handler found for exceptions of class '6'") +
      InExcept("Xept_RaiseException", ClassLine(1)) +
      InExcept("Xept_RaiseException", "No exception handler found for coding exceptions");
  EXPECT_EXIT(PushBeforeReset(), testing::ExitedWithCode(1), lines + "$");
}

}  // namespace
}  // namespace zervgen
