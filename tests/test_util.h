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

namespace zervgen_test {

// Makes `env` the run's environment for the scope; the real one after.
class ScopedEnv {
 public:
  explicit ScopedEnv(zervgen::Env* env) { zervgen::Env_Set(env); }
  ~ScopedEnv() { zervgen::Env_Set(nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
};

// A fresh folder, removed (with its files) on destruction.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/zervgen_unit.XXXXXX";
    path_ = mkdtemp(templ) != nullptr ? templ : "";
  }
  ~ScratchDir() {
    for (const std::string& name : List()) ::unlink((path_ + "/" + name).c_str());
    ::rmdir(path_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const char* path() const { return path_.c_str(); }
  std::vector<std::string> List() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(path_.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
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

// What a raise left: its class (-1 when nothing was raised) and the lines
// printed on standard output (the check lines).
struct Raised {
  int cls;
  std::string out;
};

// Runs `fn` under a fresh handler for every class, capturing standard output.
template <typename F>
Raised CatchRaise(F fn) {
  zervgen::Xept_Reset();
  zervgen::XeptFrame* frame = zervgen::Xept_GetBuffer(zervgen::XEPT_ANY);
  testing::internal::CaptureStdout();
  int cls = -1;
  try {
    fn();
    zervgen::Xept_PopHandler();
  } catch (const zervgen::XeptRaised& raised) {
    EXPECT_EQ(raised.frame, frame);
    cls = raised.cls;
  }
  return {cls, testing::internal::GetCapturedStdout()};
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_TEST_UTIL_H_
