// base/signals.cpp: the ending signals and the relation-file record.
#include "base/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zervgen {
namespace {

// The record of the relation file being written. The name is copied, so
// the handler never follows a pointer into a buffer the main flow may
// change. The identity is taken while the file is open, so its inode
// cannot be reused by another file before the removal compares it.
constexpr std::size_t kRecordNameSize = kRecordNameChars + 1;
volatile int relationFd = -1;
char relationName[kRecordNameSize];
char removedName[kRecordNameSize];
dev_t relationDev = 0;
ino_t relationIno = 0;
volatile bool identityKnown = false;

// What the name now leads to, compared with the file written.
RemovalOutcome Identify() {
  if (!identityKnown) return RemovalOutcome::kFailed;
  struct stat st {};
  if (::fstatat(AT_FDCWD, relationName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? RemovalOutcome::kGone : RemovalOutcome::kFailed;
  }
  if (st.st_dev != relationDev || st.st_ino != relationIno) return RemovalOutcome::kReplaced;
  return RemovalOutcome::kRemoved;
}

void ClearRecord() {
  relationFd = -1;
  identityKnown = false;
  relationName[0] = '\0';
}

}  // namespace

namespace {

// Whether the default action of `sig` leaves the process running (it is
// ignored, continues or stops it), `sig` cannot be caught, or the run
// ignores it on purpose.
bool EndsNoRun(int sig) {
  switch (sig) {
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGKILL:
    case SIGSTOP:
    case SIGPIPE:
    case SIGXFSZ:
      return true;
    default:
      return false;
  }
}

}  // namespace

void Signals_EndingSet(sigset_t* set) {
  sigemptyset(set);
  // Every other number up to the last real-time signal; the C library's
  // own signals between SIGSYS and SIGRTMIN are refused by sigaddset.
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    if (!EndsNoRun(sig) && !Signals_IsFault(sig)) sigaddset(set, sig);
  }
}

bool Signals_IsFault(int sig) {
  return sig == SIGILL || sig == SIGTRAP || sig == SIGBUS || sig == SIGFPE || sig == SIGSEGV ||
         sig == SIGSYS;
}

bool Signals_IsEnding(int sig) {
  sigset_t set;
  Signals_EndingSet(&set);
  return sigismember(&set, sig) == 1;
}

namespace {
// Set once by each worker thread for itself; read by the signal handler.
thread_local bool onWorkerThread = false;
}  // namespace

void Signals_MarkWorkerThread() { onWorkerThread = true; }

bool Signals_OnWorkerThread() { return onWorkerThread; }

void Signals_LeadCpuLimit() {
  struct rlimit lim {};
  if (::getrlimit(RLIMIT_CPU, &lim) != 0) return;
  if (lim.rlim_max == RLIM_INFINITY || lim.rlim_cur != lim.rlim_max || lim.rlim_max < 1) return;
  if (lim.rlim_max >= 2) {
    lim.rlim_cur = lim.rlim_max - 1;
    (void)::setrlimit(RLIMIT_CPU, &lim);
    return;
  }
  struct sigevent event {};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGXCPU;
  timer_t timer;
  if (::timer_create(CLOCK_PROCESS_CPUTIME_ID, &event, &timer) != 0) return;
  struct itimerspec when {};
  when.it_value.tv_nsec = 500000000;  // of the process's CPU time, all threads
  (void)::timer_settime(timer, TIMER_ABSTIME, &when, nullptr);
}

SignalGuard::SignalGuard() {
  sigset_t block;
  Signals_EndingSet(&block);
  pthread_sigmask(SIG_BLOCK, &block, &saved_);
}

SignalGuard::~SignalGuard() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

void Signals_SetRelationFile(int fd, const char* name) {
  if (fd < 0 || name == nullptr) {
    ClearRecord();
    return;
  }
  std::snprintf(relationName, sizeof relationName, "%s", name);
  struct stat st {};
  identityKnown = ::fstat(fd, &st) == 0;
  relationDev = st.st_dev;
  relationIno = st.st_ino;
  relationFd = fd;
}

Removal Signals_RemoveRelationFile() {
  if (relationName[0] == '\0') return Removal{RemovalOutcome::kNone, nullptr};
  RemovalOutcome outcome = Identify();
  if (outcome == RemovalOutcome::kRemoved && ::unlink(relationName) != 0) {
    outcome = RemovalOutcome::kFailed;
  }
  if (relationFd >= 0) ::close(relationFd);
  std::size_t len = 0;
  removedName[0] = '\0';
  Signals_AppendText(removedName, sizeof removedName - 1, &len, relationName);
  removedName[len] = '\0';
  ClearRecord();
  return Removal{outcome, removedName};
}

int Signals_CloseRelationFile() {
  if (relationFd < 0) return 0;
  const int fd = relationFd;
  relationFd = -1;
  if (::close(fd) != 0) return errno;
  ClearRecord();
  return 0;
}

void Signals_AppendText(char* buf, std::size_t cap, std::size_t* len, const char* text) {
  std::size_t n = std::strlen(text);
  if (*len >= cap) return;
  if (n > cap - *len) n = cap - *len;
  std::memcpy(buf + *len, text, n);
  *len += n;
}

std::size_t Signals_RemovalNote(const Removal& removal, char* buf, std::size_t cap) {
  const char* tail = nullptr;
  switch (removal.outcome) {
    case RemovalOutcome::kNone:
      return 0;
    case RemovalOutcome::kRemoved:
      tail = "', deleted.\n";
      break;
    case RemovalOutcome::kGone:
      tail = "', not deleted: it was renamed or removed during the run.\n";
      break;
    case RemovalOutcome::kReplaced:
      tail = "', not deleted: the name now belongs to another file.\n";
      break;
    case RemovalOutcome::kFailed:
      tail = "', not deleted: it could not be removed.\n";
      break;
  }
  std::size_t len = 0;
  Signals_AppendText(buf, cap, &len, "           File, '");
  Signals_AppendText(buf, cap, &len, removal.name);
  Signals_AppendText(buf, cap, &len, tail);
  return len;
}

}  // namespace zervgen
