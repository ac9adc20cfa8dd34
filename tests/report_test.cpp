// The report file: nothing written without one, exact contents with one, the
// messages for a report that cannot be created or written, and the checks.
#include "base/report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "app/datagen.h"
#include "base/except.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::Exists;
using zervgen_test::ReadText;
using zervgen_test::ScratchDir;
using zervgen_test::WriteText;

using Outcome = zervgen_test::Raised;

// Runs `call` under a handler for any class, capturing standard output.
Outcome UnderHandler(const std::function<void()>& call) { return zervgen_test::CatchRaise(call); }

// A location line printed by `func` of report.cpp.
std::string InReport(const char* func, const std::string& text) {
  return std::string(R"(File [^\n]*report\.cpp, Function )") + func + R"(, line \d+\n)" + text +
         "\n";
}

// The descriptor this process holds open on `path`, or -1.
int DescriptorOf(const std::string& path) {
  char want[PATH_MAX];
  if (realpath(path.c_str(), want) == nullptr) return -1;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::string(target) == want) return fd;
  }
  return -1;
}

class ReportTest : public testing::Test {
 protected:
  void SetUp() override {
    savedName_ = programName;
    programName = "zervgen";
    Xept_Reset();
    Report_CloseFile();
  }
  void TearDown() override {
    Report_CloseFile();
    programName = savedName_;
  }
  std::string Path(const std::string& name) const { return std::string(dir_.path()) + "/" + name; }

  ScratchDir dir_;

 private:
  const char* savedName_ = "";
};

