// test_util.h: small helpers shared by the unit tests.
#ifndef ZERVGEN_TESTS_TEST_UTIL_H_
#define ZERVGEN_TESTS_TEST_UTIL_H_

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/env.h"
#include "base/except.h"
#include "run/catalog.h"
#include "scratch_dir.h"

namespace zervgen_test {

// The tag of the relation named `name`; fails the test (and gives the first
// relation's) for a name the table does not have.
inline std::int32_t TagOf(const char* name) {
  const zervgen::GenRelation* relation = zervgen::Gen_RelationNamed(name);
  EXPECT_NE(relation, nullptr) << name;
  return relation != nullptr ? zervgen::Gen_TagOf(*relation) : 1;
}

// Makes `env` the run's environment for the scope; the real one after.
class ScopedEnv {
 public:
  explicit ScopedEnv(zervgen::Env* env) { zervgen::Env_Set(env); }
  ~ScopedEnv() { zervgen::Env_Set(nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// What a raise left: its class (-1 when nothing was raised), the lines
// printed on standard output (the check lines) and, when asked for, what
// went to standard error.
struct Raised {
  int cls;
  std::string out;
  std::string err;
};

// What CatchRaise captures besides standard output, and what it leaves.
enum RaiseOptions : unsigned {
  kStdoutOnly = 0,
  kWithStderr = 1u << 0,  // standard error too, in Raised::err
  // Afterwards a fresh handler for every class is armed again, for a test
  // that keeps one armed so that an unexpected raise fails it (as a thrown
  // exception) instead of ending the test program.
  kRearm = 1u << 1,
};

// The one raise harness of the unit tests: runs `fn` under a fresh handler
// for every class, capturing standard output (and what `options` asks
// for). A raise that lands on another frame fails the test. The handler
// stack is left empty, or with a fresh handler under kRearm.
template <typename F>
Raised CatchRaise(F fn, unsigned options = kStdoutOnly) {
  const bool withStderr = (options & kWithStderr) != 0;
  zervgen::Xept_Reset();
  zervgen::XeptFrame* frame = zervgen::Xept_GetBuffer(zervgen::XEPT_ANY);
  testing::internal::CaptureStdout();
  if (withStderr) testing::internal::CaptureStderr();
  int cls = -1;
  try {
    fn();
    zervgen::Xept_PopHandler();
  } catch (const zervgen::XeptRaised& raised) {
    EXPECT_EQ(raised.frame, frame);
    cls = raised.cls;
  }
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = withStderr ? testing::internal::GetCapturedStderr() : std::string();
  if ((options & kRearm) != 0) {
    zervgen::Xept_Reset();
    zervgen::Xept_GetBuffer(zervgen::XEPT_ANY);
  }
  return {cls, std::move(out), std::move(err)};
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_TEST_UTIL_H_
