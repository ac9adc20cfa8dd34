// datagen_test.cpp: whole runs of the run driver in a child process, with
// failures injected through the seams: allocations (column storage, chunk
// buffers, thread starts) and report writes. Each run either completes with
// the bytes of an undisturbed run, or ends with status 255 having removed
// every partial relation file and every temporary file. Never status 1.
#include "app/datagen.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/pool.h"
#include "base/report.h"
#include "core/columns.h"
#include "gtest/gtest.h"
#include "output/output.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::ScratchDir;

constexpr int kRows = 5000;  // two chunks per relation

// The fault plan of a child run. Seam calls are numbered from 1 across all
// seams; call `failAt` fails, and with `failAfter` every later one too (two
// workers then run short together).
struct Faults {
  int failAt = 0;
  bool failAfter = false;
  bool tempColumns = false;  // every column but the shared vector in a temporary file
  int reportFailAt = 0;      // the report write that fails; 0: none
};

Faults plan;
std::atomic<int> seamCalls{0};
std::atomic<int> reportWrites{0};

bool Fails() {
  const int n = ++seamCalls;
  return n == plan.failAt || (plan.failAfter && plan.failAt > 0 && n >= plan.failAt);
}

// The child run's environment: every allocation, thread start and report
// write is a numbered fault site.
class FaultEnv : public Env {
 public:
  bool MayAllocate(Memory kind, std::size_t bytes) override {
    if (!faultsOn) return true;
    if (kind == Memory::kColumn && plan.tempColumns && bytes == kRows * sizeof(std::int32_t) &&
        ++columnVectors > 1) {
      return false;
    }
    return !Fails();
  }
  bool MayStartThread() override { return !Fails(); }
  bool MayWriteReport() override { return ++reportWrites != plan.reportFailAt; }

  bool faultsOn = true;

 private:
  int columnVectors = 0;
};

struct Outcome {
  int status = -1;
  std::string err;
  std::map<std::string, std::string> files;  // what the run left, by name
  int seamCalls = 0;
  int reportWrites = 0;
};

// Runs zervgen with `args` in a fresh folder of a child process under
// `faults`.
Outcome RunChild(const std::vector<std::string>& args, const Faults& faults) {
  ScratchDir logs;
  const std::string dir = std::string(logs.path()) + "/run";
  ::mkdir(dir.c_str(), 0700);
  const std::string errPath = std::string(logs.path()) + "/err";
  const std::string countPath = std::string(logs.path()) + "/count";
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open("/dev/null", O_WRONLY);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(99);
    plan = faults;
    FaultEnv env;
    // Two threads whatever the machine: the faults fall on the same calls.
    std::vector<std::string> withThreads = args;
    withThreads.insert(withThreads.end(), {"-threads", "2"});
    std::vector<char*> argv;
    for (const std::string& a : withThreads) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int status = Main_Run(static_cast<int>(withThreads.size()), argv.data(), &env);
    env.faultsOn = false;  // the count file is no fault site
    if (FILE* f = std::fopen(countPath.c_str(), "w")) {
      std::fprintf(f, "%d %d\n", seamCalls.load(), reportWrites.load());
      std::fclose(f);
    }
    std::exit(status & 0xff);
  }
  Outcome o;
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  o.err = zervgen_test::ReadText(errPath);
  if (FILE* f = std::fopen(countPath.c_str(), "r")) {
    if (std::fscanf(f, "%d %d", &o.seamCalls, &o.reportWrites) != 2) o.seamCalls = 0;
    std::fclose(f);
  }
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") o.files[name] = zervgen_test::ReadText(dir + "/" + name);
  }
  if (d != nullptr) closedir(d);
  for (const auto& [name, text] : o.files) ::unlink((dir + "/" + name).c_str());
  ::rmdir(dir.c_str());
  ::unlink(errPath.c_str());
  ::unlink(countPath.c_str());
  return o;
}

// A failed run: status 255 with `message` on standard error, and only whole
// relations (the bytes of the undisturbed run) left; no temporary file.
void ExpectCleanFailure(const Outcome& o, const Outcome& whole, const char* message,
                        const std::string& what) {
  EXPECT_EQ(o.status, 255) << what << "\n" << o.err;
  EXPECT_NE(o.err.find(message), std::string::npos) << what << "\n" << o.err;
  for (const auto& [name, text] : o.files) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << what << ": " << name << " left";
    if (name == "report") continue;
    auto it = whole.files.find(name);
    ASSERT_NE(it, whole.files.end()) << what << ": " << name;
    EXPECT_TRUE(text == it->second) << what << ": partial " << name;
  }
}

void ExpectOutcome(const Outcome& o, const Outcome& whole, const std::string& what) {
  ASSERT_NE(o.status, 1) << what << "\n" << o.err;
  if (o.status == 0) {
    EXPECT_EQ(o.files.size(), whole.files.size()) << what;
    for (const auto& [name, text] : whole.files) {
      auto it = o.files.find(name);
      ASSERT_NE(it, o.files.end()) << what << ": " << name;
      if (name != "report") {
        EXPECT_TRUE(text == it->second) << what << ": " << name;
      }
    }
    return;
  }
  ExpectCleanFailure(o, whole, "Out of memory", what);
}

