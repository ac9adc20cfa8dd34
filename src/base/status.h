// base/status.h: what an operation outside the checked generation path hands
// back when it can fail: success, or a kind of failure with a message that
// names the file it concerns. The Parquet writer, the codecs, -verify and the
// option settings beyond the classic ones return it; their callers on the
// main thread alone turn it into a message, a report line or an exception.
//
// Success and "no memory" carry no text and never allocate, so that a status
// can be made and passed on where memory has just run out.
#ifndef ZERVGEN_SRC_BASE_STATUS_H_
#define ZERVGEN_SRC_BASE_STATUS_H_

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace zervgen {

// The kinds of failure. Callers decide by kind, never by the message.
enum class StatusCode : std::uint8_t {
  kOk = 0,
  kNoMemory,         // a buffer, table or library context could not be had
  kInvalidArgument,  // a request the operation does not serve
  kOutOfRange,       // a value outside its type's range (a date, a decimal)
  kCodecFailed,      // the compression library refused the data
  kCorrupt,          // a file's bytes are not what they must be
  kNotFound,         // a file that must be there is not
  kIoError,          // the system failed an open, read or write
  kStopped,          // the consumer of the data asked to stop; not a fault
  kUnavailable,      // a service did not answer now; trying again may succeed
  kAlreadyExists,    // what was to be created new is there already
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // success

  static Status Ok() { return Status(); }
  static Status NoMemory() { return Status(StatusCode::kNoMemory, 0, {}, {}); }
  static Status InvalidArgument(std::string_view what = {}) {
    return Status(StatusCode::kInvalidArgument, 0, {}, what);
  }
  static Status OutOfRange(std::string_view what = {}) {
    return Status(StatusCode::kOutOfRange, 0, {}, what);
  }
  static Status CodecFailed(std::string_view what = {}) {
    return Status(StatusCode::kCodecFailed, 0, {}, what);
  }
  static Status Corrupt(std::string_view file, std::string_view what) {
    return Status(StatusCode::kCorrupt, 0, file, what);
  }
  static Status NotFound(std::string_view file) {
    return Status(StatusCode::kNotFound, 0, file, "missing");
  }
  // `error` is the errno of the failed call; 0 when `what` says it all.
  static Status IoError(std::string_view file, std::string_view what, int error = 0) {
    return Status(StatusCode::kIoError, error, file, what);
  }
  static Status Stopped() { return Status(StatusCode::kStopped, 0, {}, {}); }
  static Status Unavailable(std::string_view file, std::string_view what, int error = 0) {
    return Status(StatusCode::kUnavailable, error, file, what);
  }
  static Status AlreadyExists(std::string_view file, std::string_view what) {
    return Status(StatusCode::kAlreadyExists, 0, file, what);
  }

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  bool IsNoMemory() const { return code_ == StatusCode::kNoMemory; }
  bool IsNotFound() const { return code_ == StatusCode::kNotFound; }
  bool IsStopped() const { return code_ == StatusCode::kStopped; }
  // Whether the same request may succeed when made again (a service that
  // did not answer); never for a failure the data or the system explains.
  bool IsRetryable() const { return code_ == StatusCode::kUnavailable; }

  // The errno of the failed call, 0 when there was none.
  int error() const { return error_; }
  // The file the failure concerns; empty when none.
  const std::string& file() const { return file_; }
  // What failed, without the file: "out of memory" for kNoMemory; the
  // caller's words, then ": " and the system's text of the errno when there
  // is one; empty for success.
  std::string what() const;
  // The whole message: "<file>: <what>", or <what> alone without a file;
  // "OK" for success.
  std::string message() const;

  // The same status, the file named when it names none yet.
  Status WithFile(std::string_view file) &&;

  // Statuses of one kind compare equal to that kind.
  friend bool operator==(const Status& s, StatusCode code) { return s.code_ == code; }

 private:
  Status(StatusCode code, int error, std::string_view file, std::string_view what)
      : code_(code), error_(error), file_(file), what_(what) {}

  StatusCode code_ = StatusCode::kOk;
  int error_ = 0;
  std::string file_;
  std::string what_;
};

// The name of a kind, as in "IoError"; for test output and logs.
const char* StatusCodeName(StatusCode code);
std::ostream& operator<<(std::ostream& out, StatusCode code);
std::ostream& operator<<(std::ostream& out, const Status& status);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_STATUS_H_
