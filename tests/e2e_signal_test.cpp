// End-to-end interrupts: every signal that ends a run, sent to a running
// generation while it writes a relation file, while it writes to standard
// output and while it is still generating columns; signals ignored from the
// start; a relation file renamed while it is written; a CPU-time limit; a
// closed standard error. Every case waits for the state it needs by polling
// the files the run leaves, never by sleeping a fixed time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "relations.h"

namespace zervgen_test {
namespace {

enum class Storage { kMemory, kTempFiles };

struct SignalCase {
  int sig;
  Storage storage;
};

const char* StorageName(Storage s) {
  return s == Storage::kMemory ? "columns in memory" : "columns in temporary files";
}

std::string CaughtLine(int sig) {
  return "*** Error: Caught termination signal " + std::to_string(sig) + ".\n";
}

// The arguments and limits of a big run of `hundred` with its temporary
// files in "tmp" and its report in "rpt"; `file` is "big" or "-".
std::vector<std::string> BigRunArgs(Storage storage, const std::string& file) {
  const int rows = storage == Storage::kMemory ? kBigRows : kAllTempRows;
  return {"-hu", "-n", std::to_string(rows), "-f", file, "-r", "rpt", "-t", "tmp"};
}

RunOptions BigRunOptions(Storage storage) {
  RunOptions options;
  if (storage == Storage::kTempFiles) options.addressSpaceKb = kAllTempLimitKb;
  return options;
}

bool SkipTempFiles(Storage storage) {
#ifdef ZERVGEN_SANITIZED
  return storage == Storage::kTempFiles;
#else
  (void)storage;
  return false;
#endif
}

// Waits until `ready` holds or the process has ended, then stops the
// process where it is; fails the test (with what the process printed) when
// it ended or the deadline passed first.
::testing::AssertionResult CaughtInTheAct(ZervgenProcess* process,
                                          const std::function<bool()>& ready) {
  bool ok = WaitUntil([&] { return process->Wait(0) || ready(); }, kDeadlineSeconds);
  if (process->ended()) {
    return ::testing::AssertionFailure() << "the run ended before it could be interrupted, status "
                                         << process->result().status << ", stderr:\n"
                                         << process->result().err;
  }
  if (!ok) return ::testing::AssertionFailure() << "the awaited state never came";
  if (!process->Pause()) return ::testing::AssertionFailure() << "the run ended before it stopped";
  return ::testing::AssertionSuccess();
}

// The report line of `sig`.
std::string SignalLine(int sig) {
  return IsFaultSignal(sig)
             ? "*** Error: Terminated by unexpected signal " + std::to_string(sig) + ".\n"
             : CaughtLine(sig);
}

// Sends `sig` and waits for the run to end as an interrupted run does:
// status 255 and, after the banner, only the user's termination (or, for a
// fault, the unexpected signal).
::testing::AssertionResult Interrupt(ZervgenProcess* process, int sig) {
  if (!process->Signal(sig)) return ::testing::AssertionFailure() << "the signal was not sent";
  if (!process->Wait(kDeadlineSeconds)) {
    return ::testing::AssertionFailure() << "the run did not end after the signal";
  }
  const RunResult& r = process->result();
  const std::string message = IsFaultSignal(sig) ? "zervgen: Terminated by unexpected signal.\n"
                                                 : "zervgen: Terminated by user.\n";
  if (r.status != 255 || AfterBanner(r.err) != message) {
    return ::testing::AssertionFailure() << "status " << r.status << ", stderr:\n" << r.err;
  }
  return ::testing::AssertionSuccess();
}

// Interrupts a run writing the relation file "big" with `sig`: it ends as
// an interrupt does, the report tells of the removal, and nothing is left
// but the report and the empty "tmp".
void ExpectInterruptedAndCleanedUp(ZervgenProcess* run, const ScratchDir& dir, int sig,
                                   const std::string& name = "big") {
  ASSERT_TRUE(Interrupt(run, sig));
  EXPECT_EQ(run->result().out, "");
  const std::string report = ReadFile(dir.File("rpt"));
  EXPECT_TRUE(EndsWith(report, CaughtLine(sig) + "           File, '" + name + "', deleted.\n"))
      << report;
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"}));
  EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
}

// Every other ending signal is sent in EveryEndingSignalRemovesThePartialFile.
const SignalCase kFileCases[] = {
    {SIGINT, Storage::kMemory},
    {SIGTERM, Storage::kMemory},
    {SIGINT, Storage::kTempFiles},
    {SIGTERM, Storage::kTempFiles},
};

// A signal while rows go to a relation file: the partial file and every
// temporary file are removed, the report ends with the signal line and the
// deletion line, and standard error says the user ended the run.
TEST(Interrupt, WhileWritingARelationFileRemovesItAndTheTemporaryFiles) {
  for (const SignalCase& c : kFileCases) {
    SCOPED_TRACE(std::string(strsignal(c.sig)) + ", " + StorageName(c.storage));
    if (SkipTempFiles(c.storage)) continue;
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    ZervgenProcess run(dir.path(), BigRunArgs(c.storage, "big"), BigRunOptions(c.storage));
    ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("big")) > 0; }));
    const std::vector<std::string> temps = ScratchDir::ListOf(dir.File("tmp"));
    if (c.storage == Storage::kTempFiles) {
      EXPECT_EQ(temps.size(), 10u) << "every column but the fill should be in a file";
    } else {
      EXPECT_TRUE(temps.empty());
    }
    ExpectInterruptedAndCleanedUp(&run, dir, c.sig);
  }
}

