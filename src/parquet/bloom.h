// parquet/bloom.h: split-block bloom filters of column chunks, and the 64-bit
// xxHash they are built on. A filter is a bitset of 32-byte blocks, each of
// eight little-endian 32-bit words; a value sets one bit in each word of
// the one block its hash picks, so that a reader that finds any of those
// bits clear knows the value is not in the chunk. The value hashed is its
// PLAIN encoding: the little-endian bytes of a number, a string's bytes
// without their length. In the file a filter is its BloomFilterHeader
// (Thrift compact: the bitset's size, split blocks, xxHash, uncompressed)
// followed by the bitset. Pure computation: no I/O, no raise, no exception.
#ifndef ZERVGEN_SRC_PARQUET_BLOOM_H_
#define ZERVGEN_SRC_PARQUET_BLOOM_H_

#include <cstddef>
#include <cstdint>

#include "parquet/buffer.h"

namespace zervgen {

// The 64-bit xxHash of the `n` bytes at `data` with `seed`.
// REQUIRES: data != NULL or n == 0
std::uint64_t Parquet_XxHash64(const void* data, std::size_t n, std::uint64_t seed);

// The sizes a bitset may have: powers of two from one block to 128 MiB.
inline constexpr std::size_t kParquetBloomMinBytes = 32;
inline constexpr std::size_t kParquetBloomMaxBytes = std::size_t{128} << 20;

// The bytes of the bitset for `distinct` values (at least 0) at a false
// positive rate of 1%: 9.6815 bits a value (-8 / ln(1 - 0.01^(1/8))), in
// fixed point so that every machine finds the same size, rounded up to a
// power of two within the bounds above.
std::size_t Parquet_BloomBytes(std::int64_t distinct);

// A filter under construction; its bitset's memory comes through the
// run's environment like every ParquetBuffer's.
class ParquetBloomFilter {
 public:
  // Empties the filter and gives it a bitset of `bytes` bytes, all clear;
  // false when the memory cannot be had (the filter then has none).
  // REQUIRES: bytes a power of two in [kParquetBloomMinBytes, kParquetBloomMaxBytes]
  [[nodiscard]] bool Reset(std::size_t bytes);
  // Sets the bits of the value whose hash is `hash`.
  void Insert(std::uint64_t hash);
  // Whether every bit of `hash` is set: false means surely absent.
  bool MightContain(std::uint64_t hash) const;

  // Each value's hash inserted; `values` holds `n` little-endian numbers
  // of `width` (4 or 8) bytes.
  void InsertNumbers(const void* values, std::size_t width, std::size_t n);
  void InsertBytes(const void* bytes, std::size_t n) { Insert(Parquet_XxHash64(bytes, n, 0)); }

  // Appends the BloomFilterHeader and the bitset to *out.
  void AppendTo(ParquetBuffer* out) const;

  const char* bits() const { return bits_.data(); }
  std::size_t size() const { return bits_.size(); }

 private:
  ParquetBuffer bits_;
};

// Appends the BloomFilterHeader of a bitset of `numBytes` bytes to *out.
void Parquet_PutBloomHeader(ParquetBuffer* out, std::int32_t numBytes);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_BLOOM_H_
