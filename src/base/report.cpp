// base/report.cpp: the report file.
#include "base/report.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/env.h"
#include "base/except.h"
#include "base/progname.h"
#include "base/util.h"

namespace zervgen {
namespace {

// The one report file of the process, opened and closed by the main thread.
// It stays at file scope because the signal handler writes its last lines
// to it and closes it, with no handle to the run (hence the volatile
// fields).
struct ReportFile {
  volatile std::sig_atomic_t open = 0;
  volatile int fd = -1;
  // Set once a write (or the close) has failed and been told on standard
  // error; reset when a report is opened.
  bool writeFailed = false;
};
ReportFile file;

int WriteLine(const char* text, std::size_t n) {
  if (!Env_Current()->MayWriteReport()) return ENOSPC;
  return Util_WriteAll(file.fd, text, n);
}

// Why a write failed: a full disk (or quota, or file-size limit) as such,
// anything else with the system's reason.
void ExplainWriteError(int error) {
  if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
    std::fprintf(stderr, "%s: File system full.\n", programName);
  } else {
    std::fprintf(stderr, "%s: Write error: \"%s\".\n", programName, std::strerror(error));
  }
}

}  // namespace

void Report_OpenFile(const char* path) {
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");
  CHECK_REQUIRE_TEXT(!file.open, "! Report_initialized");
  int fd = -1;
  const char* reason = nullptr;
  Util_OpenFile(&fd, path, &reason);
  if (fd < 0) {
    const char* system = Util_SystemReason(errno);
    std::fprintf(stderr, "%s: %s.\nReport file, '%s', not generated.\n", programName, reason, path);
    if (system != nullptr) std::fprintf(stderr, "\tThe system says \"%s\".\n", system);
    return;
  }
  file.fd = fd;
  file.writeFailed = false;
  file.open = 1;
}

int Report(const char* format, ...) {
  CHECK_REQUIRE_TEXT(format != nullptr, "format != NULL");
  if (!file.open) return 0;
  char local[1024];
  std::va_list args;
  va_start(args, format);
  int n = std::vsnprintf(local, sizeof local, format, args);
  va_end(args);
  const char* text = local;
  std::unique_ptr<char[]> big;
  if (n >= static_cast<int>(sizeof local)) {
    big.reset(new char[static_cast<std::size_t>(n) + 1]);
    va_start(args, format);
    std::vsnprintf(big.get(), static_cast<std::size_t>(n) + 1, format, args);
    va_end(args);
    text = big.get();
  }
  const int error = n < 0 ? 0 : WriteLine(text, static_cast<std::size_t>(n));
  if (n < 0 || error != 0) {
    // The report is done for: later lines (on the way out) write nothing.
    Report_CloseFile();
    std::fprintf(stderr, "%s: Report file error.\n", programName);
    if (error != 0) {
      ExplainWriteError(error);
      file.writeFailed = true;
    }
    XEPT_RAISE(XEPT_RESOURCE);
  }
  return n;
}

bool Report_WriteFailed() { return file.writeFailed; }

void Report_CloseFile() {
  if (!file.open) return;
  file.open = 0;
  ::close(file.fd);
  file.fd = -1;
}

void Report_Finish() {
  if (!file.open) return;
  const int fd = file.fd;
  file.open = 0;
  file.fd = -1;
  if (::close(fd) == 0) return;
  const int error = errno;
  std::fprintf(stderr, "%s: Report file error.\n", programName);
  ExplainWriteError(error);
  file.writeFailed = true;
  XEPT_RAISE(XEPT_RESOURCE);
}

bool Report_IsOpen() { return file.open != 0; }

void Report_WriteRaw(const char* text, std::size_t n) {
  if (!file.open) return;
  (void)Util_WriteAll(file.fd, text, n);
}

void Report_CloseRaw() { Report_CloseFile(); }

}  // namespace zervgen
