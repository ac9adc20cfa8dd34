// base/status.cpp: the texts of a status.
#include "base/status.h"

#include <cstring>
#include <ostream>
#include <utility>

namespace zervgen {

std::string Status::what() const {
  if (code_ == StatusCode::kNoMemory) return "out of memory";
  if (error_ == 0) return what_;
  return what_.empty() ? std::strerror(error_) : what_ + ": " + std::strerror(error_);
}

std::string Status::message() const {
  if (ok()) return "OK";
  std::string text = what();
  if (text.empty()) text = StatusCodeName(code_);
  return file_.empty() ? text : file_ + ": " + text;
}

Status Status::WithFile(std::string_view file) && {
  if (!ok() && file_.empty()) file_ = file;
  return std::move(*this);
}

const char* StatusCodeName(StatusCode code) {
  switch (code) {
    case StatusCode::kOk:
      return "OK";
    case StatusCode::kNoMemory:
      return "NoMemory";
    case StatusCode::kInvalidArgument:
      return "InvalidArgument";
    case StatusCode::kOutOfRange:
      return "OutOfRange";
    case StatusCode::kCodecFailed:
      return "CodecFailed";
    case StatusCode::kCorrupt:
      return "Corrupt";
    case StatusCode::kNotFound:
      return "NotFound";
    case StatusCode::kIoError:
      return "IoError";
    case StatusCode::kStopped:
      return "Stopped";
    case StatusCode::kUnavailable:
      return "Unavailable";
    case StatusCode::kAlreadyExists:
      return "AlreadyExists";
  }
  return "Unknown";
}

std::ostream& operator<<(std::ostream& out, StatusCode code) { return out << StatusCodeName(code); }

std::ostream& operator<<(std::ostream& out, const Status& status) {
  return out << StatusCodeName(status.code()) << " (" << status.message() << ")";
}

}  // namespace zervgen
