// End-to-end failures of the surroundings: a reader that closes the pipe
// early, a temporary folder that cannot take files, a temporary file left by
// a killed run, and a temporary file cut short under a running relation.
// Columns are forced into temporary files with an address-space limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace zervgen_test {
namespace {

std::string FirstLine(const std::string& text) {
  std::size_t nl = text.find('\n');
  return nl == std::string::npos ? "" : text.substr(0, nl + 1);
}

// ---------------------------------------------------------------------------
// A closed pipe.

struct PipeCase {
  const char* name;
  long long addressSpaceKb;  // 0: no limit
};

// 5000000 rows are 19 MiB a column: under 36000 KiB the scratch vector fits
// and no second column does (measured: "Out of memory" below about 25000,
// the key column in memory above about 45000).
const PipeCase kPipeCases[] = {
    {"columns in memory", 0},
#ifndef ZERVGEN_SANITIZED
    {"columns in temporary files", 36000},
#endif
};

// `zervgen -hu -n 5000000 -f - | head -1`: the run ends as soon as the reader
// is gone, with status 255 and nothing on standard error after the banner;
// head got one whole row, the same first row that a run into a file of
// limited size writes; the report names the row; no temporary file stays.
TEST(Hardening, ClosedPipeEndsTheRunQuietly) {
  ScratchDir refDir;
  RunOptions limited;
  limited.stdoutFile = refDir.File("out");
  limited.fileSizeBytes = 65536;
  RunResult ref = RunZervgen(refDir.path(), {"-hu", "-n", "5000000", "-f", "-"}, limited);
  ASSERT_EQ(ref.status, 255);
  // Standard output carries the data: the class line is on standard error.
  const std::string full = "zervgen: File system full.\n";
  ASSERT_EQ(AfterBanner(ref.err).substr(0, full.size()), full);
  ASSERT_TRUE(IsClassLine(AfterBanner(ref.err).substr(full.size()), "Gen_outputRelation", 33))
      << ref.err;
  const std::string firstRow = FirstLine(ReadFile(refDir.File("out")));
  ASSERT_FALSE(firstRow.empty());

  for (const PipeCase& c : kPipeCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    const std::string limit =
        c.addressSpaceKb > 0 ? "ulimit -v " + std::to_string(c.addressSpaceKb) + "; " : "";
    const std::string script = "(" + limit +
                               "exec -a zervgen \"$ZERVGEN\" -hu -n 5000000 -f - -r rpt -t tmp "
                               "2>err) | head -1 >row; echo \"${PIPESTATUS[0]} ${PIPESTATUS[1]}\"";
    bool timedOut = false;
    RunResult r = RunScript(dir.path(), script, kDeadlineSeconds, &timedOut);
    ASSERT_FALSE(timedOut) << "the writer did not end after its reader had gone";
    EXPECT_EQ(r.out, "255 0\n") << "statuses of zervgen and head; stderr: " << r.err;
    const std::string err = ReadFile(dir.File("err"));
    EXPECT_EQ(err.rfind("zervgen - ", 0), 0u) << err;
    EXPECT_EQ(AfterBanner(err), "");
    EXPECT_EQ(ReadFile(dir.File("row")), firstRow);
    const std::string report = ReadFile(dir.File("rpt"));
    const std::string closed = "\n*** Error: Output closed by its reader while writing tuple #";
    const std::string total = " of 5000000.\n";
    const std::size_t at = report.rfind(closed);
    ASSERT_NE(at, std::string::npos) << report;
    ASSERT_TRUE(EndsWith(report, total)) << report;
    const std::string row =
        report.substr(at + closed.size(), report.size() - total.size() - at - closed.size());
    ASSERT_FALSE(row.empty());
    ASSERT_EQ(row.find_first_not_of("0123456789"), std::string::npos) << report;
    EXPECT_GE(std::stol(row), 1) << "head read a whole row";
    EXPECT_LT(std::stol(row), 5000000);
    EXPECT_EQ(report.find("No disk space"), std::string::npos) << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"err", "row", "rpt", "tmp"}));
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
  }
}

// The tuple number that follows `lead` in the report, or -1.
long TupleAfter(const std::string& report, const std::string& lead) {
  const std::size_t at = report.rfind(lead);
  if (at == std::string::npos) return -1;
  const std::string digits = report.substr(at + lead.size());
  return digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0])) ? -1
                                                                                : std::stol(digits);
}

