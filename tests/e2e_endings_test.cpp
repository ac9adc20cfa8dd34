// End-to-end endings at the edges of a run: standard output that carries
// nothing but rows from the moment the command line is read, the delimiter
// rule over every ASCII character, closed standard descriptors, and a
// report named like a file the run writes, and the longest names a run
// makes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "relations.h"

namespace zervgen_test {
namespace {

std::string Printable(char c) {
  if (c >= 0x20 && c < 0x7f) return std::string("'") + c + "'";
  return "\\x" + std::to_string(static_cast<int>(c));
}

// The lines of `text`, without their line ends; a last line without one
// counts too.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

std::size_t Fields(const std::string& line, char delim) {
  return static_cast<std::size_t>(std::count(line.begin(), line.end(), delim)) + 1;
}

// ---------------------------------------------------------------------------
// A relation to standard output: set-up failures before the relation is
// opened leave standard output empty; their lines go to standard error.

TEST(StandardOutput, SetUpFailuresLeaveItEmpty) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  struct Case {
    const char* name;
    long long addressSpaceKb;
    std::vector<std::string> more;  // after -hu -n kAllTempRows -f -
    std::string message;
  };
  const Case cases[] = {
      // The key column needs a temporary file, in a folder that is not there.
      {"temporary folder missing",
       kAllTempLimitKb,
       {"-t", "nodir"},
       "zervgen: Temporary file error: \"Could not open temporary file\".\n"
       "\tThe system says \"No such file or directory\".\n"},
      // Not even the shared scratch vector fits.
      {"no memory for the columns", 40000, {}, "zervgen: Out of memory.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    std::vector<std::string> args = {"-hu", "-n", std::to_string(kAllTempRows), "-f", "-"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    RunOptions options;
    options.addressSpaceKb = c.addressSpaceKb;
    RunResult r = RunZervgen(dir.path(), args, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    const std::string err = AfterBanner(r.err);
    ASSERT_EQ(err.substr(0, c.message.size()), c.message) << err;
    EXPECT_TRUE(IsClassLine(err.substr(c.message.size()), "Gen_InitializeCB", 32)) << err;
    EXPECT_TRUE(dir.List().empty());
  }
}

// ---------------------------------------------------------------------------
// The delimiter rule over every ASCII character: a refused one gives its
// message and status 255 and creates nothing; with an accepted one every row
// of every relation splits into its fields, fixed texts included.

TEST(Delimiter, EveryAsciiCharacterIsRefusedOrSplitsEveryRow) {
  struct Relation {
    std::string file;
    std::size_t fields;  // with the fill column
  };
  std::vector<Relation> relations;
  for (const TestRelation& r : kTestRelations) {
    relations.push_back({"zerv." + std::string(r.suffix), r.oneRow ? 1u : 11u});
  }
  // Sanitized builds split 200 rows a relation (each relation's fixed
  // texts show within the first 100), the plain build 1000.
#ifdef ZERVGEN_SANITIZED
  constexpr std::size_t kRows = 200;
#else
  constexpr std::size_t kRows = 1000;
#endif
  int accepted = 0;
  int refused = 0;
  for (int code = 1; code < 128; ++code) {
    const char c = static_cast<char>(code);
    SCOPED_TRACE("-dc " + Printable(c));
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(),
                             {"-n", std::to_string(kRows), "-fc", "30", "-dc", std::string(1, c)});
    const std::string refusal = DelimiterRefusal(c);
    if (!refusal.empty()) {
      ++refused;
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(AfterBanner(r.err), refusal);
      EXPECT_TRUE(dir.List().empty());
      continue;
    }
    ++accepted;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AfterBanner(r.err), "");
    for (const Relation& rel : relations) {
      const std::vector<std::string> rows = Lines(ReadFile(dir.File(rel.file)));
      ASSERT_EQ(rows.size(), rel.fields == 1 ? 1u : kRows) << rel.file;
      std::size_t fixed = 0;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(Fields(rows[i], c), rel.fields)
            << rel.file << " row " << i + 1 << ": " << rows[i];
        for (const char* text : kFixedTexts) fixed += rows[i].find(text) != std::string::npos;
      }
      if (rel.fields > 1) {
        EXPECT_GT(fixed, 0u) << rel.file << ": no row shows a fixed text";
      }
    }
  }
  // Blank, '+', 17 letters, 10 digits, '-', '.', '/' and the two line ends.
  EXPECT_EQ(refused, 34);
  EXPECT_EQ(accepted, 127 - 34);
}