// The same for a Parquet file, caught once a row group follows its magic:
// neither the partial file nor a temporary file stays.
TEST(Interrupt, WhileWritingAParquetFileRemovesItAndTheTemporaryFiles) {
  const SignalCase cases[] = {{SIGINT, Storage::kMemory}, {SIGTERM, Storage::kTempFiles}};
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.sig)) + ", " + StorageName(c.storage));
    if (SkipTempFiles(c.storage)) continue;
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    std::vector<std::string> args = BigRunArgs(c.storage, "big");
    args.insert(args.end(), {"-parquet", "-rowgroup", "10000"});
    ZervgenProcess run(dir.path(), args, BigRunOptions(c.storage));
    ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("big")) > 4; }));
    ExpectInterruptedAndCleanedUp(&run, dir, c.sig);
  }
}

// The same for a compressed text file, caught once its first frame is out.
TEST(Interrupt, WhileWritingACompressedFileRemovesItAndTheTemporaryFiles) {
  if (!CodecInBuild("zstd")) GTEST_SKIP() << "a build without zstd";
  const SignalCase cases[] = {{SIGTERM, Storage::kMemory}, {SIGINT, Storage::kTempFiles}};
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.sig)) + ", " + StorageName(c.storage));
    if (SkipTempFiles(c.storage)) continue;
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    std::vector<std::string> args = BigRunArgs(c.storage, "big.zst");
    args.insert(args.end(), {"-compress", "zstd"});
    ZervgenProcess run(dir.path(), args, BigRunOptions(c.storage));
    ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("big.zst")) > 0; }));
    ExpectInterruptedAndCleanedUp(&run, dir, c.sig, "big.zst");
  }
}

// Every signal whose default action ends the process, sent while rows go to
// a relation file: the run ends as for an interrupt, with the partial file
// removed.
TEST(Interrupt, EveryEndingSignalRemovesThePartialFile) {
  const std::vector<int> signals = EndingSignals();
  ASSERT_GE(signals.size(), 50u) << "the real-time signals are missing";
  for (int sig : signals) {
    SCOPED_TRACE(std::to_string(sig) + " " + strsignal(sig));
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    ZervgenProcess run(dir.path(), {"-hu", "-n", std::to_string(kBigRows / 4), "-f", "big", "-r",
                                    "rpt", "-t", "tmp"});
    ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("big")) > 0; }));
    ASSERT_TRUE(Interrupt(&run, sig));
    EXPECT_EQ(run.result().out, "");
    const std::string report = ReadFile(dir.File("rpt"));
    EXPECT_TRUE(EndsWith(report, SignalLine(sig) + "           File, 'big', deleted.\n")) << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"}));
  }
}