// A Parquet file ends as text does when its writes fail: on a full device
// (standard output to /dev/full, a file-size limit) with "File system
// full" and no file left, and on a closed pipe quietly. A row group is
// written whole or not at all, so the tuple reported starts one.
TEST(Hardening, ParquetEndsAFullDiskAndAClosedPipeAsTextDoes) {
  const std::string parquet = "-hu -n 100000 -parquet -rowgroup 1000 -r rpt";
  struct Case {
    const char* name;
    std::string script;
    const char* statuses;  // of zervgen (and head)
    std::string err;       // after the banner; class line aside
    const char* lead;      // of the tuple number in the report
  } cases[] = {
      {"/dev/full", "(exec -a zervgen \"$ZERVGEN\" " + parquet + " -f - >/dev/full 2>err); echo $?",
       "255\n", "zervgen: File system full.\n", "*** Error: No disk space while writing tuple #"},
      {"ulimit -f 64",
       "(ulimit -f 64; exec -a zervgen \"$ZERVGEN\" " + parquet + " 2>err); echo $?", "255\n",
       "zervgen: File system full.\n", "*** Error: No disk space while writing tuple #"},
      // Row groups of about 1.4 MB leave in several writes each: the limit
      // stops the second in its middle, after one of its writes went out.
      {"ulimit -f 2048, a row group in several writes",
       "(ulimit -f 2048; exec -a zervgen \"$ZERVGEN\" -hu -n 200000 -parquet -rowgroup 50000 "
       "-r rpt 2>err); echo $?",
       "255\n", "zervgen: File system full.\n", "*** Error: No disk space while writing tuple #"},
      {"closed pipe",
       "(exec -a zervgen \"$ZERVGEN\" " + parquet +
           " -f - 2>err) | head -c 4 >magic; "
           "echo \"${PIPESTATUS[0]} ${PIPESTATUS[1]}\"",
       "255 0\n", "", "*** Error: Output closed by its reader while writing tuple #"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    bool timedOut = false;
    RunResult r = RunScript(dir.path(), c.script, kDeadlineSeconds, &timedOut);
    ASSERT_FALSE(timedOut);
    // A relation file's class line goes to standard output, before the statuses.
    EXPECT_TRUE(EndsWith(r.out, c.statuses)) << r.out << r.err;
    const std::string err = AfterBanner(ReadFile(dir.File("err")));
    if (c.err.empty()) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(ReadFile(dir.File("magic")), "PAR1");
    } else {
      ASSERT_EQ(err.substr(0, c.err.size()), c.err) << err;
    }
    const std::string report = ReadFile(dir.File("rpt"));
    const long tuple = TupleAfter(report, c.lead);
    EXPECT_GE(tuple, 0) << report;
    EXPECT_LT(tuple, 100000) << report;
    EXPECT_EQ(tuple % 1000, 0) << report;
    std::vector<std::string> left = {"err", "rpt"};
    if (c.err.empty()) left.insert(left.begin() + 1, "magic");
    EXPECT_EQ(dir.List(), left) << report;
  }
}

// ---------------------------------------------------------------------------
// Temporary folders that take no file. Under kAllTempLimitKb the key column
// is the first to need a file, and the run fails while setting up the
// columns, before any value is generated.

struct TempFolderCase {
  const char* name;
  const char* tmp;     // the -t argument
  const char* reason;  // as the messages give it
  const char* system;  // what the system said, where the reason is general
  bool readOnly;       // create "ro" without write permission
};

const TempFolderCase kTempFolderCases[] = {
    {"missing folder", "nodir", "Could not open temporary file", "No such file or directory",
     false},
    {"under a regular file", "plain/sub", "Could not open temporary file", "Not a directory",
     false},
    {"a regular file", "plain", "Could not open temporary file", "Not a directory", false},
    {"read-only folder", "ro", "Permission denied", "", true},
};

// The line of what the system said, or none.
std::string SystemLine(const char* system) {
  return system[0] == '\0' ? "" : "\tThe system says \"" + std::string(system) + "\".\n";
}

