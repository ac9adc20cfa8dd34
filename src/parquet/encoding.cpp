// parquet/encoding.cpp: PLAIN values and the RLE/bit-packed hybrid.
#include "parquet/encoding.h"

#include <bit>
#include <cstring>

#include "parquet/thrift.h"

namespace zervgen {
namespace {

static_assert(std::endian::native == std::endian::little,
              "PLAIN values are copied as they lie in memory");

constexpr std::size_t kGroup = 8;
constexpr std::size_t kMaxGroups = 63;  // a one-byte run header
constexpr std::size_t kMinRleRun = 8;

// The length of the run of values equal to values[i] that starts there.
std::size_t RunLength(const std::uint32_t* values, std::size_t i, std::size_t n) {
  std::size_t j = i + 1;
  while (j < n && values[j] == values[i]) ++j;
  return j - i;
}

class HybridWriter {
 public:
  HybridWriter(ParquetBuffer* out, int bitWidth) : out_(out), bitWidth_(bitWidth) {}

  void Literal(std::uint32_t v) {
    pending_[count_++] = v;
    if (count_ == kMaxGroups * kGroup) FlushLiterals();
  }
  bool aligned() const { return count_ % kGroup == 0; }

  void Rle(std::uint32_t v, std::size_t count) {
    FlushLiterals();
    Thrift_PutVarint(out_, static_cast<std::uint64_t>(count) << 1);
    const int bytes = (bitWidth_ + 7) / 8;
    for (int b = 0; b < bytes; ++b) out_->PutByte(static_cast<std::uint8_t>(v >> (8 * b)));
  }

  // Writes the pending values as one bit-packed run, padded to whole groups.
  void FlushLiterals() {
    if (count_ == 0) return;
    const std::size_t groups = (count_ + kGroup - 1) / kGroup;
    while (count_ < groups * kGroup) pending_[count_++] = 0;
    Thrift_PutVarint(out_, (groups << 1) | 1);
    char* p = out_->Grow(groups * static_cast<std::size_t>(bitWidth_));
    if (p != nullptr) Pack(p);
    count_ = 0;
  }

 private:
  // Values packed low bits first, one after the other.
  void Pack(char* p) const {
    std::uint64_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      acc |= static_cast<std::uint64_t>(pending_[i]) << bits;
      bits += bitWidth_;
      while (bits >= 8) {
        *p++ = static_cast<char>(acc);
        acc >>= 8;
        bits -= 8;
      }
    }
  }

  ParquetBuffer* out_;
  int bitWidth_;
  std::uint32_t pending_[kMaxGroups * kGroup];
  std::size_t count_ = 0;
};

}  // namespace

int Parquet_BitWidth(std::uint32_t maxValue) {
  const int width = 32 - std::countl_zero(maxValue);
  return width < 1 ? 1 : width;
}

// A run of kMinRleRun or more becomes an RLE run, once the values before
// it fill their last bit-packed group (taking from the run if need be).
void Parquet_PutRleHybrid(ParquetBuffer* out, const std::uint32_t* values, std::size_t n,
                          int bitWidth) {
  HybridWriter w(out, bitWidth);
  std::size_t i = 0;
  while (i < n) {
    std::size_t run = RunLength(values, i, n);
    if (run >= kMinRleRun) {
      while (!w.aligned() && run > 0) {
        w.Literal(values[i]);
        ++i;
        --run;
      }
      if (run >= kMinRleRun) {
        w.Rle(values[i], run);
        i += run;
      }
      continue;
    }
    for (std::size_t k = 0; k < run; ++k) w.Literal(values[i + k]);
    i += run;
  }
  w.FlushLiterals();
}

void Parquet_PutPlainInt32(ParquetBuffer* out, const std::int32_t* values, std::size_t n) {
  out->Append(values, n * sizeof *values);
}

void Parquet_PutPlainInt64(ParquetBuffer* out, const std::int64_t* values, std::size_t n) {
  out->Append(values, n * sizeof *values);
}

void Parquet_PutPlainDouble(ParquetBuffer* out, const double* values, std::size_t n) {
  out->Append(values, n * sizeof *values);
}

void Parquet_PutPlainStrings(ParquetBuffer* out, const ParquetStrings& strings, std::size_t first,
                             std::size_t n) {
  std::size_t total = 0;
  for (std::size_t i = first; i < first + n; ++i) total += 4 + strings.size(i);
  char* p = out->Grow(total);
  if (p == nullptr) return;
  for (std::size_t i = first; i < first + n; ++i) {
    const std::uint32_t size = strings.size(i);
    std::memcpy(p, &size, 4);
    std::memcpy(p + 4, strings.data(i), size);
    p += 4 + size;
  }
}

}  // namespace zervgen
