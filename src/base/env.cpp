// base/env.cpp: the real environment and the run's pointer to its own.
#include "base/env.h"

#include <time.h>

#include <cstdlib>

namespace zervgen {
namespace {

// The run's environment: set by the run (or a test) before any worker
// thread starts, read by all of them.
Env* current = nullptr;

}  // namespace

bool Env::MayAllocate(Memory, std::size_t) { return true; }
bool Env::MayStartThread() { return true; }
bool Env::MayWriteReport() { return true; }

std::int64_t Env::NowHundredths() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

void Env::FlushStdout() {}

Env* Env::Default() {
  static Env real;
  return &real;
}

Env* Env_Current() { return current != nullptr ? current : Env::Default(); }

void Env_Set(Env* env) { current = env; }

void* Env_Reallocate(void* p, std::size_t bytes) {
  if (!Env_Current()->MayAllocate(Env::Memory::kBuffer, bytes)) return nullptr;
  return std::realloc(p, bytes);
}

}  // namespace zervgen
