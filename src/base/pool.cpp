// base/pool.cpp: thread count, thread tuning and worker pools.
#include "base/pool.h"

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <new>
#include <system_error>

#include "base/env.h"
#include "base/signals.h"

namespace zervgen {
namespace {

// Starts a thread with the termination signals blocked and adds it to
// `threads`. A thread that cannot be had (memory or process limits) is no
// failure: the work is done by fewer threads.
void StartBlocked(std::vector<std::thread>* threads, const std::function<void()>& body) {
  if (!Env_Current()->MayStartThread()) return;
  sigset_t block;
  sigset_t saved;
  Signals_EndingSet(&block);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  try {
    threads->emplace_back([body] {
      Signals_MarkWorkerThread();
      body();
    });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// The workers of Gen_RunTasks that have ended, so that the calling thread
// can do something of its own while it waits for them.
class WorkersDone {
 public:
  void Count() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++ended_;
    }
    changed_.notify_one();
  }
  // Returns once `workers` have ended, calling `tick` about every quarter
  // second until then.
  void Await(int workers, const std::function<void()>& tick) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (ended_ < workers) {
      if (changed_.wait_for(lock, std::chrono::milliseconds(250)) == std::cv_status::timeout) {
        lock.unlock();
        tick();
        lock.lock();
      }
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int ended_ = 0;
};

// Runs `work` capturing its failure into `status` (only the first is kept).
template <typename Work>
void RunCaptured(GenStatus* status, Work&& work) {
  XeptCapture capture(&status->xept);
  try {
    work();
  } catch (const XeptCaptured&) {
  } catch (const std::bad_alloc&) {
    if (!status->failed()) status->outOfMemory = true;
  }
}

// Keeps the first failure of `from` in `to`.
void Merge(GenStatus* to, const GenStatus& from) {
  if (!to->failed() && from.failed()) *to = from;
}

}  // namespace

void Gen_Replay(const GenStatus& status) { Xept_Replay(status.xept); }

int Gen_Threads(int requested) {
  if (requested > 0) return requested;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

// ThreadSanitizer refuses to start a thread whose stack is under about
// 1 MiB: with the small stack every thread would fail to start, and a run
// under it would quietly go on without any.
#if defined(__SANITIZE_THREAD__)
constexpr std::size_t kWorkerStackBytes = std::size_t{1} << 20;
#else
constexpr std::size_t kWorkerStackBytes = 256 * 1024;
#endif

void Gen_TuneThreads() {
  // Large blocks (columns, chunk buffers) always come from and go back to
  // the system, so a run under a memory limit does not lose room to heap
  // fragmentation from one relation to the next. Blocks up to 256 KiB stay
  // in the heap: snappy takes about 172 KiB of working memory for every
  // page it compresses, which would otherwise be mapped, faulted in page by
  // page and unmapped again each time.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // Worker threads need little stack. The default of 8 MiB each stays
  // mapped in the C library's cache after a thread ends, where a run under
  // an address-space limit would miss it for its buffers.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  pthread_setattr_default_np(&attr);
  pthread_attr_destroy(&attr);
}

GenOrderedPool::GenOrderedPool(int threads, int slots, std::function<void(int)> work)
    : work_(std::move(work)), finished_(static_cast<std::size_t>(slots), 0) {
  for (int i = 0; i < threads; ++i) StartBlocked(&threads_, [this] { Worker(); });
}

GenOrderedPool::~GenOrderedPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void GenOrderedPool::Submit(int slot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_[static_cast<std::size_t>(slot)] = 0;
    queue_.push_back(slot);
  }
  wake_.notify_one();
}

GenStatus GenOrderedPool::WaitDone(int slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return finished_[static_cast<std::size_t>(slot)] || status_.failed(); });
  return status_;
}

void GenOrderedPool::Worker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    int slot = queue_.front();
    queue_.erase(queue_.begin());
    lock.unlock();
    GenStatus status;
    RunCaptured(&status, [&] { work_(slot); });
    lock.lock();
    Merge(&status_, status);
    finished_[static_cast<std::size_t>(slot)] = 1;
    done_.notify_all();
  }
}

GenStatus Gen_RunTasks(std::vector<std::function<void()>>& tasks, int threads,
                       const std::function<void()>& whileWaiting) {
  std::atomic<std::size_t> next{0};
  GenStatus first;
  std::mutex statusMutex;
  auto body = [&] {
    GenStatus status;
    RunCaptured(&status, [&] {
      for (std::size_t i; !status.failed() && (i = next.fetch_add(1)) < tasks.size();) tasks[i]();
    });
    std::lock_guard<std::mutex> lock(statusMutex);
    Merge(&first, status);
  };
  const int extra = std::min<int>(threads, static_cast<int>(tasks.size())) - 1;
  std::vector<std::thread> workers;
  WorkersDone done;
  try {
    workers.reserve(static_cast<std::size_t>(std::max(extra, 0)));
    for (int i = 0; i < extra; ++i) {
      StartBlocked(&workers, [&] {
        body();
        done.Count();
      });
    }
  } catch (const std::bad_alloc&) {  // no room for the list: the caller alone
  }
  body();
  if (whileWaiting) done.Await(static_cast<int>(workers.size()), whileWaiting);
  for (std::thread& t : workers) t.join();
  return first;
}

}  // namespace zervgen
