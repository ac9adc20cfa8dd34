// e2e_util.cpp: process and folder helpers for the end-to-end tests.
#include "e2e_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#if ZERVGEN_HAVE_ZSTD
#include <zstd.h>
#endif
#if ZERVGEN_HAVE_DEFLATE
#include <libdeflate.h>
#endif

namespace zervgen_test {
namespace {

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

std::string BinaryPath() { return ZERVGEN_BIN; }
std::string GoldenDir() { return ZERVGEN_GOLDEN_DIR; }

namespace {

// In the child, after fork: limits, user, environment. Returns false on a
// failure (the child then ends with a status of its own).
bool PrepareChild(const RunOptions& options) {
  if (options.addressSpaceKb > 0) {
    rlim_t bytes = static_cast<rlim_t>(options.addressSpaceKb) * 1024;
    struct rlimit lim = {bytes, bytes};
    if (setrlimit(RLIMIT_AS, &lim) != 0) return false;
  }
  if (options.fileSizeBytes > 0) {
    rlim_t bytes = static_cast<rlim_t>(options.fileSizeBytes);
    struct rlimit lim = {bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return false;
  }
  for (const std::string& entry : options.environment) {
    std::size_t eq = entry.find('=');
    if (eq == std::string::npos) return false;
    if (setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1) != 0) return false;
  }
  if (options.runAsUser >= 0 && geteuid() == 0) {
    gid_t gid = static_cast<gid_t>(options.runAsUser);
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0) return false;
    if (setuid(static_cast<uid_t>(options.runAsUser)) != 0) return false;
  }
  // A test binary that is killed (a suite timeout) takes its runs along.
  // Set last: a change of user clears it.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return false;
  return true;
}

// The writing end of a pipe whose reading end is already closed, or -1.
int ClosedPipe() {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  close(ends[0]);
  return ends[1];
}

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SleepMillisecond() {
  struct timespec ts = {0, 1000000};
  nanosleep(&ts, nullptr);
}

}  // namespace

ZervgenProcess::ZervgenProcess(const std::string& dir, const std::vector<std::string>& args,
                               const RunOptions& options) {
  const std::string binary = options.binary.empty() ? BinaryPath() : options.binary;
  std::vector<std::string> argv = {"zervgen"};
  if (!options.shellPrefix.empty()) {
    // bash -c 'PREFIX exec "$0" "$@"' zervgen args...
    std::string script = options.shellPrefix + " exec " +
                         (options.wrapper.empty() ? "-a zervgen" : options.wrapper) + " \"" +
                         binary + "\" \"$@\"";
    argv = {"/bin/bash", "-c", script, "zervgen"};
    argv.insert(argv.end(), args.begin(), args.end());
    Start(dir, "/bin/bash", argv, options);
    return;
  }
  argv.insert(argv.end(), args.begin(), args.end());
  Start(dir, binary, argv, options);
}

ZervgenProcess::ZervgenProcess(const std::string& dir, const BashScript& script,
                               const RunOptions& options) {
  RunOptions withBinary = options;
  withBinary.environment.push_back("ZERVGEN=" + BinaryPath());
  Start(dir, "/bin/bash", {"/bin/bash", "-c", script.text}, withBinary);
}

void ZervgenProcess::Start(const std::string& dir, const std::string& program,
                           std::vector<std::string> argv, const RunOptions& options) {
  outCaptured_ = options.stdoutFile.empty();
  outPath_ = outCaptured_ ? capture_.File("stdout") : options.stdoutFile;
  errPath_ = capture_.File("stderr");
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (chdir(dir.c_str()) != 0) _exit(120);
    int in = open(options.stdinFile.empty() ? "/dev/null" : options.stdinFile.c_str(), O_RDONLY);
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = options.stderrClosedPipe ? ClosedPipe()
                                       : open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(121);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd : options.closedDescriptors) close(fd);
    if (!PrepareChild(options)) _exit(124);
    if (getppid() != parent) _exit(125);  // the parent died before the line above
    execv(program.c_str(), raw.data());
    _exit(123);
  }
  setpgid(pid_, pid_);  // either side may win the race; both set the same group
}

ZervgenProcess::~ZervgenProcess() {
  if (!ended_) Kill();
}

bool ZervgenProcess::Signal(int sig) {
  if (ended_ || ::kill(pid_, sig) != 0) return false;
  if (paused_ && sig != SIGSTOP) {
    paused_ = false;
    return ::kill(pid_, SIGCONT) == 0;
  }
  return true;
}

