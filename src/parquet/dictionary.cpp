// parquet/dictionary.cpp: a chunk's distinct values and each row's entry.
#include "parquet/dictionary.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZERVGEN_WIDE_DICTIONARY 1
#endif

namespace zervgen {
namespace {

// The dictionary's hash table at its smallest: room for 128 values.
constexpr int kLeastTableBits = 8;
// A table of at most this many slots (64 KiB) is made eight times as large
// as the values it is to hold, not twice: a row's first probe then nearly
// always settles it, and the branch on it is foreseen.
constexpr int kSparseTableBits = 13;

constexpr std::uint32_t kHashFactor = 0x9E3779B1u;

std::uint32_t Hash(std::int32_t v, int bits) {
  return (static_cast<std::uint32_t>(v) * kHashFactor) >> (32 - bits);
}

// A column of at most this many distinct values also gets a direct table:
// each value at its first slot or not at all, so that a row is settled by
// one look without probing, eight rows at a time where the processor can.
constexpr std::int64_t kDirectMostDistinct = 1024;
// The direct table has 32 times the slots of the distinct values (a value
// then rarely finds its slot taken), at most this many.
constexpr int kDirectMostBits = 16;

// A column whose values all lie within a span of at most this many (and
// no more than kDenseSpanPerValue times its distinct values, or
// kDenseLeastSpan) has its entries looked up by value, no hash needed.
constexpr std::int64_t kDenseMostSpan = std::int64_t{1} << 18;
constexpr std::int64_t kDenseSpanPerValue = 8;
constexpr std::int64_t kDenseLeastSpan = 4096;
// The rows looked at first for a span that is plainly too wide.
constexpr std::int32_t kDenseFirstRows = 256;

[[gnu::always_inline]] inline void BoundsBody(const std::int32_t* in, std::int32_t rows,
                                              std::int32_t* least, std::int32_t* most) {
  std::int32_t lo = in[0];
  std::int32_t hi = in[0];
  for (std::int32_t r = 1; r < rows; ++r) {
    lo = in[r] < lo ? in[r] : lo;
    hi = in[r] > hi ? in[r] : hi;
  }
  *least = lo;
  *most = hi;
}

void BoundsPortable(const std::int32_t* in, std::int32_t rows, std::int32_t* least,
                    std::int32_t* most) {
  BoundsBody(in, rows, least, most);
}

#ifdef ZERVGEN_WIDE_DICTIONARY
[[gnu::target("avx2")]] void BoundsAvx2(const std::int32_t* in, std::int32_t rows,
                                        std::int32_t* least, std::int32_t* most) {
  BoundsBody(in, rows, least, most);
}

bool HasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

// Rows from 0 on whose values all stand in the direct table (`keys` the
// values, `entries` their entries, -1 for a free slot), eight at a time:
// their entries go to `indices`. Returns the rows done, a multiple of
// eight: it stops before the first eight rows of which one is missing.
[[gnu::target("avx2")]] std::int32_t DirectBlocksAvx2(const std::int32_t* in, std::int32_t rows,
                                                      const std::int32_t* keys,
                                                      const std::int32_t* entries, int bits,
                                                      std::uint32_t* indices) {
  const __m256i factor = _mm256_set1_epi32(static_cast<int>(kHashFactor));
  const __m128i shift = _mm_cvtsi32_si128(32 - bits);
  std::int32_t r = 0;
  for (; r + 8 <= rows; r += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + r));
    const __m256i h = _mm256_srl_epi32(_mm256_mullo_epi32(v, factor), shift);
    const __m256i k = _mm256_i32gather_epi32(keys, h, 4);
    const __m256i e = _mm256_i32gather_epi32(entries, h, 4);
    // A row is missing when its slot holds another value or none (the
    // entry's sign bit).
    const __m256i other = _mm256_xor_si256(_mm256_cmpeq_epi32(k, v), _mm256_set1_epi32(-1));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(other, e))) != 0) break;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(indices + r), e);
  }
  return r;
}

// The same for a table indexed by value: row r's entry is at
// entries[in[r] - least], -1 until the value has one.
[[gnu::target("avx2")]] std::int32_t DenseBlocksAvx2(const std::int32_t* in, std::int32_t rows,
                                                     std::int32_t least,
                                                     const std::int32_t* entries,
                                                     std::uint32_t* indices) {
  const __m256i base = _mm256_set1_epi32(least);
  std::int32_t r = 0;
  for (; r + 8 <= rows; r += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + r));
    const __m256i e = _mm256_i32gather_epi32(entries, _mm256_sub_epi32(v, base), 4);
    if (_mm256_movemask_ps(_mm256_castsi256_ps(e)) != 0) break;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(indices + r), e);
  }
  return r;
}
#endif