TEST(Hardening, TemporaryFolderThatTakesNoFileFailsSafe) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  ScratchDir binDir;
  for (const TempFolderCase& c : kTempFolderCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    WriteFile(dir.File("plain"), "a file, not a folder\n");
    std::vector<std::string> expected = {"plain", "rpt"};
    RunOptions options;
    options.addressSpaceKb = kAllTempLimitKb;
    if (c.readOnly) {
      ASSERT_EQ(::mkdir(dir.File("ro").c_str(), 0555), 0);
      expected = {"plain", "ro", "rpt"};
      ASSERT_TRUE(RunAsNobodyIfRoot(dir, binDir, &options));
    }
    RunResult r = RunZervgen(
        dir.path(), {"-hu", "-n", std::to_string(kAllTempRows), "-r", "rpt", "-t", c.tmp}, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(AfterBanner(r.err), "zervgen: Temporary file error: \"" + std::string(c.reason) +
                                      "\".\n" + SystemLine(c.system));
    EXPECT_TRUE(EndsWith(r.out, "\nRaised exception of class '32'\n")) << r.out;
    const std::string report = ReadFile(dir.File("rpt"));
    EXPECT_TRUE(EndsWith(report, "*** Error: The temporary file, \"" + std::string(c.tmp) +
                                     "/key.tmp\", could not be created.\n\tThe reason given "
                                     "is: \"" +
                                     c.reason + "\".\n" + SystemLine(c.system)))
        << report;
    EXPECT_EQ(dir.List(), expected);
    EXPECT_EQ(ReadFile(dir.File("plain")), "a file, not a folder\n");
    if (c.readOnly) {
      EXPECT_EQ(ScratchDir::ListOf(dir.File("ro")), std::vector<std::string>{});
    }
  }
}

// ---------------------------------------------------------------------------
// A key.tmp left in the temporary folder by a run that was killed.

struct LeftoverCase {
  const char* name;
  int rows;
  long long addressSpaceKb;
  int status;
};

const LeftoverCase kLeftoverCases[] = {
#ifndef ZERVGEN_SANITIZED
    // The key column needs its file: the run stops at "File already exists".
    {"key column in a file", kAllTempRows, kAllTempLimitKb, 255},
#endif
    // The key column fits in memory: the leftover is never looked at.
    {"key column in memory", 1000, 0, 0},
};

TEST(Hardening, LeftoverKeyFileIsNeitherUsedNorRemoved) {
  const std::string leftover("\x01\x00\x00\x00leftover of a killed run\xff", 29);
  for (const LeftoverCase& c : kLeftoverCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    const std::string key = dir.File("tmp/key.tmp");
    WriteFile(key, leftover);
    const struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(key.c_str(), old), 0);
    RunOptions options;
    options.addressSpaceKb = c.addressSpaceKb;
    RunResult r = RunZervgen(
        dir.path(), {"-hu", "-n", std::to_string(c.rows), "-r", "rpt", "-t", "tmp"}, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{"key.tmp"});
    EXPECT_EQ(ReadFile(key), leftover);
    struct stat st {};
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    const std::string report = ReadFile(dir.File("rpt"));
    if (c.status == 0) {
      EXPECT_EQ(AfterBanner(r.err), "");
      EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp", "zerv.hun"}));
      continue;
    }
    EXPECT_EQ(AfterBanner(r.err), "zervgen: Temporary file error: \"File already exists\".\n");
    EXPECT_TRUE(EndsWith(report,
                         "*** Error: The temporary file, \"tmp/key.tmp\", could not be "
                         "created.\n\tThe reason given is: \"File already exists\".\n"))
        << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"}));
  }
}

// ---------------------------------------------------------------------------
// Memory that runs out after the relation file has been created: the
// columns take what they can get, and the writer may then find too little
// for its own buffers. Every limit of the ladder either writes the whole
// relation or fails with "Out of memory" and leaves no relation file, empty
// or partial, behind.
TEST(Hardening, MemoryRunningOutWhileWritingLeavesNoRelationFile) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  const std::vector<std::string> args = {"-hu", "-n",  "200000", "-f", "out.hun",
                                         "-r",  "rpt", "-t",     "tmp"};
  ScratchDir refDir;
  ASSERT_EQ(::mkdir(refDir.File("tmp").c_str(), 0700), 0);
  ASSERT_EQ(RunZervgen(refDir.path(), args).status, 0);
  const std::string reference = ReadFile(refDir.File("out.hun"));
  // Measured: from about 6000 KiB the run starts; up to about 14000 the
  // columns leave the writer short.
  for (long long limit = 8000; limit <= 14000; limit += 1000) {
    SCOPED_TRACE("ulimit -v " + std::to_string(limit));
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    RunOptions options;
    options.addressSpaceKb = limit;
    RunResult r = RunZervgen(dir.path(), args, options);
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
    if (r.status == 0) {
      EXPECT_TRUE(ReadFile(dir.File("out.hun")) == reference) << "the relation differs";
      continue;
    }
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(AfterBanner(r.err), "zervgen: Out of memory.\n");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"})) << "report:\n"
                                                                    << ReadFile(dir.File("rpt"));
  }
}

