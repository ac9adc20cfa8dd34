// gen_pool.cpp: thread count and worker pools.
#include "gen_pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <system_error>

#include "signals.h"

namespace zervgen {
namespace {

int threadOverride = 0;

// Starts a thread with the termination signals blocked and adds it to
// `threads`. A thread that cannot be had (memory or process limits) is no
// failure: the work is done by fewer threads.
void StartBlocked(std::vector<std::thread>* threads, const std::function<void()>& body) {
  sigset_t block;
  sigset_t saved;
  Signals_EndingSet(&block);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  try {
    threads->emplace_back(body);
  } catch (const std::system_error&) {
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

}  // namespace

int Gen_Threads() {
  if (threadOverride > 0) return threadOverride;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

void Gen_SetThreads(int threads) { threadOverride = threads > 0 ? threads : 0; }

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
  if (threads_.empty()) {  // no thread could be started: work here
    finished_[static_cast<std::size_t>(slot)] = 0;
    work_(slot);
    finished_[static_cast<std::size_t>(slot)] = 1;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_[static_cast<std::size_t>(slot)] = 0;
    queue_.push_back(slot);
  }
  wake_.notify_one();
}

void GenOrderedPool::WaitDone(int slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return finished_[static_cast<std::size_t>(slot)] || error_; });
  if (error_) std::rethrow_exception(error_);
}

void GenOrderedPool::Worker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    int slot = queue_.front();
    queue_.erase(queue_.begin());
    lock.unlock();
    std::exception_ptr error;
    try {
      work_(slot);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !error_) error_ = error;
    finished_[static_cast<std::size_t>(slot)] = 1;
    done_.notify_all();
  }
}

void Gen_RunTasks(std::vector<std::function<void()>>& tasks, int threads,
                  const std::function<void()>& whileWaiting) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr error;
  std::mutex errorMutex;
  auto body = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < tasks.size();) {
      try {
        tasks[i]();
      } catch (...) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (!error) error = std::current_exception();
      }
    }
  };
  const int extra = std::min<int>(threads, static_cast<int>(tasks.size())) - 1;
  std::vector<std::thread> workers;
  WorkersDone done;
  for (int i = 0; i < extra; ++i) {
    StartBlocked(&workers, [&] {
      body();
      done.Count();
    });
  }
  body();
  if (whileWaiting) done.Await(static_cast<int>(workers.size()), whileWaiting);
  for (std::thread& t : workers) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace zervgen