// ---------------------------------------------------------------------------
// Closed standard descriptors: no file the run creates takes 0, 1 or 2.
// Rows meant for a closed standard output fail as a write error; messages
// meant for a closed standard error go nowhere, never into the report.

bool IsReport(const std::string& text) {
  return text.rfind("\t\t\tZ E R V G E N   R E P O R T\n", 0) == 0;
}

TEST(ClosedDescriptor, NoFileOfTheRunTakesItsNumber) {
  ScratchDir refDir;
  const RunResult ref = RunZervgen(refDir.path(), {"-hu", "-n", "1000", "-f", "-"});
  ASSERT_EQ(ref.status, 0);
  const std::string rows = ref.out;
  const std::string firstRow = rows.substr(0, rows.find('\n') + 1);
  const std::string badFd = "zervgen: Write error: \"Bad file descriptor\".\n";
  for (int fd : {0, 1, 2}) {
    for (bool toStdout : {true, false}) {
      for (bool report : {false, true}) {
        SCOPED_TRACE("descriptor " + std::to_string(fd) + " closed, -f " + (toStdout ? "-" : "h") +
                     (report ? " -r rpt" : ""));
        ScratchDir dir;
        std::vector<std::string> args = {"-hu", "-n", "1000", "-f", toStdout ? "-" : "h"};
        if (report) args.insert(args.end(), {"-r", "rpt"});
        RunOptions options;
        options.closedDescriptors = {fd};
        const RunResult r = RunZervgen(dir.path(), args, options);
        std::vector<std::string> files;
        if (!toStdout) files.push_back("h");
        if (report) files.push_back("rpt");
        const std::string rpt = ReadFile(dir.File("rpt"));
        if (report) {
          EXPECT_TRUE(IsReport(rpt)) << rpt.substr(0, 200);
          EXPECT_EQ(rpt.find(firstRow), std::string::npos) << "rows in the report";
          EXPECT_EQ(rpt.find("zervgen"), rpt.find("zervgen -hu")) << "a message in the report";
        }
        if (fd == 1 && toStdout) {
          // Rows for a closed standard output: a write error, as without -r.
          EXPECT_EQ(r.status, 255);
          const std::string err = AfterBanner(r.err);
          ASSERT_EQ(err.substr(0, badFd.size()), badFd) << err;
          EXPECT_TRUE(IsClassLine(err.substr(badFd.size()), "Gen_outputRelation", 33)) << err;
          if (report) {
            EXPECT_NE(rpt.find("\n*** Error: Write error while writing tuple #"), std::string::npos)
                << rpt;
          }
          EXPECT_EQ(dir.List(), files);
          continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fd == 2 ? r.err : AfterBanner(r.err), "");
        EXPECT_EQ(fd == 1 ? "" : r.out, toStdout ? rows : "");
        if (!toStdout) {
          EXPECT_TRUE(ReadFile(dir.File("h")) == rows) << "the relation differs";
        }
        EXPECT_EQ(dir.List(), files);
      }
    }
  }
}