struct Shape {
  const char* name;
  std::vector<std::string> args;
  bool tempColumns;
  std::size_t files = 5;  // relation files of the undisturbed run
};

// Sanitized builds run slowly: there, one relation with its columns in
// memory, the same in temporary files, and the last shape. The plain build
// runs every shape, all relations included.
const std::vector<Shape>& Shapes() {
#ifdef ZERVGEN_SANITIZED
  static const std::vector<Shape> shapes = {
      {"hundred", {"zervgen", "-hu", "-n", "5000"}, false, 1},
      {"hundred, temporary files", {"zervgen", "-hu", "-n", "5000", "-fc", "30"}, true, 1},
      {"Parquet, temporary files",
       {"zervgen", "-un", "-n", "5000", "-parquet", "-rowgroup", "1000", "-codec", "zstd", "-fc",
        "30"},
       true,
       1},
  };
#else
  static const std::vector<Shape> shapes = {
      {"all relations", {"zervgen", "-n", "5000"}, false},
      {"fixed, fill 100", {"zervgen", "-n", "5000", "-ff", "-fc", "100"}, false},
      {"tab-delimited", {"zervgen", "-n", "5000", "-dc", "tab"}, false},
      {"temporary files", {"zervgen", "-n", "5000", "-fc", "30"}, true},
      // Long enough for columns kept as run numbers.
      {"run numbers", {"zervgen", "-hu", "-n", "70000"}, false, 1},
      {"Parquet, run numbers",
       {"zervgen", "-hu", "-n", "70000", "-parquet", "-rowgroup", "30000"},
       false,
       1},
      // Compressed text has no reserved buffer either; its chunks hold all
      // their rows or none, so the frames stay where they are.
      {"zstd text, parts",
       {"zervgen", "-hu", "-n", "20000", "-parts", "2", "-compress", "zstd"},
       false,
       2},
      {"gzip text, temporary files",
       {"zervgen", "-n", "5000", "-fc", "30", "-compress", "gzip"},
       true},
      // Row groups have no reserved buffer to fall back on: a failure there
      // ends the relation with "Out of memory".
      {"Parquet", {"zervgen", "-hu", "-n", "5000", "-parquet", "-rowgroup", "1000"}, false, 1},
      {"Parquet, temporary files",
       {"zervgen", "-un", "-n", "5000", "-parquet", "-rowgroup", "1000", "-codec", "zstd", "-fc",
        "30"},
       true,
       1},
  };
#endif
  return shapes;
}

// Every allocation, thread start and chunk buffer of a small run fails in
// turn (alone, and together with all that follow it). One test per shape
// and mode, so that a parallel test run spreads them.
class DatagenFaultShapes : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(DatagenFaultShapes, EveryFailedAllocationEndsCleanlyOrChangesNothing) {
  const auto [index, after] = GetParam();
  const Shape& shape = Shapes()[index];
  Faults none;
  none.tempColumns = shape.tempColumns;
  const Outcome whole = RunChild(shape.args, none);
  ASSERT_EQ(whole.status, 0) << shape.name << "\n" << whole.err;
  ASSERT_EQ(whole.files.size(), shape.files) << shape.name;
  ASSERT_GT(whole.seamCalls, 5) << shape.name;
  for (int k = 1; k <= whole.seamCalls; ++k) {
    Faults f = none;
    f.failAt = k;
    f.failAfter = after;
    const std::string what = std::string(shape.name) + ", seam call " + std::to_string(k) +
                             (after ? " and after" : " alone");
    ExpectOutcome(RunChild(shape.args, f), whole, what);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, DatagenFaultShapes,
                         ::testing::Combine(::testing::Range<std::size_t>(0, Shapes().size()),
                                            ::testing::Bool()));

// The report stops being writable at each of its lines in turn, with the
// columns in temporary files: the run ends with 255, the temporary files
// and any partial relation are removed, complete relations stay. Sanitized
// builds take one relation's report (31 lines) where the plain build takes
// all five.
TEST(DatagenFaults, FailingReportEndsTheRunAndRemovesItsFiles) {
#ifdef ZERVGEN_SANITIZED
  std::vector<std::string> args = {"zervgen", "-hu", "-n", "5000", "-fc", "30", "-r", "report"};
  constexpr int kLeastReportWrites = 20;
#else
  std::vector<std::string> args = {"zervgen", "-n", "5000", "-fc", "30", "-r", "report"};
  constexpr int kLeastReportWrites = 50;
#endif
  Faults none;
  none.tempColumns = true;
  const Outcome whole = RunChild(args, none);
  ASSERT_EQ(whole.status, 0) << whole.err;
  ASSERT_GT(whole.reportWrites, kLeastReportWrites);
  for (int k = 1; k <= whole.reportWrites; ++k) {
    Faults f = none;
    f.reportFailAt = k;
    const Outcome o = RunChild(args, f);
    const std::string what = "report line " + std::to_string(k);
    ExpectCleanFailure(o, whole, "zervgen: Report file error.\nzervgen: File system full.\n", what);
    EXPECT_EQ(o.err.find("Internal error"), std::string::npos) << what << "\n" << o.err;
  }
}

}  // namespace
}  // namespace zervgen
