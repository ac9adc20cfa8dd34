// store/store_thread.cpp: the store's threads and the ending signals.
#include "store/store_thread.h"

#include <pthread.h>

#include <utility>

#include "base/signals.h"

namespace zervgen {

bool Store_EndingSignalPending() {
  sigset_t pending;
  sigset_t ending;
  if (::sigpending(&pending) != 0) return false;
  Signals_EndingSet(&ending);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&ending, sig) == 1 && sigismember(&pending, sig) == 1) return true;
  }
  return false;
}

void EndingSignalHold::Hold() {
  if (held_) return;
  sigset_t ending;
  Signals_EndingSet(&ending);
  (void)::pthread_sigmask(SIG_BLOCK, &ending, &saved_);
  held_ = true;
}

void EndingSignalHold::Release() {
  if (!held_) return;
  held_ = false;
  (void)::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

std::thread Store_StartThread(std::function<void()> body) {
  // Blocked while the thread is made, so it starts with them blocked.
  sigset_t blocked;
  sigset_t saved;
  Signals_EndingSet(&blocked);
  sigaddset(&blocked, SIGPIPE);
  (void)::pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  std::thread thread([body = std::move(body)] {
    Signals_MarkWorkerThread();
    body();
  });
  (void)::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return thread;
}

}  // namespace zervgen
