// parquet/encoding.cpp: PLAIN values and the RLE/bit-packed hybrid.
#include "parquet/encoding.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZERVGEN_WIDE_PACKING 1
#endif

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

// Where the first stretch of kMinRleRun equal values at or after i starts;
// n when there is none. Such a stretch always starts a run of values: were
// the value before it the same, a stretch would start one earlier. A
// stretch from s has each value equal to the one before it at s + 1 ..
// s + kMinRleRun - 1, and one of those lies on the steps of that many from
// i: only the steps are compared, and the run around a step that matches
// its neighbour is measured.
std::size_t NextRun(const std::uint32_t* values, std::size_t i, std::size_t n) {
  constexpr std::size_t kStep = kMinRleRun - 1;
  for (std::size_t k = i + kStep; k < n; k += kStep) {
    const std::uint32_t v = values[k];
    if (values[k - 1] != v) continue;
    std::size_t start = k - 1;
    while (start > i && values[start - 1] == v) --start;
    std::size_t end = k + 1;
    while (end < n && end - start < kMinRleRun && values[end] == v) ++end;
    if (end - start >= kMinRleRun) return start;
  }
  return n;
}

// Groups of eight values packed low bits first into Width bytes each; the
// width is a constant, so the shifts and stores of a group are laid out
// once, without a test per value.
template <int Width>
char* PackGroups(const std::uint32_t* v, std::size_t groups, char* p, std::uint32_t* most) {
  std::uint32_t m = *most;
  for (std::size_t g = 0; g < groups; ++g, v += kGroup) {
    for (std::size_t k = 0; k < kGroup; ++k) m = v[k] > m ? v[k] : m;
    if constexpr (Width <= 8) {
      std::uint64_t acc = 0;
      for (std::size_t k = 0; k < kGroup; ++k)
        acc |= static_cast<std::uint64_t>(v[k]) << (k * Width);
      std::memcpy(p, &acc, Width);
      p += Width;
    } else {
      std::uint64_t acc = 0;
      int bits = 0;
      for (std::size_t k = 0; k < kGroup; ++k) {
        acc |= static_cast<std::uint64_t>(v[k]) << bits;
        bits += Width;
        if (bits >= 32) {
          const auto word = static_cast<std::uint32_t>(acc);
          std::memcpy(p, &word, 4);
          p += 4;
          acc >>= 32;
          bits -= 32;
        }
      }
      // Eight values fill whole bytes: what is left is a whole number of them.
      for (; bits > 0; bits -= 8) {
        *p++ = static_cast<char>(acc);
        acc >>= 8;
      }
    }
  }
  *most = m;
  return p;
}

using PackFunction = char* (*)(const std::uint32_t*, std::size_t, char*, std::uint32_t*);

template <std::size_t... Widths>
constexpr std::array<PackFunction, sizeof...(Widths)> PackTable(std::index_sequence<Widths...>) {
  return {&PackGroups<static_cast<int>(Widths) + 1>...};
}

// PackGroups for bit widths 1 to 32, at width - 1.
constexpr std::array<PackFunction, 32> kPackGroups = PackTable(std::make_index_sequence<32>());

#ifdef ZERVGEN_WIDE_PACKING
// The narrow widths' groups in vector registers: the eight values widened
// to 64 bits and shifted to their places in four lanes, the lanes OR-ed
// together; the same sums as PackGroups (a value too wide for the width
// spills into the next ones alike).
constexpr int kWidePackMostWidth = 8;

template <int Width>
[[gnu::target("avx2")]] char* PackGroupsAvx2(const std::uint32_t* v, std::size_t groups, char* p,
                                             std::uint32_t* most) {
  static_assert(Width >= 1 && Width <= kWidePackMostWidth);
  const __m256i lowShifts = _mm256_setr_epi64x(0, Width, 2 * Width, 3 * Width);
  const __m256i highShifts = _mm256_setr_epi64x(4 * Width, 5 * Width, 6 * Width, 7 * Width);
  __m256i m = _mm256_set1_epi32(static_cast<int>(*most));
  for (std::size_t g = 0; g < groups; ++g, v += kGroup) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
    m = _mm256_max_epu32(m, x);
    const __m256i low =
        _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(x)), lowShifts);
    const __m256i high =
        _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(x, 1)), highShifts);
    const __m256i four = _mm256_or_si256(low, high);
    const __m128i two =
        _mm_or_si128(_mm256_castsi256_si128(four), _mm256_extracti128_si256(four, 1));
    const auto acc = static_cast<std::uint64_t>(
        _mm_cvtsi128_si64(_mm_or_si128(two, _mm_unpackhi_epi64(two, two))));
    std::memcpy(p, &acc, Width);
    p += Width;
  }
  alignas(32) std::uint32_t lanes[kGroup];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), m);
  *most = *std::max_element(lanes, lanes + kGroup);
  return p;
}

template <std::size_t... Widths>
constexpr std::array<PackFunction, sizeof...(Widths)> WidePackTable(
    std::index_sequence<Widths...>) {
  return {&PackGroupsAvx2<static_cast<int>(Widths) + 1>...};
}

