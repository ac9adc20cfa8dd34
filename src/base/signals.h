// base/signals.h: what a signal may end. Owns the set of signals that end a run
// and the record of the relation file being written, which the signal
// handler and the writer's failure paths remove: only while the name still
// leads to the file the run created. Sits below the generation engine and
// the run driver, which both use it.
#ifndef ZERVGEN_SRC_BASE_SIGNALS_H_
#define ZERVGEN_SRC_BASE_SIGNALS_H_

#include <signal.h>

#include <cstddef>

#include "base/progname.h"

namespace zervgen {

// Every signal whose default action ends the process and that can be
// caught ends a run through the signal handler, SIGPIPE and SIGXFSZ aside:
// the run ignores those two, so that a closed pipe or a file-size limit
// shows as a failed write. Besides the six the handler has always been
// installed for, each is left ignored when the run starts with it ignored
// (nohup, a background job).

// The signals that end a run as "Caught termination signal": all of the
// above but the faults. Worker threads block them all, so the handler runs
// on the main thread; they are held while a file comes into being or goes
// away together with its record, and while the handler runs.
// Async-signal-safe.
void Signals_EndingSet(sigset_t* set);
bool Signals_IsEnding(int sig);

// The faults of the process itself, which end a run as "Terminated by
// unexpected signal": SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV and SIGSYS.
// Never blocked: a fault while it is blocked kills the process outright.
// Async-signal-safe.
bool Signals_IsFault(int sig);

// Marks the calling thread as one of the run's workers, for the life of the
// thread. A fault that lands on a worker (raised there, or sent to the
// process and taken by it) is handed to the main thread, which records and
// writes the files and so alone cleans up.
void Signals_MarkWorkerThread();
// Async-signal-safe: whether the calling thread was marked a worker.
bool Signals_OnWorkerThread();

// A CPU-time limit ends a run through SIGXCPU, which the kernel sends at
// the soft limit; at the hard limit it sends SIGKILL, which no cleanup
// follows. When the two are equal (as "ulimit -t N" sets them), lowers the
// soft limit by a second, or, for a hard limit of one second, has a timer
// on the process's CPU time send SIGXCPU at half a second. For a run that
// handles SIGXCPU.
void Signals_LeadCpuLimit();

// The longest relation file name the record keeps: every name the command
// line lets the run make (a prefix of the longest accepted length with a
// Parquet relation's ending, or a part file's name) fits whole, so the
// handler removes the very file written and the report names it.
inline constexpr std::size_t kRecordNameChars = 527;

// Records the relation file being written (descriptor, name and the file's
// identity, device and inode) for the signal handler; (-1, null) clears the
// record. The name is copied.
// REQUIRES: strlen(name) <= kRecordNameChars
void Signals_SetRelationFile(int fd, const char* name);

// What became of the recorded relation file.
enum class RemovalOutcome {
  kNone,      // no file was recorded
  kRemoved,   // closed and removed
  kGone,      // its name leads to no file any more: nothing removed
  kReplaced,  // its name now leads to another file: nothing removed
  kFailed,    // it could not be removed
};
struct Removal {
  RemovalOutcome outcome;
  const char* name;  // the recorded name (valid until the next record); null for kNone
};

// Async-signal-safe: closes the recorded relation file and removes it, but
// only when its name still leads to the very file written (same device and
// inode); clears the record.
Removal Signals_RemoveRelationFile();

// Closes the recorded descriptor. On success clears the record and returns
// 0; on failure returns the errno and keeps the name and identity, so that
// Signals_RemoveRelationFile can still remove the file.
int Signals_CloseRelationFile();

// Async-signal-safe: the report line of a removal ("           File, '%s',
// deleted.\n" or why it was not deleted) into `buf`; returns its length, 0
// for kNone. The line is cut to `cap` characters.
std::size_t Signals_RemovalNote(const Removal& removal, char* buf, std::size_t cap);

// Async-signal-safe: appends `text` to `buf` at `*len`, cut to `cap`
// characters in all; for lines built where no formatting may be used.
void Signals_AppendText(char* buf, std::size_t cap, std::size_t* len, const char* text);

// Holds the ending signals while a file is created or closed and its
// record set or cleared, so the handler never sees a half-made record.
class SignalGuard {
 public:
  SignalGuard();
  ~SignalGuard();
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_SIGNALS_H_
