// e2e_util.cpp: process and folder helpers for the end-to-end tests.
#include "e2e_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zervgen_test {
namespace {

void RemoveTree(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d == nullptr) {
    ::unlink(path.c_str());
    return;
  }
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child = path + "/" + name;
    struct stat st {};
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      ::chmod(child.c_str(), 0700);
      RemoveTree(child);
    } else {
      ::unlink(child.c_str());
    }
  }
  closedir(d);
  ::rmdir(path.c_str());
}

std::string Slurp(int fd) {
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

TempDir::TempDir() {
  char templ[] = "/tmp/zervgen_test.XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<std::string> TempDir::ListOf(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string BinaryPath() { return ZERVGEN_BIN; }
std::string GoldenDir() { return ZERVGEN_GOLDEN_DIR; }

RunResult RunZervgen(const std::string& dir, const std::vector<std::string>& args,
                     const RunOptions& options) {
  TempDir capture;
  const std::string outPath =
      options.stdoutFile.empty() ? capture.File("stdout") : options.stdoutFile;
  const std::string errPath = capture.File("stderr");
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(120);
    int in = open(options.stdinFile.empty() ? "/dev/null" : options.stdinFile.c_str(), O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(121);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<std::string> full = {"zervgen"};
    full.insert(full.end(), args.begin(), args.end());
    if (!options.shellPrefix.empty()) {
      // /bin/sh -c 'PREFIX exec "$0" "$@"' zervgen args...
      std::string script = options.shellPrefix + " exec " +
                           (options.wrapper.empty() ? "-a zervgen" : options.wrapper) + " \"" +
                           BinaryPath() + "\" \"$@\"";
      std::vector<char*> argv = {const_cast<char*>("/bin/bash"), const_cast<char*>("-c"),
                                 script.data(), const_cast<char*>("zervgen")};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv("/bin/bash", argv.data());
      _exit(122);
    }
    std::vector<char*> argv;
    for (std::string& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(BinaryPath().c_str(), argv.data());
    _exit(123);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (options.stdoutFile.empty()) result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

std::string ReadFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  std::string text = Slurp(fd);
  close(fd);
  return text;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string FirstDifference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  std::istringstream sa(a), sb(b);
  std::string la, lb;
  for (int line = 1;; ++line) {
    bool ha = static_cast<bool>(std::getline(sa, la));
    bool hb = static_cast<bool>(std::getline(sb, lb));
    if (!ha && !hb) return "files differ only in the final line end";
    if (!ha || !hb || la != lb) {
      return "first difference at line " + std::to_string(line) + ":\n  got:      " +
             (ha ? la : "<end>") + "\n  expected: " + (hb ? lb : "<end>");
    }
  }
}

std::string AfterBanner(const std::string& err) {
  std::size_t nl = err.find('\n');
  return nl == std::string::npos ? "" : err.substr(nl + 1);
}

}  // namespace zervgen_test