// A fault that reaches a worker thread (a real one, or one sent to it) is
// handed to the main thread, which cleans up while the worker waits: no
// write of the main thread meets a file the cleanup already closed, and the
// run ends as for any fault. Sent to the workers of runs caught while rows
// go to the file, so that the main thread is writing when it lands.
TEST(Interrupt, AFaultInAWorkerIsCleanedUpByTheMainThread) {
  for (int round = 0; round < 10; ++round) {
    const int sig = round % 2 == 0 ? SIGFPE : SIGSEGV;
    SCOPED_TRACE("round " + std::to_string(round) + ", " + strsignal(sig));
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    ZervgenProcess run(dir.path(), {"-hu", "-n", std::to_string(kBigRows / 4), "-f", "big", "-r",
                                    "rpt", "-t", "tmp", "-threads", "4"});
    ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("big")) > 0; }));
    ASSERT_TRUE(run.SignalWorkers(sig)) << "no worker thread to send the fault to";
    ASSERT_TRUE(run.Wait(kDeadlineSeconds));
    const RunResult& r = run.result();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(AfterBanner(r.err), "zervgen: Terminated by unexpected signal.\n");
    const std::string report = ReadFile(dir.File("rpt"));
    EXPECT_TRUE(EndsWith(report, SignalLine(sig) + "           File, 'big', deleted.\n")) << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"}));
  }
}

const SignalCase kStdoutCases[] = {
    {SIGINT, Storage::kMemory},
    {SIGTERM, Storage::kTempFiles},
};

// A signal while rows go to standard output: no relation file is recorded,
// so nothing but the temporary files is removed; what reached standard
// output stays.
TEST(Interrupt, WhileWritingToStandardOutputDeletesNoFile) {
  for (const SignalCase& c : kStdoutCases) {
    SCOPED_TRACE(std::string(strsignal(c.sig)) + ", " + StorageName(c.storage));
    if (SkipTempFiles(c.storage)) continue;
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    RunOptions options = BigRunOptions(c.storage);
    options.stdoutFile = dir.File("out");
    ZervgenProcess run(dir.path(), BigRunArgs(c.storage, "-"), options);
    ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("out")) > 0; }));
    ASSERT_TRUE(Interrupt(&run, c.sig));
    const std::string report = ReadFile(dir.File("rpt"));
    EXPECT_TRUE(EndsWith(report, CaughtLine(c.sig).insert(0, 1, '\n'))) << report;
    EXPECT_EQ(report.find("deleted"), std::string::npos) << report;
    EXPECT_GT(FileSize(dir.File("out")), 0);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"out", "rpt", "tmp"}));
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
  }
}

// A signal while the columns are still being generated into their temporary
// files, before the relation file exists: the temporary files go, and the
// report has the signal line but no deletion line.
TEST(Interrupt, DuringColumnGenerationRemovesTheTemporaryFiles) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    ZervgenProcess run(dir.path(), BigRunArgs(Storage::kTempFiles, "big"),
                       BigRunOptions(Storage::kTempFiles));
    // The relation heading is written before its first column is generated.
    ASSERT_TRUE(CaughtInTheAct(&run, [&] {
      return !ScratchDir::ListOf(dir.File("tmp")).empty() &&
             ReadFile(dir.File("rpt")).find("Hundred Relation:\n") != std::string::npos;
    }));
    ASSERT_FALSE(FileExists(dir.File("big"))) << "too late: the relation is being written";
    ASSERT_TRUE(Interrupt(&run, sig));
    EXPECT_EQ(run.result().out, "");
    const std::string report = ReadFile(dir.File("rpt"));
    EXPECT_TRUE(EndsWith(report, CaughtLine(sig).insert(0, 1, '\n'))) << report;
    EXPECT_EQ(report.find("deleted"), std::string::npos) << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"}));
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
  }
}