constexpr std::array<PackFunction, kWidePackMostWidth> kWidePackGroups =
    WidePackTable(std::make_index_sequence<kWidePackMostWidth>());
#endif

// The packing of `width` bits, the vector one where there is one and the
// processor has it.
PackFunction PackerOf(std::size_t width) {
#ifdef ZERVGEN_WIDE_PACKING
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2 && width <= kWidePackMostWidth) return kWidePackGroups[width - 1];
#endif
  return kPackGroups[width - 1];
}

// Values first .. end - 1 as bit-packed runs of at most kMaxGroups groups,
// the last group padded with zeros.
void PutLiterals(ParquetBuffer* out, const std::uint32_t* values, std::size_t first,
                 std::size_t end, int bitWidth, std::uint32_t* most) {
  const auto width = static_cast<std::size_t>(bitWidth);
  const PackFunction pack = PackerOf(width);
  while (first < end) {
    const std::size_t count = std::min(end - first, kMaxGroups * kGroup);
    const std::size_t groups = (count + kGroup - 1) / kGroup;
    Thrift_PutVarint(out, (groups << 1) | 1);
    char* p = out->Grow(groups * width);
    if (p == nullptr) return;
    const std::uint32_t* v = values + first;
    const std::size_t whole = count / kGroup;
    p = pack(v, whole, p, most);
    if (whole < groups) {
      std::uint32_t last[kGroup] = {};
      std::memcpy(last, v + whole * kGroup, (count - whole * kGroup) * sizeof *v);
      pack(last, 1, p, most);
    }
    first += count;
  }
}

void PutRle(ParquetBuffer* out, std::uint32_t v, std::size_t count, int bitWidth) {
  Thrift_PutVarint(out, static_cast<std::uint64_t>(count) << 1);
  const int bytes = (bitWidth + 7) / 8;
  for (int b = 0; b < bytes; ++b) out->PutByte(static_cast<std::uint8_t>(v >> (8 * b)));
}

}  // namespace

int Parquet_BitWidth(std::uint32_t maxValue) {
  const int width = 32 - std::countl_zero(maxValue);
  return width < 1 ? 1 : width;
}

// A run of kMinRleRun or more becomes an RLE run, once the values before
// it fill their last bit-packed group (taking from the run if need be).
std::uint32_t Parquet_PutRleHybrid(ParquetBuffer* out, const std::uint32_t* values, std::size_t n,
                                   int bitWidth) {
  std::uint32_t most = 0;   // of the values packed or run so far
  std::size_t literal = 0;  // the literals waiting are values[literal .. i)
  std::size_t i = 0;
  while (i < n) {
    i = NextRun(values, i, n);  // the values before it stay literals
    if (i == n) break;
    std::size_t run = RunLength(values, i, n);
    const std::size_t fill = std::min(run, (kGroup - (i - literal) % kGroup) % kGroup);
    i += fill;
    run -= fill;
    if (run >= kMinRleRun) {
      PutLiterals(out, values, literal, i, bitWidth, &most);
      PutRle(out, values[i], run, bitWidth);
      most = std::max(most, values[i]);
      i += run;
      literal = i;
    }
  }
  PutLiterals(out, values, literal, n, bitWidth, &most);
  return most;
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
  // A short string goes in one copy of kWide bytes when that many can be
  // read from its start (up to the range's last offset) and written (the
  // room reserved past the strings); the bytes past its end are written
  // over by the next string or lie beyond the buffer's size.
  constexpr std::size_t kWide = 16;
  if (out->Reserve(total + kWide) == nullptr) return;
  char* p = out->Grow(total);
  const std::size_t readable = strings.begin(first + n);
  if (strings.offsets == nullptr && strings.stride <= kWide) {
    // Strings of one short length: each in one copy while kWide bytes can
    // be read from its start.
    const std::uint32_t size = strings.stride - strings.trailer;
    const std::size_t stride = strings.stride;
    // Strings first .. wide - 1 start kWide bytes or more before the end.
    const std::size_t wide =
        readable < kWide ? first : std::min(first + n, (readable - kWide) / stride + 1);
    const char* text = strings.bytes + first * stride;
    std::size_t i = first;
    for (; i < wide; ++i, text += stride, p += 4 + size) {
      std::memcpy(p, &size, 4);
      std::memcpy(p + 4, text, kWide);
    }
    for (; i < first + n; ++i, text += stride, p += 4 + size) {
      std::memcpy(p, &size, 4);
      std::memcpy(p + 4, text, size);
    }
    return;
  }
  for (std::size_t i = first; i < first + n; ++i) {
    const std::uint32_t size = strings.size(i);
    std::memcpy(p, &size, 4);
    if (size <= kWide && strings.begin(i) + kWide <= readable) {
      std::memcpy(p + 4, strings.data(i), kWide);
    } else {
      std::memcpy(p + 4, strings.data(i), size);
    }
    p += 4 + size;
  }
}

}  // namespace zervgen
