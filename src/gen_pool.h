// gen_pool.h: the threads of the generation engine. Owns the thread count
// (every core the process may run on, unless set) and two small pools: one
// that formats chunks of rows in ring slots for an in-order writer, and one
// that runs a set of independent tasks. Worker threads block the
// termination signals, so the signal handler always runs on the main thread.
// An exception in a worker reaches the calling thread.
#ifndef ZERVGEN_SRC_GEN_POOL_H_
#define ZERVGEN_SRC_GEN_POOL_H_

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zervgen {

// Threads the engine uses: the set count, or the cores of the process's
// affinity mask.
int Gen_Threads();
// 0 restores the default.
void Gen_SetThreads(int threads);

// Workers run `work(slot)` for each submitted slot; the caller waits for
// slots in the order it needs them.
class GenOrderedPool {
 public:
  GenOrderedPool(int threads, int slots, std::function<void(int)> work);
  ~GenOrderedPool();
  GenOrderedPool(const GenOrderedPool&) = delete;
  GenOrderedPool& operator=(const GenOrderedPool&) = delete;

  void Submit(int slot);
  int threads() const { return static_cast<int>(threads_.size()); }
  // Blocks until `slot` is done; rethrows the first exception of a worker.
  void WaitDone(int slot);

 private:
  void Worker();

  std::function<void(int)> work_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<int> queue_;
  std::vector<char> finished_;
  std::exception_ptr error_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// Runs every task, on up to `threads` threads, the calling thread among
// them; rethrows the first exception after all have ended. When the calling
// thread has no task left it waits for the others, calling `whileWaiting`
// (when given) about every quarter second: work of the calling thread's own,
// such as showing progress. REQUIRES: `whileWaiting` does not throw.
void Gen_RunTasks(std::vector<std::function<void()>>& tasks, int threads,
                  const std::function<void()>& whileWaiting = {});

}  // namespace zervgen

#endif  // ZERVGEN_SRC_GEN_POOL_H_