// The partial file is removed only while its name still leads to it: a file
// renamed while it is written, and one put in its place, are left alone,
// and the report says why nothing was deleted.
TEST(Interrupt, RemovesOnlyTheFileItWrote) {
  struct RenameCase {
    const char* name;
    bool replaced;  // a new file takes the old name
    const char* note;
  };
  const RenameCase cases[] = {
      {"renamed and replaced", true, "the name now belongs to another file"},
      {"renamed", false, "it was renamed or removed during the run"},
  };
  for (const RenameCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    ZervgenProcess run(dir.path(), BigRunArgs(Storage::kMemory, "big"),
                       BigRunOptions(Storage::kMemory));
    ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("big")) > 0; }));
    ASSERT_EQ(::rename(dir.File("big").c_str(), dir.File("moved").c_str()), 0);
    if (c.replaced) WriteFile(dir.File("big"), "someone else's\n");
    ASSERT_TRUE(Interrupt(&run, SIGINT));
    const std::string report = ReadFile(dir.File("rpt"));
    EXPECT_TRUE(EndsWith(
        report, CaughtLine(SIGINT) + "           File, 'big', not deleted: " + c.note + ".\n"))
        << report;
    if (c.replaced) {
      EXPECT_EQ(ReadFile(dir.File("big")), "someone else's\n");
      EXPECT_EQ(dir.List(), (std::vector<std::string>{"big", "moved", "rpt", "tmp"}));
    } else {
      EXPECT_EQ(dir.List(), (std::vector<std::string>{"moved", "rpt", "tmp"}));
    }
    EXPECT_GT(FileSize(dir.File("moved")), 0) << "the run's own file, under its new name";
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
  }
}

// A hangup or a quit key that the run started with ignored (nohup, a
// background job of a shell) stays ignored: the run goes on to the end. So
// does any other ending signal but the six always handled.
TEST(Interrupt, SignalsIgnoredAtTheStartStayIgnored) {
  ScratchDir dir;
  RunOptions options;
#ifdef ZERVGEN_SANITIZED
  // AddressSanitizer installs its own handler for SIGBUS over an ignored one.
  options.shellPrefix = "trap '' HUP QUIT VTALRM PROF IO PWR SYS RTMIN RTMAX;";
  const std::vector<int> ignored = {SIGHUP,
                                    SIGQUIT,
                                    SIGVTALRM,
                                    SIGPROF,
                                    SIGIO,
                                    SIGPWR,
                                    SIGSYS,
                                    static_cast<int>(SIGRTMIN),
                                    static_cast<int>(SIGRTMAX)};
#else
  options.shellPrefix = "trap '' HUP QUIT VTALRM PROF IO PWR BUS SYS RTMIN RTMAX;";
  const std::vector<int> ignored = {SIGHUP,
                                    SIGQUIT,
                                    SIGVTALRM,
                                    SIGPROF,
                                    SIGIO,
                                    SIGPWR,
                                    SIGBUS,
                                    SIGSYS,
                                    static_cast<int>(SIGRTMIN),
                                    static_cast<int>(SIGRTMAX)};
#endif
  ZervgenProcess run(dir.path(), {"-hu", "-n", "1000000", "-f", "h", "-r", "rpt"}, options);
  // The handlers are in place before the report is created.
  ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileExists(dir.File("rpt")); }));
  for (int sig : ignored) {
    ASSERT_TRUE(run.Signal(sig)) << strsignal(sig);
  }
  ASSERT_TRUE(run.Wait(kDeadlineSeconds));
  EXPECT_EQ(run.result().status, 0) << run.result().err;
  EXPECT_EQ(AfterBanner(run.result().err), "");
  const std::string rows = ReadFile(dir.File("h"));
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 1000000);
  EXPECT_TRUE(EndsWith(rows, "\n"));
  EXPECT_NE(ReadFile(dir.File("rpt")).find("\nTotal Time: "), std::string::npos);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"h", "rpt"}));
}

