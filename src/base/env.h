// base/env.h: the environment a run meets the world through, one object:
// whether memory, a thread or a report write can be had, the clock the
// timers read, and what flushes standard output before a check line goes
// there. The real environment grants everything and reads the system clock;
// tests hand the run one that fails on cue. It is asked once per allocation,
// thread, report line or timer reading, never per row.
//
// The run's environment is one pointer, set before the run starts any
// thread and read by every thread after.
#ifndef ZERVGEN_SRC_BASE_ENV_H_
#define ZERVGEN_SRC_BASE_ENV_H_

#include <cstddef>
#include <cstdint>

namespace zervgen {

class Env {
 public:
  // What memory is for: a column's storage, or a buffer (the rows of a
  // chunk, encoded pages, field caches).
  enum class Memory { kColumn, kBuffer };

  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env() = default;

  // Whether `bytes` of `kind` may be had; false makes the allocation fail
  // as if the system had refused it.
  virtual bool MayAllocate(Memory kind, std::size_t bytes);
  // Whether another worker thread may start; false: the work is done by
  // fewer threads, as when the system refuses one.
  virtual bool MayStartThread();
  // Whether the next report line may be written; false: it fails with
  // ENOSPC.
  virtual bool MayWriteReport();
  // Hundredths of a second since the epoch on the wall clock.
  virtual std::int64_t NowHundredths();
  // Called before a check line is printed on standard output.
  virtual void FlushStdout();

  // The real environment.
  static Env* Default();
};

// The run's environment; Env::Default() unless another is set.
Env* Env_Current();
// Makes `env` the run's environment (null: the real one). REQUIRES: no
// worker thread runs.
void Env_Set(Env* env);

// realloc(p, bytes) of buffer memory, when the environment grants it; null
// otherwise (p is then left as it was).
void* Env_Reallocate(void* p, std::size_t bytes);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_ENV_H_
