// signal_list.h: the signals that must end a run cleanly, as the tests know
// them. The list is not read from the program: a signal the program forgot
// to handle would drop out of it too, and the tests that send every one of
// them would pass. It is learnt from the system instead (which signals end
// a process when nobody catches them, and which can be caught), with the
// two the run takes as failed writes set aside by hand.
#ifndef ZERVGEN_TESTS_SIGNAL_LIST_H_
#define ZERVGEN_TESTS_SIGNAL_LIST_H_

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace zervgen_test {

// What `sig` does to a process that neither blocks nor catches it.
enum class DefaultAction { kEnds, kLeavesRunning, kCannotBeCaught };

// Learns the default action of `sig` from a child that raises it at its
// default action, without a core file; the child of a signal that stops it
// is killed. kCannotBeCaught: no handler can be installed (SIGKILL,
// SIGSTOP, and the C library's own signals).
inline DefaultAction DefaultActionOf(int sig) {
  const pid_t child = ::fork();
  if (child == 0) {
    struct sigaction catcher {};
    catcher.sa_handler = [](int) {};
    if (::sigaction(sig, &catcher, nullptr) != 0) ::_exit(3);
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    ::signal(sig, SIG_DFL);
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_UNBLOCK, &all, nullptr);
    ::raise(sig);
    ::_exit(0);
  }
  if (child < 0) return DefaultAction::kEnds;  // no probe: kept, so nothing goes untested
  int status = 0;
  while (::waitpid(child, &status, WUNTRACED) < 0) {
  }
  if (WIFSTOPPED(status)) {
    ::kill(child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0) {
    }
    return DefaultAction::kLeavesRunning;
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == sig) return DefaultAction::kEnds;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) return DefaultAction::kCannotBeCaught;
  return DefaultAction::kLeavesRunning;
}

// The faults of the process itself, which end a run as "Terminated by
// unexpected signal": SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV, SIGSYS.
inline bool IsFaultSignal(int sig) {
  return sig == SIGILL || sig == SIGTRAP || sig == SIGBUS || sig == SIGFPE || sig == SIGSEGV ||
         sig == SIGSYS;
}

// Every signal whose default action ends the process and that a process
// can catch, SIGPIPE and SIGXFSZ aside (the run takes them as failed
// writes): the signals that end a run cleanly, the faults among them.
inline std::vector<int> EndingSignals() {
  std::vector<int> signals;
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    if (sig == SIGPIPE || sig == SIGXFSZ) continue;
    if (DefaultActionOf(sig) == DefaultAction::kEnds) signals.push_back(sig);
  }
  return signals;
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_SIGNAL_LIST_H_
