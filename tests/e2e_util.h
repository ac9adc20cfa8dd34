// e2e_util.h: running the built zervgen binary in a fresh folder and reading
// what it left behind.
#ifndef ZERVGEN_TESTS_E2E_UTIL_H_
#define ZERVGEN_TESTS_E2E_UTIL_H_

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "signal_list.h"

namespace zervgen_test {

// A run big enough to be caught in the act: "-hu -n kBigRows" writes about
// 480 MB, far more than it can write between the moment a test sees its
// file and the moment the test stops it (ZervgenProcess::Pause).
#ifdef ZERVGEN_SANITIZED
inline constexpr int kBigRows = 1000000;
#else
inline constexpr int kBigRows = 4000000;
#endif
// An address-space limit (KiB, as "ulimit -v" counts) under which a run of
// 20000000 rows keeps only the shared scratch vector (78 MiB) in memory and
// every column in a temporary file. Measured: below about 82000 even the
// scratch vector fails ("Out of memory"); above about 165000 the key column
// fits too. The middle leaves 40 MiB either way for a bigger process image.
// Address-space limits do not work under the sanitizers.
inline constexpr long long kAllTempLimitKb = 120000;
inline constexpr int kAllTempRows = 20000000;

// How long a test waits for a run that must end; long enough for a loaded
// machine, and a run that needs it is broken anyway.
inline constexpr double kDeadlineSeconds = 300;

// The hundred relation's Parquet file of a default run, and a run of it
// with row groups and a fill column.
inline const std::string kPq = "zerv.hun.parquet";
inline const std::vector<std::string> kParquetRun = {"-hu",       "-n",   "5000", "-parquet",
                                                     "-rowgroup", "2000", "-fc",  "30"};

inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct RunResult {
  int status = -1;  // exit status, or 128 + signal when killed
  std::string out;  // standard output
  std::string err;  // standard error
};

struct RunOptions {
  std::string stdinFile;    // empty: /dev/null
  std::string stdoutFile;   // empty: captured into RunResult::out
  std::string shellPrefix;  // e.g. "ulimit -v 300000;": run through bash under limits
  std::string wrapper;      // with shellPrefix: a command line to run the binary under
  // Limits set in the child before it starts the binary (no shell needed);
  // 0: none.
  long long addressSpaceKb = 0;  // RLIMIT_AS, in KiB as "ulimit -v" counts
  long long fileSizeBytes = 0;   // RLIMIT_FSIZE
  // >= 0: the child gives up root and runs as this user (and group) before
  // it starts the binary. Only honoured when the tests run as root.
  int runAsUser = -1;
  std::string binary;                    // empty: the built binary
  std::vector<std::string> environment;  // "NAME=value" entries added for the child
  // Standard error is a pipe whose reader is gone: every write to it fails.
  bool stderrClosedPipe = false;
  // Standard descriptors (0, 1, 2) the binary starts with closed.
  std::vector<int> closedDescriptors;
};

// The fixed texts the text columns show unchanged.
inline constexpr const char* kFixedTexts[] = {"BENCHMARKS", "THE+ZERV+BENCHMARKS+",
                                              "SILICON VALLEY"};
// The message (after the banner) that refuses `c` as "-dc c", or "" when
// it is accepted: a line end, a character of a number or date, or one of
// the fixed texts cannot delimit.
std::string DelimiterRefusal(char c);

// Root writes into any folder: when the tests run as root, makes `options`
// run the binary as nobody, who may write into `dir` (opened to everyone)
// but not into a folder of mode 0555 in it. When the built binary is not
// runnable by others (a build in a private folder), a copy in `binDir` is
// run. Returns false when that cannot be set up; does nothing otherwise.
bool RunAsNobodyIfRoot(const ScratchDir& dir, const ScratchDir& binDir, RunOptions* options);

// Runs the binary with `args` (argv[0] is "zervgen") in `dir`.
RunResult RunZervgen(const std::string& dir, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// A bash script run in place of the binary itself; the script finds the
// binary in "$ZERVGEN".
struct BashScript {
  std::string text;
};

// The binary (or a script) started in the background, in a process group of
// its own, with its standard output and standard error going to files. It
// starts with every signal at its default action and none blocked, whatever
// the test binary inherited (nohup, a background job).
class ZervgenProcess {
 public:
  ZervgenProcess(const std::string& dir, const std::vector<std::string>& args,
                 const RunOptions& options = {});
  ZervgenProcess(const std::string& dir, const BashScript& script, const RunOptions& options = {});
  // Kills (SIGKILL) and reaps the process group if the process still runs.
  ~ZervgenProcess();
  ZervgenProcess(const ZervgenProcess&) = delete;
  ZervgenProcess& operator=(const ZervgenProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Sends `sig` to the process itself, and lets it go on when Pause stopped
  // it (the signal is then the first thing it sees); false when it has
  // already been reaped.
  bool Signal(int sig);
  // Sends `sig` to each thread of the process but its main thread, as a
  // fault in a worker would, and lets it go on when Pause stopped it. False
  // when it has ended or has no other thread.
  bool SignalWorkers(int sig);
  // Stops the process (SIGSTOP) and waits until it is stopped: a run caught
  // in the act stays in the act, however fast the machine. False when it
  // ended first.
  bool Pause();
  // Lets a paused process go on.
  bool Resume();
  // Waits for the end, at most `seconds` (forever when negative). Returns
  // true once the process has ended; result() is then complete.
  bool Wait(double seconds);
  // Kills the process group and reaps it.
  void Kill();
  bool ended() const { return ended_; }
  const RunResult& result() const { return result_; }

 private:
  void Start(const std::string& dir, const std::string& program, std::vector<std::string> argv,
             const RunOptions& options);
  void Reaped(int status);

  ScratchDir capture_;
  std::string outPath_;
  std::string errPath_;
  bool outCaptured_ = true;
  pid_t pid_ = -1;
  bool ended_ = false;
  bool paused_ = false;
  RunResult result_;
};

// Runs `script` with bash in `dir` and waits at most `seconds` for it; then
// the script's whole process group is killed and *timedOut (if given) set.
RunResult RunScript(const std::string& dir, const std::string& script, double seconds,
                    bool* timedOut = nullptr);

// Calls `condition` about every millisecond until it returns true (then
// true) or `seconds` have passed (then false).
bool WaitUntil(const std::function<bool()>& condition, double seconds);

// Size of a file in bytes, or -1 when it does not exist.
long long FileSize(const std::string& path);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
std::string GoldenDir();  // tests/golden in the source tree
std::string BinaryPath();

// The number (1-based) of the first line where `a` and `b` differ, with both
// lines, or "" when they are equal.
std::string FirstDifference(const std::string& a, const std::string& b);

// True when `text` is exactly the location line of a raise of class `cls`
// in the operation `func` (a regular expression; a plain name matches
// itself): "File ..., Function func, line N\nRaised exception of class
// 'cls'\n".
bool IsClassLine(const std::string& text, const std::string& func, int cls);

// The standard error of a run without its first line (the banner).
std::string AfterBanner(const std::string& err);

// `args` followed by `more`: a command line and its variations.
std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more);

// Compressed text, read and made with the codec libraries themselves
// ("zstd" or "gzip"): the text of every frame or member of `bytes` in a
// row (throws std::runtime_error on bytes that are not), and `text` as one
// frame or member at `level`. Only where the build has the codec
// (CodecInBuild).
bool CodecInBuild(const std::string& codec);
std::string Decompressed(const std::string& codec, const std::string& bytes);
// The frames or members of `bytes`, each as its compressed bytes.
std::vector<std::string> CompressedFrames(const std::string& codec, const std::string& bytes);
std::string Compressed(const std::string& codec, const std::string& text, int level = 1);

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_E2E_UTIL_H_
