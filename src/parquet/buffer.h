// parquet/buffer.h: the growable byte buffer every part of the Parquet writer builds
// into; its operations hand back a Status (base/status.h). The buffer takes its
// memory through the run's environment (Env_Reallocate) and never throws: a
// failed growth is sticky and shows in ok(), so that a whole encoding step
// can be checked once at its end.
#ifndef ZERVGEN_SRC_PARQUET_BUFFER_H_
#define ZERVGEN_SRC_PARQUET_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/status.h"

namespace zervgen {

class ParquetBuffer {
 public:
  ParquetBuffer() = default;
  ~ParquetBuffer();
  ParquetBuffer(ParquetBuffer&& other) noexcept;
  ParquetBuffer& operator=(ParquetBuffer&& other) noexcept;
  ParquetBuffer(const ParquetBuffer&) = delete;
  ParquetBuffer& operator=(const ParquetBuffer&) = delete;

  // Room for `n` more bytes at the returned position (to be marked with
  // Commit or Grow); nullptr, and failed from then on, when it cannot be had.
  char* Reserve(std::size_t n) {
    if (capacity_ - size_ >= n && ok_) return data_ + size_;
    return ReserveSlow(n);
  }
  // Adds `n` bytes to the size; returns where they start, or nullptr.
  char* Grow(std::size_t n) {
    char* p = Reserve(n);
    if (p != nullptr) size_ += n;
    return p;
  }
  void Commit(const char* end) { size_ = static_cast<std::size_t>(end - data_); }
  void Append(const void* bytes, std::size_t n) {
    char* p = Grow(n);
    if (p != nullptr && n > 0) std::memcpy(p, bytes, n);
  }
  void PutByte(std::uint8_t b) {
    char* p = Grow(1);
    if (p != nullptr) *p = static_cast<char>(b);
  }
  // Little-endian fixed-width integers.
  void PutU32(std::uint32_t v);
  void PutU64(std::uint64_t v);

  // Forgets the bytes (keeping the memory) and any failure.
  void Clear() {
    size_ = 0;
    ok_ = true;
  }
  // Sets the size to `n` bytes, which must be at most size().
  void Truncate(std::size_t n) { size_ = n < size_ ? n : size_; }
  // Gives the memory back.
  void Release();

  bool ok() const { return ok_; }
  char* data() { return data_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

 private:
  char* ReserveSlow(std::size_t n);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool ok_ = true;
};

// An array of trivially copyable T over a ParquetBuffer: reused between
// chunks, grown through the same seam.
template <typename T>
class ParquetArray {
 public:
  // Room for `n` elements, contents unspecified; false when it cannot be had.
  bool Resize(std::size_t n) {
    bytes_.Clear();
    return bytes_.Grow(n * sizeof(T)) != nullptr;
  }
  T* data() { return reinterpret_cast<T*>(bytes_.data()); }
  const T* data() const { return reinterpret_cast<const T*>(bytes_.data()); }
  std::size_t size() const { return bytes_.size() / sizeof(T); }
  T& operator[](std::size_t i) { return data()[i]; }

 private:
  ParquetBuffer bytes_;
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_BUFFER_H_