// A run that fails with standard error closed: its messages go nowhere, its
// report has only its own lines, and the existing file stays as it was.
TEST(ClosedDescriptor, MessagesForAClosedStandardErrorStayOutOfTheReport) {
  ScratchDir dir;
  WriteFile(dir.File("h"), "someone else's\n");
  RunOptions options;
  options.closedDescriptors = {2};
  const RunResult r =
      RunZervgen(dir.path(), {"-hu", "-n", "1000", "-f", "h", "-r", "rpt"}, options);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "");
  const std::string rpt = ReadFile(dir.File("rpt"));
  EXPECT_TRUE(IsReport(rpt)) << rpt;
  EXPECT_TRUE(rpt.size() > 0 && rpt.find("Could not open") == std::string::npos) << rpt;
  EXPECT_NE(rpt.find("*** Error: Could not create relation hundred file, 'h'."), std::string::npos)
      << rpt;
  EXPECT_EQ(ReadFile(dir.File("h")), "someone else's\n");
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"h", "rpt"}));
}

// ---------------------------------------------------------------------------
// A report named like a file the run writes, by another path to it: refused
// before anything is created. Another file of the same name is not refused.

TEST(ReportName, AnotherPathToARelationFileIsRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string report;
    bool refused;
  };
  const Case cases[] = {
      {{"-hu", "-f", "sub/h"}, "sub/../sub/h", true},
      {{"-hu", "-f", "sub/h"}, "link/h", true},  // a folder by a symbolic link
      {{"-hu", "-f", "sub/h"}, "sub//h", true},
      {{"-hu", "-f", "old"}, "hard", true},  // an existing file by a hard link
      {{"-hu", "-f", "sub/h"}, "h", false},  // the same name, another folder
      {{"-hu", "-parts", "3", "-part", "2"}, "zerv.hun.1", false},  // a part not written
      {{"-hu", "-f", "-"}, "-", false},                             // rows to standard output
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("-r " + c.report);
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("sub", dir.File("link").c_str()), 0);
    WriteFile(dir.File("old"), "kept\n");
    ASSERT_EQ(::link(dir.File("old").c_str(), dir.File("hard").c_str()), 0);
    const std::vector<std::string> before = dir.List();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-n", "300", "-r", c.report});
    const RunResult r = RunZervgen(dir.path(), args);
    if (c.refused) {
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(AfterBanner(r.err), "zervgen: Option, \"-r\", cannot be '" + c.report +
                                        "': a relation is written to that file.\n");
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(dir.List(), before);
      EXPECT_TRUE(ScratchDir::ListOf(dir.File("sub")).empty());
      EXPECT_EQ(ReadFile(dir.File("old")), "kept\n");
      continue;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AfterBanner(r.err), "");
    EXPECT_TRUE(IsReport(ReadFile(dir.File(c.report))));
  }
}

// ---------------------------------------------------------------------------
// A temporary folder that can never take a file is refused with the early
// checks, before any column is set up, however much memory there is; a
// folder that is not there is left to the moment a file is needed.

TEST(TemporaryFolder, OneThatCanNeverTakeAFileIsRefusedBeforeAnyWork) {
  struct Case {
    const char* what;
    std::string tmp;
    const char* system;  // empty: the run succeeds
  };
  const Case cases[] = {
      {"a file", "plain", "Not a directory"},
      {"through a file", "plain/sub", "Not a directory"},
      {"a name of 256 characters", std::string(256, 'n'), "File name too long"},
      {"a folder not there, columns in memory", "nodir", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    WriteFile(dir.File("plain"), "a file, not a folder\n");
    const RunResult r =
        RunZervgen(dir.path(), {"-hu", "-n", "1000", "-f", "h", "-r", "rpt", "-t", c.tmp});
    const std::string report = ReadFile(dir.File("rpt"));
    if (c.system[0] == '\0') {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(dir.List(), (std::vector<std::string>{"h", "plain", "rpt"}));
      continue;
    }
    const std::string system = "\tThe system says \"" + std::string(c.system) + "\".\n";
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(AfterBanner(r.err),
              "zervgen: Temporary file error: \"Could not open temporary file\".\n" + system);
    EXPECT_TRUE(IsClassLine(r.out, "Gen_CheckTempFolder", 32)) << r.out;
    EXPECT_TRUE(EndsWith(report, "*** Error: The temporary file, \"" + c.tmp +
                                     "/key.tmp\", could not be created.\n\tThe reason given is: "
                                     "\"Could not open temporary file\".\n" +
                                     system))
        << report;
    EXPECT_EQ(report.find("Relation:"), std::string::npos) << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"plain", "rpt"}));
    EXPECT_EQ(ReadFile(dir.File("plain")), "a file, not a folder\n");
  }
}