TEST_F(ReportTest, WritesNothingWithoutAReport) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Report("Rows: %ld.\n", 500L), 0);
  EXPECT_EQ(Report("%s", std::string(3000, 'x').c_str()), 0);
  EXPECT_EQ(Report("\n"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(Report_IsOpen());
}

TEST_F(ReportTest, WritesTheFormattedTextAndReturnsItsLength) {
  const std::string path = Path("x.rpt");
  Report_OpenFile(path.c_str());
  ASSERT_TRUE(Report_IsOpen());
  const std::string longText(3000, 'z');  // longer than any line buffer
  EXPECT_EQ(Report("\t\t\t%s\n", "Z E R V G E N   R E P O R T"), 31);
  EXPECT_EQ(Report("Rows: %ld.\n", 500L), 11);
  EXPECT_EQ(Report("Fill: %d character%s.\n", 1, ""), 19);
  EXPECT_EQ(Report("%s", ""), 0);
  EXPECT_EQ(Report("%s|\n", longText.c_str()), 3002);
  Report_CloseFile();
  EXPECT_FALSE(Report_IsOpen());
  EXPECT_EQ(ReadText(path), "\t\t\tZ E R V G E N   R E P O R T\nRows: 500.\nFill: 1 character.\n" +
                                longText + "|\n");
  EXPECT_EQ(::unlink(path.c_str()), 0);
}

TEST_F(ReportTest, CloseTwiceIsHarmlessAndAReportCanFollow) {
  const std::string first = Path("a.rpt");
  const std::string second = Path("b.rpt");
  Report_OpenFile(first.c_str());
  EXPECT_EQ(Report("one\n"), 4);
  Report_CloseFile();
  Report_CloseFile();
  EXPECT_EQ(Report("lost\n"), 0);
  Report_OpenFile(second.c_str());
  EXPECT_EQ(Report("two\n"), 4);
  Report_CloseFile();
  EXPECT_EQ(ReadText(first), "one\n");
  EXPECT_EQ(ReadText(second), "two\n");
}

TEST_F(ReportTest, SecondOpenIsARequirementFailure) {
  const std::string first = Path("a.rpt");
  const std::string second = Path("b.rpt");
  Report_OpenFile(first.c_str());
  Outcome o = UnderHandler([&] { Report_OpenFile(second.c_str()); });
  EXPECT_EQ(o.cls, XEPT_REQUIREMENT);
  EXPECT_TRUE(std::regex_match(
      o.out, std::regex(InReport("Report_OpenFile", "Failed requirement: '! Report_initialized'") +
                        InReport("Report_OpenFile", "Raised exception of class '2'"))))
      << o.out;
  EXPECT_FALSE(Exists(second));
  EXPECT_EQ(Report("still open\n"), 11);
  Report_CloseFile();
  EXPECT_EQ(ReadText(first), "still open\n");
}

TEST_F(ReportTest, NullArgumentsAreRequirementFailures) {
  struct Case {
    const char* name;
    bool open;  // a report is open at the call
    std::function<void()> call;
    const char* func;
    const char* text;
  };
  const char* volatile noFormat = nullptr;
  const Case cases[] = {
      {"null path", false, [] { Report_OpenFile(nullptr); }, "Report_OpenFile", "path != NULL"},
      {"null format, no report", false, [&] { Report(noFormat); }, "Report", "format != NULL"},
      {"null format, report open", true, [&] { Report(noFormat); }, "Report", "format != NULL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path(std::string(c.name) + ".rpt");
    if (c.open) Report_OpenFile(path.c_str());
    Outcome o = UnderHandler(c.call);
    Report_CloseFile();
    EXPECT_EQ(o.cls, XEPT_REQUIREMENT);
    const std::string pattern =
        InReport(c.func, std::string("Failed requirement: '") + c.text + "'") +
        InReport(c.func, "Raised exception of class '2'");
    EXPECT_TRUE(std::regex_match(o.out, std::regex(pattern))) << o.out;
    if (c.open) {
      EXPECT_EQ(ReadText(path), "");
    }
  }
}

// A report that cannot be created is told on standard error and leaves the
// run without a report; nothing is raised.
TEST_F(ReportTest, ReportThatCannotBeCreated) {
  const std::string existing = Path("x.rpt");
  WriteText(existing, "keep me\n");
  WriteText(Path("plain"), "");
  struct Case {
    std::string path;
    std::string reason;
    std::string system;  // what the system said, where the reason is general
  };
  const Case cases[] = {
      {existing, "File already exists", ""},
      {Path("missing/x.rpt"), "Could not open file", "No such file or directory"},
      {Path("plain/x.rpt"), "Could not open file", "Not a directory"},
      {Path(std::string(256, 'n')), "Could not open file", "File name too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    testing::internal::CaptureStderr();
    Outcome o = UnderHandler([&] { Report_OpenFile(c.path.c_str()); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zervgen: " + c.reason + ".\nReport file, '" + c.path + "', not generated.\n" +
                  (c.system.empty() ? "" : "\tThe system says \"" + c.system + "\".\n"));
    EXPECT_EQ(o.cls, -1);
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(Report_IsOpen());
    EXPECT_EQ(Report("line\n"), 0);
  }
  EXPECT_EQ(ReadText(existing), "keep me\n");
}

// A write that fails (here: the report's descriptor now points at a full
// device, or at one open for reading only) is told on standard error with
// its reason and raises class 6 after the class line.
TEST_F(ReportTest, WriteFailureRaisesClassSixWithItsReason) {
  struct Case {
    const char* device;
    int flags;
    const char* reason;
  };
  const Case cases[] = {
      {"/dev/full", O_WRONLY, "zervgen: File system full.\n"},
      {"/dev/null", O_RDONLY, "zervgen: Write error: \"Bad file descriptor\".\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    const std::string path = Path(std::string("x.rpt") + (c.flags == O_RDONLY ? "1" : "2"));
    Report_OpenFile(path.c_str());
    ASSERT_EQ(Report("first\n"), 6);
    EXPECT_FALSE(Report_WriteFailed());
    const int fd = DescriptorOf(path);
    ASSERT_GE(fd, 0);
    const int device = ::open(c.device, c.flags);
    ASSERT_GE(device, 0);
    ASSERT_EQ(::dup2(device, fd), fd);
    ::close(device);
    testing::internal::CaptureStderr();
    Outcome o = UnderHandler([] { Report("second\n"); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("zervgen: Report file error.\n") + c.reason);
    EXPECT_EQ(o.cls, XEPT_RESOURCE);
    EXPECT_TRUE(Report_WriteFailed());
    EXPECT_FALSE(Report_IsOpen());
    EXPECT_TRUE(
        std::regex_match(o.out, std::regex(InReport("Report", "Raised exception of class '6'"))))
        << o.out;
    Report_CloseFile();
    EXPECT_EQ(ReadText(path), "first\n");
  }
}

// The close at the end of a run: one that succeeds keeps every line and
// raises nothing; one that fails (here the descriptor was closed behind
// the report's back) is told and raised like a failed write.
TEST_F(ReportTest, FinishTellsAFailedCloseLikeAFailedWrite) {
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "close fails" : "close succeeds");
    const std::string path = Path(fails ? "fail.rpt" : "ok.rpt");
    Report_OpenFile(path.c_str());
    ASSERT_EQ(Report("last\n"), 5);
    const int fd = DescriptorOf(path);
    // Closed under the harness, after its captures: the files they open
    // would otherwise take the freed number.
    const Outcome o = zervgen_test::CatchRaise(
        [&] {
          if (fails) ::close(fd);
          Report_Finish();
        },
        true);
    const std::string& err = o.err;
    EXPECT_GE(fd, 0);
    EXPECT_FALSE(Report_IsOpen());
    EXPECT_EQ(ReadText(path), "last\n");
    EXPECT_EQ(Report_WriteFailed(), fails);
    if (!fails) {
      EXPECT_EQ(o.cls, -1);
      EXPECT_EQ(err, "");
      EXPECT_EQ(DescriptorOf(path), -1) << "the report is still open";
      continue;
    }
    EXPECT_EQ(err, "zervgen: Report file error.\nzervgen: Write error: \"Bad file descriptor\".\n");
    EXPECT_EQ(o.cls, XEPT_RESOURCE);
    EXPECT_TRUE(std::regex_match(
        o.out, std::regex(InReport("Report_Finish", "Raised exception of class '6'"))))
        << o.out;
  }
}

}  // namespace
}  // namespace zervgen
