// output/stream.cpp: the buffered sink the field writers format into.
#include <cerrno>
#include <cstdlib>

#include "base/env.h"
#include "base/util.h"
#include "output/output.h"

namespace zervgen {

OutputStream::OutputStream(char* buffer, std::size_t capacity)
    : fd_(-1), owned_(false), begin_(buffer), pos_(buffer), end_(buffer + capacity) {}

OutputStream::OutputStream(int fd, std::size_t capacity) : fd_(fd) {
  if (capacity == 0) return;
  begin_ = static_cast<char*>(Env_Reallocate(nullptr, capacity));
  if (begin_ == nullptr) {
    error_ = ENOMEM;
    return;
  }
  pos_ = begin_;
  end_ = begin_ + capacity;
}

OutputStream::~OutputStream() {
  if (owned_) std::free(begin_);
}

void OutputStream::Fail(int err) {
  error_ = err;
  end_ = pos_;  // no room from now on: every Reserve takes the slow path
}

bool OutputStream::WriteOut() {
  if (pos_ == begin_) return true;
  int err = Util_WriteAll(fd_, begin_, size());
  if (err != 0) {
    Fail(err);
    return false;
  }
  pos_ = begin_;
  return true;
}

bool OutputStream::Grow(std::size_t need) {
  std::size_t capacity = static_cast<std::size_t>(end_ - begin_);
  std::size_t bigger = capacity * 2 > need ? capacity * 2 : need;
  std::size_t used = size();
  char* p = owned_ ? static_cast<char*>(Env_Reallocate(begin_, bigger)) : nullptr;
  if (p == nullptr) {
    Fail(ENOMEM);
    return false;
  }
  begin_ = p;
  pos_ = p + used;
  end_ = p + bigger;
  return true;
}

char* OutputStream::ReserveSlow(std::size_t n) {
  if (error_ != 0) return nullptr;
  if (fd_ >= 0) {
    if (!WriteOut()) return nullptr;
    if (static_cast<std::size_t>(end_ - pos_) >= n) return pos_;
  }
  return Grow(size() + n) ? pos_ : nullptr;
}

bool OutputStream::Flush() {
  if (error_ != 0) return false;
  return fd_ < 0 || WriteOut();
}

}  // namespace zervgen
