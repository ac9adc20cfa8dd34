// e2e_util.h: running the built zervgen binary in a fresh folder and reading
// what it left behind.
#ifndef ZERVGEN_TESTS_E2E_UTIL_H_
#define ZERVGEN_TESTS_E2E_UTIL_H_

#include <string>
#include <vector>

namespace zervgen_test {

struct RunResult {
  int status = -1;     // exit status, or 128 + signal when killed
  std::string out;     // standard output
  std::string err;     // standard error
};

// A fresh temporary folder, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::vector<std::string> List() const { return ListOf(path_); }
  static std::vector<std::string> ListOf(const std::string& path);

 private:
  std::string path_;
};

struct RunOptions {
  std::string stdinFile;   // empty: /dev/null
  std::string stdoutFile;  // empty: captured into RunResult::out
  std::string shellPrefix;  // e.g. "ulimit -v 300000;": run through bash under limits
  std::string wrapper;      // with shellPrefix: a command line to run the binary under
};

// Runs the binary with `args` (argv[0] is "zervgen") in `dir`.
RunResult RunZervgen(const std::string& dir, const std::vector<std::string>& args,
                     const RunOptions& options = {});

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
std::string GoldenDir();  // tests/golden in the source tree
std::string BinaryPath();

// The number (1-based) of the first line where `a` and `b` differ, with both
// lines, or "" when they are equal.
std::string FirstDifference(const std::string& a, const std::string& b);

// The standard error of a run without its first line (the banner).
std::string AfterBanner(const std::string& err);

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_E2E_UTIL_H_
