// base/pool.h: the threads of the generation engine. Owns the thread count
// (every core the process may run on, unless set), the tuning of the C
// library for threads, and two small pools: one that formats chunks of rows
// in ring slots for an in-order writer, and one that runs a set of
// independent tasks. Worker threads block the termination signals, so the
// signal handler always runs on the main thread.
//
// Threading contract: worker threads compute and hand back a status. They
// never raise through the handler stack, print, write the report, or create,
// record or remove files: a failed check or a raise in a worker is captured
// (see XeptCapture) and a std::bad_alloc noted. The pool hands the first
// failure to the main thread, which explains and raises it once
// (Gen_Replay).
#ifndef ZERVGEN_SRC_BASE_POOL_H_
#define ZERVGEN_SRC_BASE_POOL_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/except.h"

namespace zervgen {

// The first failure of a worker: a captured check or raise, or memory that
// could not be had.
struct GenStatus {
  XeptStatus xept;
  bool outOfMemory = false;
  bool failed() const { return xept.cls != 0 || outOfMemory; }
};

// Main thread: raises the captured failure of `status` through the handler
// stack with its location lines; returns when there is none. Memory that
// could not be had is no raise: the caller reads status.outOfMemory.
void Gen_Replay(const GenStatus& status);

// Threads the engine uses: `requested` when positive (the run's -threads
// setting), else the cores of the process's affinity mask.
int Gen_Threads(int requested);

// Sets the C library up for the engine's threads, once per run before any
// thread starts: large blocks come from and go back to the system, and
// threads get small stacks.
void Gen_TuneThreads();

// Workers run `work(slot)` for each submitted slot; the caller waits for
// slots in the order it needs them.
class GenOrderedPool {
 public:
  GenOrderedPool(int threads, int slots, std::function<void(int)> work);
  ~GenOrderedPool();
  GenOrderedPool(const GenOrderedPool&) = delete;
  GenOrderedPool& operator=(const GenOrderedPool&) = delete;

  // REQUIRES: threads() > 0
  void Submit(int slot);
  int threads() const { return static_cast<int>(threads_.size()); }
  // Blocks until `slot` is done. Returns the first failure of any worker
  // (none: !failed()); the slot's work may then be incomplete.
  [[nodiscard]] GenStatus WaitDone(int slot);

 private:
  void Worker();

  std::function<void(int)> work_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<int> queue_;
  std::vector<char> finished_;
  GenStatus status_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// Runs every task, on up to `threads` threads (the calling thread among
// them, capturing as the workers do), and returns the first failure after
// all have ended. When the calling thread has no task left it waits for the
// others, calling `whileWaiting` (when given) about every quarter second:
// work of the calling thread's own, such as showing progress.
// REQUIRES: `whileWaiting` does not throw.
[[nodiscard]] GenStatus Gen_RunTasks(std::vector<std::function<void()>>& tasks, int threads,
                                     const std::function<void()>& whileWaiting = {});

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_POOL_H_