// The least address-space limit, in steps of 100 KiB, under which the
// smallest run there is (a thousand rows of text) succeeds. Below it the
// program cannot work at all: the loader fails, or the C++ runtime starts
// without the memory it keeps for raising and ends the process with
// "terminate called" before the program can say "Out of memory". The
// start-up is the same whatever the run does, so from this limit on every
// run can at least tell why it fails. Found by trying, as the size of the
// binary and of the libraries moves it (about 7000 KiB here).
long long SmallestRunLimitKb() {
  static const long long least = [] {
    for (long long limit = 4000; limit <= 64000; limit += 100) {
      ScratchDir dir;
      RunOptions options;
      options.addressSpaceKb = limit;
      if (RunZervgen(dir.path(), {"-hu", "-n", "1000", "-f", "out.hun"}, options).status == 0) {
        return limit;
      }
    }
    return 0LL;
  }();
  return least;
}

// Runs `args` (which write "out.hun" and use "tmp") under address-space
// limits from `from` (or the least the program can work in, when that is
// more) to `to` KiB in steps of `step`: some limit must be enough, every
// run that succeeds writes the reference bytes, every one that fails says
// "Out of memory" and leaves no file, and no limit fails after a smaller
// one succeeded.
void ExpectMoreMemoryNeverFails(const std::vector<std::string>& args, long long from, long long to,
                                long long step, const std::string& out = "out.hun") {
  ScratchDir refDir;
  ASSERT_EQ(::mkdir(refDir.File("tmp").c_str(), 0700), 0);
  ASSERT_EQ(RunZervgen(refDir.path(), args).status, 0);
  const std::string reference = ReadFile(refDir.File(out));
  std::string outcomes;
  bool succeeded = false;
  bool regressed = false;
  const long long least = SmallestRunLimitKb();
  ASSERT_GT(least, 0) << "the smallest run fails under every limit up to 64000 KiB";
  for (long long limit = std::max(from, least); limit <= to; limit += step) {
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    RunOptions options;
    options.addressSpaceKb = limit;
    RunResult r = RunZervgen(dir.path(), args, options);
    outcomes.append(" ").append(std::to_string(limit)).append(":").append(std::to_string(r.status));
    if (r.status == 0) {
      succeeded = true;
      EXPECT_TRUE(ReadFile(dir.File(out)) == reference) << "ulimit -v " << limit;
      continue;
    }
    regressed = regressed || succeeded;
    EXPECT_EQ(AfterBanner(r.err), "zervgen: Out of memory.\n") << "ulimit -v " << limit;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"tmp"}) << "ulimit -v " << limit;
  }
  std::string what;
  for (const std::string& a : args) what.append(what.empty() ? "" : " ").append(a);
  EXPECT_TRUE(succeeded) << what << ": no limit was enough (limit:status)" << outcomes;
  EXPECT_FALSE(regressed) << what << ": a larger limit failed after a smaller one succeeded"
                          << " (limit:status)" << outcomes;
}

