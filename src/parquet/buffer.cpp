// parquet/buffer.cpp: the growable byte buffer of the Parquet writer.
#include "parquet/buffer.h"

#include <cstdlib>
#include <utility>

#include "base/env.h"

namespace zervgen {

ParquetBuffer::~ParquetBuffer() { Release(); }

ParquetBuffer::ParquetBuffer(ParquetBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      ok_(std::exchange(other.ok_, true)) {}

ParquetBuffer& ParquetBuffer::operator=(ParquetBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    ok_ = std::exchange(other.ok_, true);
  }
  return *this;
}

void ParquetBuffer::Release() {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  ok_ = true;
}

char* ParquetBuffer::ReserveSlow(std::size_t n) {
  if (!ok_) return nullptr;
  if (n > SIZE_MAX / 2 - size_) {
    ok_ = false;
    return nullptr;
  }
  std::size_t bigger = capacity_ < 256 ? 256 : capacity_ * 2;
  if (bigger < size_ + n) bigger = size_ + n;
  void* p = Env_Reallocate(data_, bigger);
  if (p == nullptr) {
    ok_ = false;
    return nullptr;
  }
  data_ = static_cast<char*>(p);
  capacity_ = bigger;
  return data_ + size_;
}

void ParquetBuffer::PutU32(std::uint32_t v) {
  char* p = Grow(4);
  if (p == nullptr) return;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

void ParquetBuffer::PutU64(std::uint64_t v) {
  char* p = Grow(8);
  if (p == nullptr) return;
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

}  // namespace zervgen