// The least and the greatest of rows 0 .. rows-1, rows >= 1.
void Bounds(const std::int32_t* in, std::int32_t rows, std::int32_t* least, std::int32_t* most) {
#ifdef ZERVGEN_WIDE_DICTIONARY
  if (HasAvx2()) return BoundsAvx2(in, rows, least, most);
#endif
  BoundsPortable(in, rows, least, most);
}

// The distinct values the tables are made for: the column's, at most the
// limit.
std::uint32_t ExpectedDistinct(std::int64_t hint, std::int32_t limit) {
  return static_cast<std::uint32_t>(std::min<std::int64_t>(hint, limit));
}

}  // namespace

bool ParquetDictionary::Reserve(std::int32_t limit, std::int32_t rows) {
  return keys_.Resize(static_cast<std::size_t>(limit)) &&
         indices_.Resize(static_cast<std::size_t>(rows));
}

// Values one after the other that lie close together are looked up by
// value (Dense), others in the hash table (Hashed).
Status ParquetDictionary::Build(const std::int32_t* in, std::ptrdiff_t stride, std::int32_t rows,
                                std::int32_t limit, std::int64_t hint, std::int32_t* size) {
  *size = 0;
  if (!Reserve(limit, rows)) return Status::NoMemory();
  if (stride == 1) {
    const std::int64_t mostSpan =
        std::min(kDenseMostSpan,
                 std::max(kDenseLeastSpan, kDenseSpanPerValue * ExpectedDistinct(hint, limit)));
    // The first rows alone often show the span too wide, sparing a pass
    // over all of them.
    std::int32_t least = 0, most = 0;
    Bounds(in, std::min(rows, kDenseFirstRows), &least, &most);
    if (std::int64_t{most} - least < mostSpan) {
      Bounds(in, rows, &least, &most);
      const std::int64_t span = std::int64_t{most} - least + 1;
      if (span <= mostSpan) return Dense(in, rows, limit, least, span, size);
    }
  }
  return Hashed(in, stride, rows, limit, hint, size);
}

