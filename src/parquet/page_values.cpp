// parquet/page_values.cpp: where two pages' values part.
#include "parquet/page_values.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zervgen {
namespace {

// The RLE/bit-packed hybrid's values, at most `most` of them; false when
// the bytes end inside a run.
bool DecodeHybrid(const unsigned char* p, std::size_t n, int bitWidth, std::size_t most,
                  std::vector<std::uint32_t>* out) {
  out->clear();
  std::size_t at = 0;
  const std::size_t valueBytes = static_cast<std::size_t>(bitWidth + 7) / 8;
  while (out->size() < most && at < n) {
    std::uint64_t header = 0;
    for (int shift = 0;; shift += 7) {
      if (at >= n || shift > 35) return false;
      header |= static_cast<std::uint64_t>(p[at] & 0x7F) << shift;
      if ((p[at++] & 0x80) == 0) break;
    }
    if ((header & 1) != 0) {
      const std::uint64_t values = (header >> 1) * 8;
      const std::uint64_t bytes = (header >> 1) * static_cast<std::uint64_t>(bitWidth);
      if (bytes > n - at) return false;
      for (std::uint64_t v = 0; v < values && out->size() < most; ++v) {
        std::uint32_t value = 0;
        for (int b = 0; b < bitWidth; ++b) {
          const std::uint64_t bit =
              v * static_cast<std::uint64_t>(bitWidth) + static_cast<std::uint64_t>(b);
          value |= static_cast<std::uint32_t>((p[at + bit / 8] >> (bit % 8)) & 1) << b;
        }
        out->push_back(value);
      }
      at += bytes;
    } else {
      if (valueBytes > n - at) return false;
      std::uint32_t value = 0;
      for (std::size_t b = 0; b < valueBytes; ++b)
        value |= static_cast<std::uint32_t>(p[at + b]) << (8 * b);
      at += valueBytes;
      const std::uint64_t run = std::min<std::uint64_t>(header >> 1, most - out->size());
      out->insert(out->end(), run, value);
    }
  }
  return true;
}

}  // namespace

// The index of the first value that differs between two pages' values of
// `n` values, or -1 when that cannot be told from their bytes.
std::int64_t Parquet_FirstValueDiffering(const ParquetBuffer& want, const ParquetBuffer& got,
                                         ParquetType type, std::int32_t encoding, std::int64_t n) {
  const std::size_t size = std::min(want.size(), got.size());
  std::size_t at = 0;
  while (at < size && want.data()[at] == got.data()[at]) ++at;
  if (encoding == kEncPlain && type != ParquetType::kString) {
    const std::size_t width = type == ParquetType::kInt32 || type == ParquetType::kDate ? 4 : 8;
    return static_cast<std::int64_t>(at / width);
  }
  if (encoding == kEncPlain) {
    std::size_t pos = 0;
    for (std::int64_t i = 0; i < n && pos + 4 <= want.size(); ++i) {
      std::uint32_t length = 0;
      std::memcpy(&length, want.data() + pos, 4);
      pos += 4 + static_cast<std::size_t>(length);
      if (at < pos) return i;
    }
    return -1;
  }
  if (encoding != kEncRleDictionary || want.size() < 1 || got.size() < 1) return -1;
  const auto* a = reinterpret_cast<const unsigned char*>(want.data());
  const auto* b = reinterpret_cast<const unsigned char*>(got.data());
  if (a[0] != b[0] || a[0] < 1 || a[0] > 32) return 0;
  std::vector<std::uint32_t> wanted, found;
  const auto most = static_cast<std::size_t>(n);
  if (!DecodeHybrid(a + 1, want.size() - 1, a[0], most, &wanted)) return -1;
  (void)DecodeHybrid(b + 1, got.size() - 1, b[0], most, &found);
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (i >= found.size() || wanted[i] != found[i]) return static_cast<std::int64_t>(i);
  }
  return -1;
}

}  // namespace zervgen