bool ZervgenProcess::SignalWorkers(int sig) {
  if (ended_) return false;
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  int sent = 0;
  for (const std::string& name : ScratchDir::ListOf(tasks)) {
    const pid_t tid = static_cast<pid_t>(std::stol(name));
    if (tid != pid_ && ::syscall(SYS_tgkill, pid_, tid, sig) == 0) ++sent;
  }
  if (sent == 0) return false;
  if (paused_) return Resume();
  return true;
}

bool ZervgenProcess::Resume() {
  if (ended_ || !paused_) return false;
  paused_ = false;
  return ::kill(pid_, SIGCONT) == 0;
}

bool ZervgenProcess::Pause() {
  if (ended_ || ::kill(pid_, SIGSTOP) != 0) return false;
  // The state letter of /proc/PID/stat, after the name in parentheses.
  const std::string stat = "/proc/" + std::to_string(pid_) + "/stat";
  const bool stopped = WaitUntil(
      [&] {
        const std::string text = ReadFile(stat);
        const std::size_t close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() &&
               (text[close + 2] == 'T' || text[close + 2] == 'Z');
      },
      300);
  paused_ = stopped && !Wait(0);
  return paused_;
}

void ZervgenProcess::Reaped(int status) {
  ended_ = true;
  result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (outCaptured_) result_.out = ReadFile(outPath_);
  result_.err = ReadFile(errPath_);
}

bool ZervgenProcess::Wait(double seconds) {
  if (ended_) return true;
  int status = 0;
  if (seconds < 0) {
    while (waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    Reaped(status);
    return true;
  }
  const double deadline = Seconds() + seconds;
  for (;;) {
    pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      Reaped(status);
      return true;
    }
    if (got < 0 && errno != EINTR) return false;
    if (Seconds() > deadline) return false;
    SleepMillisecond();
  }
}

void ZervgenProcess::Kill() {
  if (ended_) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  Wait(-1);
}

namespace {

constexpr int kNobody = 65534;

// Whether every user may run `path`: each folder on the way searchable by
// others, the file executable by others.
bool RunnableByAnyone(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
  for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    if (::stat(path.substr(0, slash).c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool RunAsNobodyIfRoot(const ScratchDir& dir, const ScratchDir& binDir, RunOptions* options) {
  if (geteuid() != 0) return true;
  if (::chmod(dir.path(), 0777) != 0) return false;
  options->runAsUser = kNobody;
  if (RunnableByAnyone(BinaryPath())) return true;
  if (::chmod(binDir.path(), 0755) != 0) return false;
  options->binary = binDir.File("zervgen");
  WriteFile(options->binary, ReadFile(BinaryPath()));
  return ::chmod(options->binary.c_str(), 0755) == 0;
}

RunResult RunZervgen(const std::string& dir, const std::vector<std::string>& args,
                     const RunOptions& options) {
  ZervgenProcess process(dir, args, options);
  process.Wait(-1);
  return process.result();
}

RunResult RunScript(const std::string& dir, const std::string& script, double seconds,
                    bool* timedOut) {
  ZervgenProcess process(dir, BashScript{script});
  bool ended = process.Wait(seconds);
  if (timedOut != nullptr) *timedOut = !ended;
  if (!ended) process.Kill();
  return process.result();
}

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
  const double deadline = Seconds() + seconds;
  for (;;) {
    if (condition()) return true;
    if (Seconds() > deadline) return false;
    SleepMillisecond();
  }
}

long long FileSize(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
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
      return "first difference at line " + std::to_string(line) +
             ":\n  got:      " + (ha ? la : "<end>") + "\n  expected: " + (hb ? lb : "<end>");
    }
  }
}

bool IsClassLine(const std::string& text, const std::string& func, int cls) {
  const std::regex line("File [^\n]*, Function " + func +
                        ", line [0-9]+\nRaised exception of class '" + std::to_string(cls) + "'\n");
  return std::regex_match(text, line);
}

std::string DelimiterRefusal(char c) {
  const std::string head = "zervgen: Option, \"-dc\", ";
  if (c == '\n' || c == '\r') return head + "cannot be a line end.\n";
  if ((c >= '0' && c <= '9') || c == '-' || c == '.' || c == '/') {
    return head + "cannot be '" + c + "': it occurs in numbers and dates.\n";
  }
  for (const char* text : kFixedTexts) {
    if (std::string(text).find(c) != std::string::npos) {
      return head + "cannot be '" + c + "': it occurs in the fixed texts of the text columns.\n";
    }
  }
  return "";
}

std::string AfterBanner(const std::string& err) {
  std::size_t nl = err.find('\n');
  return nl == std::string::npos ? "" : err.substr(nl + 1);
}

}  // namespace zervgen_test

