// base/except.cpp: the handler pool, the raise, and the check lines.
#include "base/except.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/env.h"

namespace zervgen {
namespace {

// The main thread's handler stack: a fixed pool of frames and the two
// lists threaded through it. One per process, as the main thread is; the
// driver resets it at the start of a run.
XeptFrame frames[XEPT_MAX_HANDLERS];
XeptFrame* freeList = nullptr;
XeptFrame* activeList = nullptr;
// Where the location lines go: set by the driver once the run's plan says
// whether standard output carries relation data. Every failed check reads
// it, from any depth, with no handle to the run.
bool checkLinesToStderr = false;
// What an ending that no handler takes cleans up first: set by the driver
// for the run under way.
void (*lastResort)() = nullptr;
// The status of a capturing worker thread; null on the main thread.
thread_local XeptStatus* captureStatus = nullptr;

// The formatted texts are at most 186 characters; room for more.
constexpr int kTextSize = 256;

// Runs the last-resort cleanup once; a raise inside it ends nothing more.
void RunLastResort() {
  void (*cleanup)() = lastResort;
  lastResort = nullptr;
  if (cleanup == nullptr) return;
  try {
    cleanup();
  } catch (...) {
  }
}

[[noreturn]] void Capture(std::int16_t cls, const char* text, const char* file, const char* func,
                          int line) {
  XeptStatus* status = captureStatus;
  if (status->cls == 0) {
    status->cls = cls;
    status->file = file;
    status->func = func;
    status->line = line;
    std::snprintf(status->text, sizeof status->text, "%s", text != nullptr ? text : "");
  }
  throw XeptCaptured{};
}

[[noreturn]] void NoHandlerForCoding(const char* file, const char* func, int line) {
  Xept_PrintLocation(file, func, line, "No exception handler found for coding exceptions");
  std::fflush(stdout);
  RunLastResort();
  std::exit(1);
}

// Standard output, unless it carries relation data.
std::FILE* CheckLineStream() { return checkLinesToStderr ? stderr : stdout; }

}  // namespace

XeptCapture::XeptCapture(XeptStatus* status) : saved_(captureStatus) { captureStatus = status; }
XeptCapture::~XeptCapture() { captureStatus = saved_; }

void Xept_SetLastResort(void (*cleanup)()) { lastResort = cleanup; }

void Xept_Fail(std::int16_t cls, const char* text, const char* file, const char* func, int line) {
  if (captureStatus != nullptr) Capture(cls, text, file, func, line);
  if (text != nullptr && text[0] != '\0') Xept_PrintLocation(file, func, line, text);
  Xept_Raise(cls, file, func, line);
}

void Xept_Replay(const XeptStatus& status) {
  if (status.cls == 0) return;
  Xept_Fail(status.cls, status.text, status.file, status.func, status.line);
}

void Xept_Reset() {
  activeList = nullptr;
  for (int i = 0; i < XEPT_MAX_HANDLERS; ++i) {
    frames[i].cls = XEPT_ANY;
    frames[i].link = (i + 1 < XEPT_MAX_HANDLERS) ? &frames[i + 1] : nullptr;
  }
  freeList = &frames[0];
}

XeptFrame* Xept_GetBuffer(std::int16_t cls) {
  if (freeList == nullptr) {
    Xept_PrintLocation(__FILE__, __func__, __LINE__, "Xept_PushHandler: stack full");
    XEPT_RAISE(XEPT_RESOURCE);
  }
  XeptFrame* frame = freeList;
  freeList = frame->link;
  frame->link = activeList;
  activeList = frame;
  frame->cls = cls;
  return frame;
}

void Xept_PopHandler() {
  CHECK_REQUIRE_TEXT(activeList != nullptr, "activeList != NULL");
  XeptFrame* frame = activeList;
  activeList = frame->link;
  frame->link = freeList;
  freeList = frame;
}

int Xept_ActiveCount() {
  int n = 0;
  for (XeptFrame* f = activeList; f != nullptr; f = f->link) ++n;
  return n;
}

void Xept_SetCheckLinesToStderr(bool on) { checkLinesToStderr = on; }

void Xept_PrintLocation(const char* file, const char* func, int line, const char* text) {
  std::FILE* stream = CheckLineStream();
  if (stream == stdout) Env_Current()->FlushStdout();
  std::fprintf(stream, "File %s, Function %s, line %d\n%s\n", file, func, line, text);
  std::fflush(stream);
}

void Xept_RaiseException(std::int16_t cls) {
  if (cls == XEPT_ANY) {
    Xept_PrintLocation(__FILE__, __func__, __LINE__, "Invalid to raise XEPT_ANY exception");
    XEPT_RAISE(XEPT_CODING);
  }
  while (activeList != nullptr) {
    XeptFrame* frame = activeList;
    activeList = frame->link;
    frame->link = freeList;
    freeList = frame;
    if (frame->cls == cls || frame->cls == XEPT_ANY) throw XeptRaised{cls, frame};
  }
  if (cls == XEPT_CODING) NoHandlerForCoding(__FILE__, __func__, __LINE__);
  char text[kTextSize];
  std::snprintf(text, sizeof text, "No exception handler found for exceptions of class '%d'", cls);
  Xept_PrintLocation(__FILE__, __func__, __LINE__, text);
  XEPT_RAISE(XEPT_CODING);
}

void Xept_Raise(std::int16_t cls, const char* file, const char* func, int line) {
  if (captureStatus != nullptr) Capture(cls, nullptr, file, func, line);
  char text[kTextSize];
  std::snprintf(text, sizeof text, "Raised exception of class '%d'", cls);
  Xept_PrintLocation(file, func, line, text);
  Xept_RaiseException(cls);
}

void Xept_FailedCheck(std::int16_t cls, const char* expr, const char* file, const char* func,
                      int line) {
  char text[kTextSize];
  if (cls == XEPT_REQUIREMENT) {
    std::snprintf(text, sizeof text, "Failed requirement: '%1.164s'", expr);
  } else if (cls == XEPT_ENSURE) {
    std::snprintf(text, sizeof text, "Failed ensure: '%1.166s'", expr);
  } else {
    std::snprintf(text, sizeof text, "Failed assertion: '%1.166s'", expr);
  }
  Xept_Fail(cls, text, file, func, line);
}

}  // namespace zervgen