// An open-addressing table of the distinct values met so far; gives up,
// with *size 0, at the first value beyond `limit`. Each slot holds a
// value in its low half and its entry + 1 in its high half (0: free), so a
// row costs one probe. The table starts at eight times the column's
// distinct values (`hint`) when that is small, as for the few most columns
// have, else at twice, and doubles should it become half full. A column of
// few distinct values in a row looks first in a direct table (see
// kDirectMostDistinct). The dictionary and indices are the same either way.
Status ParquetDictionary::Hashed(const std::int32_t* in, std::ptrdiff_t stride, std::int32_t rows,
                                 std::int32_t limit, std::int64_t hint, std::int32_t* size) {
  const int mostBits =
      std::max(4, static_cast<int>(std::bit_width(static_cast<std::uint32_t>(limit))) + 1);
  const std::uint32_t expected = ExpectedDistinct(hint, limit);
  const int sparse = static_cast<int>(std::bit_width(expected)) + 3;
  const int wanted = sparse <= kSparseTableBits ? sparse : sparse - 2;
  int bits = std::min(mostBits, std::max(kLeastTableBits, wanted));
  if (!slots_.Resize(std::size_t{1} << bits)) return Status::NoMemory();
  std::memset(slots_.data(), 0, slots_.size() * sizeof(std::uint64_t));
  std::uint64_t* slots = slots_.data();
  std::uint32_t mask = (1u << bits) - 1;
  std::int32_t* keys = keys_.data();
  std::uint32_t* indices = indices_.data();
  std::int32_t count = 0;
  constexpr std::int64_t kFull = -1;    // a value beyond `limit`
  constexpr std::int64_t kNoRoom = -2;  // the table could not grow
  // Value v's entry, the value added as the next one when new.
  const auto entryOf = [&](std::int32_t v) -> std::int64_t {
    std::uint32_t h = Hash(v, bits);
    std::uint64_t slot = slots[h];
    while (slot != 0 && static_cast<std::uint32_t>(slot) != static_cast<std::uint32_t>(v)) {
      h = (h + 1) & mask;
      slot = slots[h];
    }
    if (slot != 0) return static_cast<std::int64_t>(slot >> 32) - 1;
    if (count == limit) return kFull;
    keys[count] = v;
    ++count;
    slots[h] = (static_cast<std::uint64_t>(count) << 32) | static_cast<std::uint32_t>(v);
    if (2 * static_cast<std::size_t>(count) > slots_.size() && bits < mostBits) {
      ++bits;
      if (!slots_.Resize(std::size_t{1} << bits)) return kNoRoom;
      std::memset(slots_.data(), 0, slots_.size() * sizeof(std::uint64_t));
      slots = slots_.data();
      mask = (1u << bits) - 1;
      for (std::int32_t e = 0; e < count; ++e) {
        std::uint32_t at = Hash(keys[e], bits);
        while (slots[at] != 0) at = (at + 1) & mask;
        slots[at] = (static_cast<std::uint64_t>(e + 1) << 32) | static_cast<std::uint32_t>(keys[e]);
      }
    }
    return count - 1;
  };
  if (stride == 1 && hint <= kDirectMostDistinct) {
    // Few values, one after the other: the direct table settles nearly
    // every row; a row it does not know goes to the hash table, and a new
    // value takes its direct slot if that is free.
    const int directBits =
        std::min(kDirectMostBits, static_cast<int>(std::bit_width(expected)) + 5);
    const std::size_t directSlots = std::size_t{1} << directBits;
    if (!directKeys_.Resize(directSlots) || !directEntries_.Resize(directSlots)) {
      return Status::NoMemory();
    }
    std::int32_t* directKeys = directKeys_.data();
    std::int32_t* directEntries = directEntries_.data();
    std::memset(directKeys, 0, directSlots * sizeof(std::int32_t));
    std::memset(directEntries, 0xFF, directSlots * sizeof(std::int32_t));  // all free (-1)
#ifdef ZERVGEN_WIDE_DICTIONARY
    const bool wide = HasAvx2();
#endif
    for (std::int32_t r = 0; r < rows;) {
#ifdef ZERVGEN_WIDE_DICTIONARY
      if (wide) {
        r += DirectBlocksAvx2(in + r, rows - r, directKeys, directEntries, directBits, indices + r);
      }
#endif
      // The next eight rows (or the last ones) one at a time.
      for (const std::int32_t stop = std::min(rows, r + 8); r < stop; ++r) {
        const std::int32_t v = in[r];
        const std::uint32_t d = Hash(v, directBits);
        if (directKeys[d] == v && directEntries[d] >= 0) {
          indices[r] = static_cast<std::uint32_t>(directEntries[d]);
          continue;
        }
        const std::int64_t entry = entryOf(v);
        if (entry == kFull) return Status::Ok();  // *size stays 0
        if (entry == kNoRoom) return Status::NoMemory();
        if (directEntries[d] < 0) {
          directKeys[d] = v;
          directEntries[d] = static_cast<std::int32_t>(entry);
        }
        indices[r] = static_cast<std::uint32_t>(entry);
      }
    }
  } else {
    for (std::int32_t r = 0; r < rows; ++r, in += stride) {
      const std::int64_t entry = entryOf(*in);
      if (entry == kFull) return Status::Ok();  // *size stays 0
      if (entry == kNoRoom) return Status::NoMemory();
      indices[r] = static_cast<std::uint32_t>(entry);
    }
  }
  *size = count;
  return Status::Ok();
}

// A dictionary of values within a small span: each value's entry is
// looked up at its place in a table as long as the span.
Status ParquetDictionary::Dense(const std::int32_t* in, std::int32_t rows, std::int32_t limit,
                                std::int32_t least, std::int64_t span, std::int32_t* size) {
  if (!directEntries_.Resize(static_cast<std::size_t>(span))) return Status::NoMemory();
  std::int32_t* entries = directEntries_.data();
  std::memset(entries, 0xFF, static_cast<std::size_t>(span) * sizeof(std::int32_t));  // -1
  std::int32_t* keys = keys_.data();
  std::uint32_t* indices = indices_.data();
  std::int32_t count = 0;
#ifdef ZERVGEN_WIDE_DICTIONARY
  const bool wide = HasAvx2();
#endif
  for (std::int32_t r = 0; r < rows;) {
#ifdef ZERVGEN_WIDE_DICTIONARY
    if (wide) r += DenseBlocksAvx2(in + r, rows - r, least, entries, indices + r);
#endif
    // The next eight rows (or the last ones) one at a time.
    for (const std::int32_t stop = std::min(rows, r + 8); r < stop; ++r) {
      const std::int32_t v = in[r];
      // The difference fits: the span is small.
      const auto at = static_cast<std::size_t>(static_cast<std::uint32_t>(v) -
                                               static_cast<std::uint32_t>(least));
      std::int32_t entry = entries[at];
      if (entry < 0) {
        if (count == limit) return Status::Ok();  // *size stays 0
        keys[count] = v;
        entry = count++;
        entries[at] = entry;
      }
      indices[r] = static_cast<std::uint32_t>(entry);
    }
  }
  *size = count;
  return Status::Ok();
}

}  // namespace zervgen