// A CPU-time limit ends the run through SIGXCPU like any ending signal:
// nothing of it is left but the report. That holds too when the soft and
// hard limits are equal ("ulimit -t N" sets both), where the kernel would
// send SIGKILL at the limit instead of SIGXCPU.
TEST(Interrupt, CpuTimeLimitLeavesNoFile) {
  for (const char* limit : {"ulimit -S -t 1;", "ulimit -t 1;", "ulimit -t 2;"}) {
    SCOPED_TRACE(limit);
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    RunOptions options = BigRunOptions(Storage::kMemory);
    options.shellPrefix = limit;
    // Rows for several CPU-seconds: the limit comes while they are written.
    std::vector<std::string> args = BigRunArgs(Storage::kMemory, "big");
    args[2] = std::to_string(kBigRows * 5);
    ZervgenProcess run(dir.path(), args, options);
    ASSERT_TRUE(run.Wait(kDeadlineSeconds));
    EXPECT_EQ(run.result().status, 255);
    EXPECT_EQ(AfterBanner(run.result().err), "zervgen: Terminated by user.\n");
    const std::string report = ReadFile(dir.File("rpt"));
    EXPECT_NE(report.find(CaughtLine(SIGXCPU)), std::string::npos) << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"rpt", "tmp"}));
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
  }
}

// A reader of standard error that went away before the banner does not end
// the run: the relation is written whole.
TEST(Interrupt, ClosedStandardErrorDoesNotEndTheRun) {
  ScratchDir dir;
  RunOptions options;
  options.stderrClosedPipe = true;
  RunResult r = RunZervgen(dir.path(), {"-n", "100", "-f", "x"}, options);
  EXPECT_EQ(r.status, 0);
  for (const TestRelation& relation : kTestRelations) {
    const char* ext = relation.suffix;
    const std::string name = std::string("zerv.") + ext;
    EXPECT_EQ(ReadFile(dir.File("x." + std::string(ext))),
              ReadFile(GoldenDir() + "/n100-default/" + name))
        << ext;
  }
}

// While a relation goes to standard output, the lines of a raise go to
// standard error: a reader of the data gets only whole rows. The raise
// here is a temporary file that runs dry while rows are written.
TEST(Interrupt, CheckLinesStayOutOfTheDataOnStandardOutput) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
  RunOptions options = BigRunOptions(Storage::kTempFiles);
  options.stdoutFile = dir.File("out");
  std::vector<std::string> args = BigRunArgs(Storage::kTempFiles, "-");
  args.insert(args.end(), {"-ff", "-fc", "0"});
  ZervgenProcess run(dir.path(), args, options);
  ASSERT_TRUE(CaughtInTheAct(&run, [&] { return FileSize(dir.File("out")) > 0; }));
  // The first file cut short may end the run before the others are cut.
  int cut = 0;
  for (const std::string& name : ScratchDir::ListOf(dir.File("tmp"))) {
    cut += ::truncate(dir.File("tmp/" + name).c_str(), 0) == 0;
  }
  ASSERT_GT(cut, 0);
  ASSERT_TRUE(run.Resume());
  ASSERT_TRUE(run.Wait(kDeadlineSeconds));
  EXPECT_EQ(run.result().status, 255);
  const std::string readError = "zervgen: Temporary file read error.\n";
  const std::string err = AfterBanner(run.result().err);
  EXPECT_EQ(err.substr(0, readError.size()), readError);
  EXPECT_TRUE(
      IsClassLine(err.substr(std::min(err.size(), readError.size())), "Gen_getNextBuffer", 32))
      << err;
  const std::string out = ReadFile(dir.File("out"));
  ASSERT_GT(out.size(), 0u);
  EXPECT_EQ(out.size() % 186, 0u) << "a partial row";
  for (std::size_t at = 0; at < out.size(); at += 186) {
    ASSERT_EQ(out.find('\n', at), at + 185) << "row " << at / 186;
  }
  EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
}

}  // namespace
}  // namespace zervgen_test