// More memory never turns a run that succeeds into one that fails: once a
// limit is enough, every larger one writes the same relation too. The
// columns take memory greedily, so the writer must make do with what is
// left: rows longer than 256 bytes make a chunk of rows outgrow its first
// buffer, and when that growth cannot be had the rows go through the
// buffer reserved with the program. Measured: about 7500 KiB is the least
// that succeeds (100000 rows); by 10500 every column fits in memory. The
// ladders start no lower than the program can work in. The 250 KiB steps
// cross every boundary where a column or a chunk's growth fits. Parquet has
// no reserved buffer: the memory of a row group is set aside while the
// columns take theirs, and a row group that cannot be had ends the run with
// "Out of memory". Its process is larger, and a zstd context needs more.
// Compressed text has no reserved buffer either: the memory of one chunk
// and its compressor is set aside as for Parquet.
TEST(Hardening, MoreMemoryNeverTurnsSuccessIntoOutOfMemory) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  struct Ladder {
    std::vector<std::string> shape;
    long long from, to;  // KiB
  };
  const Ladder ladders[] = {
      {{"-ff", "-fc", "100"}, 6500, 10500},
      {{"-fc", "80"}, 6500, 10500},
      {{}, 6500, 10500},
      {{"-parquet", "-rowgroup", "1000"}, 8500, 12000},
      {{"-parquet", "-rowgroup", "1000", "-fc", "80", "-codec", "zstd"}, 12500, 16000},
  };
  for (const auto& [shape, from, to] : ladders) {
    std::vector<std::string> args = {"-hu", "-n", "100000", "-f", "out.hun", "-t", "tmp"};
    args.insert(args.end(), shape.begin(), shape.end());
    ExpectMoreMemoryNeverFails(args, from, to, 250);
  }
  const Ladder compressed[] = {
      {{"-compress", "zstd", "-fc", "80"}, 12000, 24000},
      {{"-compress", "gzip", "-ff"}, 12000, 24000},
  };
  for (const auto& [shape, from, to] : compressed) {
    const std::string out = shape[1] == "zstd" ? "out.hun.zst" : "out.hun.gz";
    std::vector<std::string> args = {"-hu", "-n", "100000", "-f", out, "-t", "tmp"};
    args.insert(args.end(), shape.begin(), shape.end());
    ExpectMoreMemoryNeverFails(args, from, to, 500, out);
  }
}

// The same for Parquet row groups that need more than the columns' steps:
// a million rows make columns of 4 MB, and the memory a row group needs is
// set aside before the columns take theirs, so a column goes to memory only
// when a row group still fits beside it. Before, each column that fitted
// left the row group short: success and "Out of memory" took turns as the
// limit grew. Row groups of several sizes, one and several threads, zstd,
// bloom filters.
TEST(Hardening, MoreMemoryNeverTurnsParquetSuccessIntoOutOfMemory) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  struct Ladder {
    std::vector<std::string> shape;
    long long from, to;  // KiB, in steps of 3000
  };
  const Ladder ladders[] = {
      {{"-fc", "10", "-rowgroup", "10000", "-threads", "1"}, 14000, 47000},
      {{"-rowgroup", "50000", "-threads", "4"}, 20000, 50000},
      {{"-fc", "20", "-rowgroup", "20000", "-codec", "zstd", "-threads", "2"}, 24000, 51000},
      // Bloom filters of a plain, a dictionary and a plain text column.
      {{"-fc", "10", "-rowgroup", "50000", "-threads", "2", "-bloom", "key,name,fill"},
       20000,
       53000},
  };
  for (const auto& [shape, from, to] : ladders) {
    std::vector<std::string> args = {"-hu",     "-n", "1000000", "-f",
                                     "out.hun", "-t", "tmp",     "-parquet"};
    args.insert(args.end(), shape.begin(), shape.end());
    ExpectMoreMemoryNeverFails(args, from, to, 3000);
  }
}

// ---------------------------------------------------------------------------
// A temporary file cut short while the relation is read from it: the run
// ends with the read error, and the partial relation file is removed with
// the other temporary files.
TEST(Hardening, TemporaryFileCutShortRemovesThePartialRelationFile) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
  RunOptions options;
  options.addressSpaceKb = kAllTempLimitKb;
  ZervgenProcess run(
      dir.path(),
      {"-hu", "-n", std::to_string(kAllTempRows), "-f", "big", "-r", "rpt", "-t", "tmp"}, options);
  ASSERT_TRUE(
      WaitUntil([&] { return run.Wait(0) || FileSize(dir.File("big")) > 0; }, kDeadlineSeconds));
  ASSERT_FALSE(run.ended()) << run.result().err;
  // The writer reads the address column 2048 bytes at a time; from here on
  // it finds no more.
  ASSERT_EQ(::truncate(dir.File("tmp/address.tmp").c_str(), 0), 0);
  ASSERT_TRUE(run.Wait(kDeadlineSeconds));
  const RunResult& r = run.result();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r.err), "zervgen: Temporary file read error.\n");
  EXPECT_TRUE(EndsWith(r.out, "\nRaised exception of class '32'\n")) << r.out;
  const std::string report = ReadFile(dir.File("rpt"));
  EXPECT_TRUE(EndsWith(report,
                       "\n*** ERROR: Unexpected error while reading temporary file,\n"
                       "\t\"tmp/address.tmp\".\n"
                       "           File, 'big', deleted.\n"))
      << report;
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"}));
  EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
}

}  // namespace
}  // namespace zervgen_test
