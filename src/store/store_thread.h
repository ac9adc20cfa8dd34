// store/store_thread.h: the store's threads and the run's ending signals.
// A signal handler cannot use libcurl, so while an object is being written
// the main thread holds the ending signals and polls for one: the store
// then aborts what is in flight and lets the signal through, and the
// handler ends the run as it ends any other.
#ifndef ZERVGEN_SRC_STORE_STORE_THREAD_H_
#define ZERVGEN_SRC_STORE_STORE_THREAD_H_

#include <signal.h>

#include <functional>
#include <thread>

namespace zervgen {

// Whether an ending signal is pending for the calling thread or the
// process (held, not yet delivered). Async-signal-safe.
bool Store_EndingSignalPending();

// Holds the ending signals on the calling thread from Hold() to Release()
// (or destruction). Release() restores the mask from before: a pending
// signal is then delivered.
class EndingSignalHold {
 public:
  EndingSignalHold() = default;
  ~EndingSignalHold() { Release(); }
  EndingSignalHold(const EndingSignalHold&) = delete;
  EndingSignalHold& operator=(const EndingSignalHold&) = delete;

  void Hold();
  void Release();
  bool held() const { return held_; }

 private:
  sigset_t saved_{};
  bool held_ = false;
};

// A thread of the store: the ending signals and SIGPIPE are blocked on it
// before `body` runs (a closed pipe shows as a failed write), and it is
// marked a worker.
std::thread Store_StartThread(std::function<void()> body);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_STORE_STORE_THREAD_H_