// ---------------------------------------------------------------------------
// A report whose close fails (injected by strace where it can trace) may
// have lost its last lines: the run ends as after a failed report write,
// with its message and status 255, not with 0 and no word.

// The number (1-based) of the report's close among the closes of the traced
// run's first process in `trace` (strace -f -y -o), or 0 when there is none.
int ReportCloseIndex(const std::string& trace, const std::string& report) {
  std::string pid;
  int count = 0;
  int found = 0;
  for (const std::string& line : Lines(trace)) {
    const std::string linePid = line.substr(0, line.find(' '));
    if (pid.empty()) pid = linePid;
    if (linePid != pid || line.find(" close(") == std::string::npos) continue;
    ++count;
    if (line.find("/" + report + ">)") != std::string::npos) found = count;
  }
  return found;
}

TEST(ReportClose, AFailedCloseEndsTheRunLikeAFailedWrite) {
  ScratchDir probe;
  if (RunScript(probe.path(), "strace -qq -o /dev/null true", kDeadlineSeconds).status != 0) {
    GTEST_SKIP() << "strace cannot trace here";
  }
  // Started as "zervgen", from a folder of its own on the path.
  ScratchDir bin;
  ASSERT_EQ(::symlink(BinaryPath().c_str(), bin.File("zervgen").c_str()), 0);
  const std::string run = "zervgen -hu -n 3000 -parquet -rowgroup 1000 -f h.parquet -r rep " +
                          std::string("2>err >out; echo $?");
  // The leak checker of a sanitized build cannot run under a tracer.
  const std::string strace = "PATH=\"" + std::string(bin.path()) +
                             ":$PATH\" ASAN_OPTIONS=detect_leaks=0 strace -f -y -qq -o trace ";
  ScratchDir counted;
  const RunResult first =
      RunScript(counted.path(), strace + "-e trace=close -- " + run, kDeadlineSeconds);
  ASSERT_EQ(first.out, "0\n") << ReadFile(counted.File("err"));
  const int index = ReportCloseIndex(ReadFile(counted.File("trace")), "rep");
  ASSERT_GT(index, 0) << ReadFile(counted.File("trace"));

  ScratchDir dir;
  const RunResult r =
      RunScript(dir.path(),
                strace + "-e trace=close -e inject=close:error=EIO:when=" + std::to_string(index) +
                    " -- " + run,
                kDeadlineSeconds);
  const std::string trace = ReadFile(dir.File("trace"));
  ASSERT_NE(trace.find("/rep>) = -1 EIO (Input/output error) (INJECTED)"), std::string::npos)
      << trace;
  EXPECT_EQ(r.out, "255\n");
  EXPECT_EQ(AfterBanner(ReadFile(dir.File("err"))),
            "zervgen: Report file error.\nzervgen: Write error: \"Input/output error\".\n");
  EXPECT_TRUE(IsClassLine(ReadFile(dir.File("out")), "Report_Finish", 6))
      << ReadFile(dir.File("out"));
  // The relation was complete before the report's end: it stays, whole.
  EXPECT_TRUE(ReadFile(dir.File("h.parquet")) == ReadFile(counted.File("h.parquet")));
}