namespace zervgen_test {

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

bool CodecInBuild(const std::string& codec) {
  if (codec == "zstd") return ZERVGEN_HAVE_ZSTD != 0;
  if (codec == "gzip") return ZERVGEN_HAVE_DEFLATE != 0;
  return false;
}

std::string Decompressed(const std::string& codec, const std::string& bytes) {
  std::string text;
  (void)bytes;
#if ZERVGEN_HAVE_ZSTD
  if (codec == "zstd") {
    // Frame by frame: each must say how much text it holds.
    std::size_t at = 0;
    while (at < bytes.size()) {
      const std::size_t frame = ZSTD_findFrameCompressedSize(bytes.data() + at, bytes.size() - at);
      const unsigned long long size = ZSTD_getFrameContentSize(bytes.data() + at, frame);
      if (ZSTD_isError(frame) || size == ZSTD_CONTENTSIZE_UNKNOWN ||
          size == ZSTD_CONTENTSIZE_ERROR) {
        throw std::runtime_error("not a zstd frame with its size at " + std::to_string(at));
      }
      const std::size_t old = text.size();
      text.resize(old + size);
      const std::size_t got = ZSTD_decompress(text.data() + old, size, bytes.data() + at, frame);
      if (ZSTD_isError(got) || got != size) throw std::runtime_error("a damaged zstd frame");
      at += frame;
    }
    return text;
  }
#endif
#if ZERVGEN_HAVE_DEFLATE
  if (codec == "gzip") {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    std::size_t at = 0;
    while (at < bytes.size()) {
      // A member's trailer tells the size of its text.
      std::string member(1 << 20, '\0');
      std::size_t used = 0, made = 0;
      libdeflate_result r;
      while ((r = libdeflate_gzip_decompress_ex(d, bytes.data() + at, bytes.size() - at,
                                                member.data(), member.size(), &used, &made)) ==
             LIBDEFLATE_INSUFFICIENT_SPACE) {
        member.resize(member.size() * 2);
      }
      if (r != LIBDEFLATE_SUCCESS) {
        libdeflate_free_decompressor(d);
        throw std::runtime_error("a damaged gzip member at " + std::to_string(at));
      }
      text.append(member.data(), made);
      at += used;
    }
    libdeflate_free_decompressor(d);
    return text;
  }
#endif
  throw std::runtime_error("no " + codec + " in this build");
}

std::vector<std::string> CompressedFrames(const std::string& codec, const std::string& bytes) {
  std::vector<std::string> frames;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t size = 0;
#if ZERVGEN_HAVE_ZSTD
    if (codec == "zstd") size = ZSTD_findFrameCompressedSize(bytes.data() + at, bytes.size() - at);
    if (codec == "zstd" && ZSTD_isError(size)) throw std::runtime_error("not a zstd frame");
#endif
#if ZERVGEN_HAVE_DEFLATE
    if (codec == "gzip") {
      libdeflate_decompressor* d = libdeflate_alloc_decompressor();
      std::string text(std::size_t{64} << 20, '\0');
      std::size_t made = 0;
      const libdeflate_result r = libdeflate_gzip_decompress_ex(
          d, bytes.data() + at, bytes.size() - at, text.data(), text.size(), &size, &made);
      libdeflate_free_decompressor(d);
      if (r != LIBDEFLATE_SUCCESS) throw std::runtime_error("not a gzip member");
    }
#endif
    if (size == 0) throw std::runtime_error("no " + codec + " in this build");
    frames.push_back(bytes.substr(at, size));
    at += size;
  }
  return frames;
}

std::string Compressed(const std::string& codec, const std::string& text, int level) {
  std::string out;
#if ZERVGEN_HAVE_ZSTD
  if (codec == "zstd") {
    out.resize(ZSTD_compressBound(text.size()));
    out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), level));
    return out;
  }
#endif
#if ZERVGEN_HAVE_DEFLATE
  if (codec == "gzip") {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    out.resize(libdeflate_gzip_compress_bound(c, text.size()));
    out.resize(libdeflate_gzip_compress(c, text.data(), text.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
  }
#endif
  (void)text;
  (void)level;
  throw std::runtime_error("no " + codec + " in this build");
}

}  // namespace zervgen_test
