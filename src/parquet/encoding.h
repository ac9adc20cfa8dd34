// parquet/encoding.h: the value encodings of data and dictionary pages: PLAIN for
// the four physical types, and the RLE/bit-packed hybrid that carries the
// dictionary indices. Appends to a ParquetBuffer; a failed growth shows in
// the buffer's ok().
#ifndef ZERVGEN_SRC_PARQUET_ENCODING_H_
#define ZERVGEN_SRC_PARQUET_ENCODING_H_

#include <cstddef>
#include <cstdint>

#include "parquet/buffer.h"

namespace zervgen {

// Bits that hold every value 0..maxValue, at least 1 (a bit width of 0 is
// legal for a one-entry dictionary but not read by every reader).
int Parquet_BitWidth(std::uint32_t maxValue);

// The RLE/bit-packed hybrid of `n` values of `bitWidth` bits, without a
// length prefix: runs of 8 or more equal values as RLE runs, the rest in
// bit-packed groups of 8 (the last one padded with zeros), at most 63 groups
// per bit-packed run. Returns the greatest of the values (0 when n is 0;
// of those encoded before the buffer failed to grow), for a caller that
// checks them as they are encoded: should one not fit in bitWidth bits, the
// bytes are wrong, but none is written outside the buffer.
// REQUIRES: 1 <= bitWidth <= 32
std::uint32_t Parquet_PutRleHybrid(ParquetBuffer* out, const std::uint32_t* values, std::size_t n,
                                   int bitWidth);

// PLAIN: little-endian values back to back; a BYTE_ARRAY is its 4-byte
// length and its bytes.
void Parquet_PutPlainInt32(ParquetBuffer* out, const std::int32_t* values, std::size_t n);
void Parquet_PutPlainInt64(ParquetBuffer* out, const std::int64_t* values, std::size_t n);
void Parquet_PutPlainDouble(ParquetBuffer* out, const double* values, std::size_t n);

// Strings as offsets into `bytes`: string i is bytes[offsets[i]] up to
// offsets[i + 1] - trailer, where `trailer` bytes that follow each string
// are not part of it (a line end left by a formatter). Strings of one
// length need no offsets: with `offsets` null, string i starts at
// i * stride and is stride - trailer bytes long.
struct ParquetStrings {
  const char* bytes;
  const std::uint32_t* offsets;  // one more entry than there are strings, or null
  std::uint32_t trailer;
  std::uint32_t stride = 0;  // with offsets null: the distance of the strings

  std::size_t begin(std::size_t i) const { return offsets != nullptr ? offsets[i] : i * stride; }
  const char* data(std::size_t i) const { return bytes + begin(i); }
  std::uint32_t size(std::size_t i) const {
    return offsets != nullptr ? offsets[i + 1] - offsets[i] - trailer : stride - trailer;
  }
  // Whether the strings are told by offsets or by a stride.
  bool valid() const { return bytes != nullptr && (offsets != nullptr || stride > trailer); }
};
// Strings first .. first + n - 1.
void Parquet_PutPlainStrings(ParquetBuffer* out, const ParquetStrings& strings, std::size_t first,
                             std::size_t n);

// The values of a chunk, in the array of the column's type: i32 for kInt32
// and kDate, i64 for kDecimal12_2, f64 for kDouble, strings for kString.
//
// Plain form (indices == nullptr): the array holds one value per row.
// Dictionary form: the array holds dictSize entries and indices[r] < dictSize
// is row r's entry. Entries need not be distinct; the chunk is then written
// with a dictionary as given.
struct ParquetValues {
  const std::int32_t* i32 = nullptr;
  const std::int64_t* i64 = nullptr;
  const double* f64 = nullptr;
  ParquetStrings strings{nullptr, nullptr, 0};
  const std::uint32_t* indices = nullptr;
  std::int32_t dictSize = 0;
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_ENCODING_H_