// ---------------------------------------------------------------------------
// The longest names the options let a run make (a prefix of 513 characters
// with a Parquet ending, a part file's name of 527): a run that fails part
// way removes its partial file and names it whole in the report, after a
// file-size limit and after a signal alike.

// Makes two folders of 250 characters in `dir` and returns a relative name
// of `length` characters in the inner one.
std::string LongName(const ScratchDir& dir, std::size_t length) {
  const std::string outer(250, 'a');
  const std::string inner = outer + "/" + std::string(250, 'b');
  ::mkdir(dir.File(outer).c_str(), 0755);
  ::mkdir(dir.File(inner).c_str(), 0755);
  return inner + "/" + std::string(length - inner.size() - 1, 'p');
}

struct LongNameCase {
  const char* what;
  std::size_t prefix;             // characters of the -f value
  std::vector<std::string> more;  // after -f and -r
  const char* written;            // the ending of the file being written
  std::size_t writtenLength;      // the characters of its name
};

const LongNameCase kLongNameCases[] = {
    {"text", 513, {}, ".uni", 517},
    {"text part", 512, {"-parts", "10", "-part", "10"}, ".uni.10", 519},
    {"Parquet", 513, {"-parquet", "-rowgroup", "1000"}, ".uni.parquet", 525},
    {"Parquet part",
     512,
     {"-parquet", "-rowgroup", "1000", "-parts", "10", "-part", "10"},
     ".uni.10.parquet",
     527},
};

TEST(LongNames, AFileSizeLimitRemovesThePartialFileByItsWholeName) {
  for (const LongNameCase& c : kLongNameCases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string prefix = LongName(dir, c.prefix);
    const std::string written = prefix + c.written;
    ASSERT_EQ(written.size(), c.writtenLength);
    std::vector<std::string> args = {"-n", "200000", "-f", prefix, "-r", "rep"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    RunOptions options;
    options.fileSizeBytes = 200 * 1024;
    const RunResult r = RunZervgen(dir.path(), args, options);
    EXPECT_EQ(r.status, 255);
    const std::string err = AfterBanner(r.err);
    EXPECT_EQ(err.rfind("zervgen: File system full.\n", 0), 0u) << err;
    const std::string report = ReadFile(dir.File("rep"));
    EXPECT_TRUE(EndsWith(report, "           File, '" + written + "', deleted.\n")) << report;
    EXPECT_FALSE(FileExists(dir.File(written)));
    EXPECT_TRUE(ScratchDir::ListOf(dir.File(prefix.substr(0, 501))).empty());
  }
}

TEST(LongNames, ASignalRemovesThePartialFileByItsWholeName) {
  for (const LongNameCase& c : kLongNameCases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string prefix = LongName(dir, c.prefix);
    const std::string written = prefix + c.written;
    std::vector<std::string> args = {"-n", std::to_string(kBigRows), "-f", prefix, "-r", "rep"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    ZervgenProcess run(dir.path(), args);
    ASSERT_TRUE(WaitUntil([&] { return run.Wait(0) || FileSize(dir.File(written)) > 0; },
                          kDeadlineSeconds));
    ASSERT_TRUE(run.Pause()) << run.result().err;
    ASSERT_TRUE(run.Signal(SIGTERM));
    ASSERT_TRUE(run.Wait(kDeadlineSeconds));
    EXPECT_EQ(run.result().status, 255);
    EXPECT_EQ(AfterBanner(run.result().err), "zervgen: Terminated by user.\n");
    const std::string report = ReadFile(dir.File("rep"));
    EXPECT_TRUE(EndsWith(report, "*** Error: Caught termination signal " + std::to_string(SIGTERM) +
                                     ".\n           File, '" + written + "', deleted.\n"))
        << report;
    EXPECT_TRUE(ScratchDir::ListOf(dir.File(prefix.substr(0, 501))).empty());
  }
}

}  // namespace
}  // namespace zervgen_test
