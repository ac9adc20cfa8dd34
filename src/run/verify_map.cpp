// run/verify_map.cpp: the mapped comparison and its bus-error handler.
#include "run/verify_map.h"

#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstring>

namespace zervgen {
namespace {

// The range of mapped bytes the calling thread is comparing, and where to
// go when a read there raises a bus error (the file was cut short under the
// mapping): the comparison ends rather than the run. Volatile, and fenced
// where it is set, so that the compiler keeps every store before the
// comparison that the handler may have to see.
struct MappedRange {
  sigjmp_buf* volatile jump = nullptr;
  const char* volatile low = nullptr;
  const char* volatile high = nullptr;
};
thread_local MappedRange comparing;
// The bus-error action in place before a check put its own.
struct sigaction previousBusAction;

void OnBusError(int sig, siginfo_t* info, void* context) {
  const MappedRange& range = comparing;
  const char* const at = static_cast<const char*>(info->si_addr);
  if (range.jump != nullptr && info->si_code > 0 && at >= range.low && at < range.high) {
    siglongjmp(*range.jump, 1);
  }
  // Not a read of the comparison: what the action before does.
  if ((previousBusAction.sa_flags & SA_SIGINFO) != 0) {
    previousBusAction.sa_sigaction(sig, info, context);
  } else if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN) {
    previousBusAction.sa_handler(sig);
  } else {
    // The default: a fault comes again when this returns, a signal sent
    // waits until then.
    (void)::sigaction(sig, &previousBusAction, nullptr);
    if (info->si_code <= 0) (void)::raise(sig);
  }
}

}  // namespace

GenBusErrorGuard::GenBusErrorGuard() {
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == OnBusError) {
    ready_ = true;  // an outer guard's
    return;
  }
  struct sigaction action = current;
  action.sa_sigaction = OnBusError;
  action.sa_flags = (current.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
  previousBusAction = current;
  installed_ = ready_ = ::sigaction(SIGBUS, &action, nullptr) == 0;
}

GenBusErrorGuard::~GenBusErrorGuard() {
  if (installed_) (void)::sigaction(SIGBUS, &previousBusAction, nullptr);
}

bool Gen_SameMapped(const char* low, const char* high, const char* mapped, const char* data,
                    std::size_t n) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 1) != 0) {
    comparing.jump = nullptr;
    return false;
  }
  comparing.low = low;
  comparing.high = high;
  comparing.jump = &jump;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const bool same = std::memcmp(mapped, data, n) == 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  comparing.jump = nullptr;
  return same;
}

}  // namespace zervgen
