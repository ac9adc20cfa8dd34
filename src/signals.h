// signals.h: the run's identity and what a signal may end. Owns the program
// name as invoked, the set of signals that end a run, and the record of the
// relation file being written, which the signal handler removes. Sits below
// the generation engine and the run driver, which both use it.
#ifndef ZERVGEN_SRC_SIGNALS_H_
#define ZERVGEN_SRC_SIGNALS_H_

#include <signal.h>

namespace zervgen {

// The program name as invoked; "" until option parsing begins.
extern const char* programName;

// The signals that end a run through the signal handler and that are held
// while a file comes into being or goes away together with its record.
void Signals_EndingSet(sigset_t* set);

// Records the relation file being written (descriptor and name) for the
// signal handler; (-1, null) clears the record. The name is copied.
void Main_SetRelationFile(int fd, const char* name);

// Async-signal-safe: closes and removes the recorded relation file and
// clears the record. Returns the name of the removed file (valid until the
// next record is set), or null when none was recorded.
const char* Signals_RemoveRelationFile();

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

#endif  // ZERVGEN_SRC_SIGNALS_H_
