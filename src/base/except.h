// base/except.h: checks and exception classes. Owns the fixed pool of 20 handler
// frames and the two lists threaded through it (free and active). A failed
// check prints two location lines on standard output (standard error while
// that carries relation data) and raises a class; the raise unwinds with a
// C++ exception to the most recent handler that accepts the class,
// discarding the handlers above it.
//
// Threads: the handler stack, the location lines and everything a raise
// sets off belong to the main thread. A worker thread computes and returns
// a status; it never raises through the handler stack and never prints.
// While a thread captures (XeptCapture), a failed check or a raise there
// fills in the thread's XeptStatus (the first one only) and throws
// XeptCaptured, which the worker's own loop catches. The main thread then
// replays the status with Xept_Replay: it prints the lines the failure
// would have printed and raises its class, once.
#ifndef ZERVGEN_SRC_BASE_EXCEPT_H_
#define ZERVGEN_SRC_BASE_EXCEPT_H_

#include <cstdint>

namespace zervgen {

inline constexpr std::int16_t XEPT_ANY = 0;
inline constexpr std::int16_t XEPT_CODING = 1;
inline constexpr std::int16_t XEPT_REQUIREMENT = 2;
inline constexpr std::int16_t XEPT_ENSURE = 3;
inline constexpr std::int16_t XEPT_ASSERTION = 4;
inline constexpr std::int16_t XEPT_RESOURCE = 6;
inline constexpr std::int16_t XEPT_GEN_FAILED = 32;
inline constexpr std::int16_t XEPT_GEN_DISK_FULL = 33;

inline constexpr int XEPT_MAX_HANDLERS = 20;

// One handler frame. The "jump buffer" of the classic design is the frame
// itself: a handler site catches XeptRaised and handles it only when
// `frame` is the frame it pushed.
struct XeptFrame {
  std::int16_t cls;
  XeptFrame* link;
};

// What a raise throws.
struct XeptRaised {
  std::int16_t cls;
  XeptFrame* frame;
};

// A failure captured in a worker thread: its class and location, and the
// text of its location line (empty for a bare raise).
struct XeptStatus {
  std::int16_t cls = 0;  // 0: no failure
  const char* file = nullptr;
  const char* func = nullptr;
  int line = 0;
  char text[256] = {};
};

// What a raise throws in a capturing thread. The status holds the details.
struct XeptCaptured {};

// Makes the calling thread capture failures into `status` while the object
// lives. For worker threads only.
class XeptCapture {
 public:
  explicit XeptCapture(XeptStatus* status);
  ~XeptCapture();
  XeptCapture(const XeptCapture&) = delete;
  XeptCapture& operator=(const XeptCapture&) = delete;

 private:
  XeptStatus* saved_;
};

// Records a failure of class `cls` in the calling thread's status when it
// captures (only the first failure is kept) and throws XeptCaptured;
// otherwise prints the location line and raises at once.
[[noreturn, gnu::cold]] void Xept_Fail(std::int16_t cls, const char* text, const char* file,
                                       const char* func, int line);

// Main thread: prints the lines of a captured failure and raises its class.
// A status without failure returns at once.
void Xept_Replay(const XeptStatus& status);

// Called first by every ending that bypasses the handlers (no handler
// accepts a raise), so that the run's files are removed before the process
// ends. Null clears it.
void Xept_SetLastResort(void (*cleanup)());

// Empties the active list and puts all frames on the free list in array order.
void Xept_Reset();

// Pushes a handler for `cls` and returns its frame. A full stack prints
// "Xept_PushHandler: stack full" and raises XEPT_RESOURCE.
XeptFrame* Xept_GetBuffer(std::int16_t cls);

// Takes the top handler off the stack without a raise (the driver's, after
// a run that raised nothing); an empty stack is a coding error.
void Xept_PopHandler();

// Raises `cls`: never returns. Throws XeptRaised for the accepting frame, or
// ends the process with status 1 when no handler accepts it.
[[noreturn]] void Xept_RaiseException(std::int16_t cls);

// Number of frames on the active list (for tests and assertions).
int Xept_ActiveCount();

// Prints "File %s, Function %s, line %d\n%s\n" on standard output, or on
// standard error while standard output carries relation data.
void Xept_PrintLocation(const char* file, const char* func, int line, const char* text);

// Prints the class line in a location line and raises `cls`. Used after a
// run-time failure that its operation has already explained.
[[noreturn, gnu::cold]] void Xept_Raise(std::int16_t cls, const char* file, const char* func,
                                        int line);

// The failed forms of the three checks: requirement (class 2), ensure (3),
// assertion (4). Prints the failed-check line and the class line, then raises.
[[noreturn, gnu::cold]] void Xept_FailedCheck(std::int16_t cls, const char* text, const char* file,
                                              const char* func, int line);

// On: location lines go to standard error, so that they never mix with
// relation data on standard output. The run driver sets it, once the run's
// plan is made: on when a relation goes to standard output or the run
// checks files, off otherwise.
void Xept_SetCheckLinesToStderr(bool on);

}  // namespace zervgen

#define CHECK_REQUIRE_TEXT(expr, text)                                                         \
  ((expr) ? (void)0                                                                            \
          : ::zervgen::Xept_FailedCheck(::zervgen::XEPT_REQUIREMENT, text, __FILE__, __func__, \
                                        __LINE__))
#define CHECK_ENSURE_TEXT(expr, text) \
  ((expr)                             \
       ? (void)0                      \
       : ::zervgen::Xept_FailedCheck(::zervgen::XEPT_ENSURE, text, __FILE__, __func__, __LINE__))
#define CHECK_ASSERT_TEXT(expr, text)                                                        \
  ((expr) ? (void)0                                                                          \
          : ::zervgen::Xept_FailedCheck(::zervgen::XEPT_ASSERTION, text, __FILE__, __func__, \
                                        __LINE__))

// The expression text printed is the source text of the condition.
#define CHECK_REQUIRE(expr) CHECK_REQUIRE_TEXT(expr, #expr)
#define CHECK_ENSURE(expr) CHECK_ENSURE_TEXT(expr, #expr)
#define CHECK_ASSERT(expr) CHECK_ASSERT_TEXT(expr, #expr)

// Raise after a run-time failure whose messages have already been written.
#define XEPT_RAISE(cls) ::zervgen::Xept_Raise(cls, __FILE__, __func__, __LINE__)

#endif  // ZERVGEN_SRC_BASE_EXCEPT_H_
