// run/parquet_rows.cpp: field values to Parquet column values.
#include "run/parquet_rows.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZERVGEN_WIDE_DICTIONARY 1
#endif

#include "base/date.h"

namespace zervgen {
namespace {

constexpr std::size_t kTextStart = std::size_t{64} << 10;
constexpr std::int32_t kMaxFillText = 100;  // the fill writer's longest text
// The dictionary's hash table at its smallest: room for 128 values.
constexpr int kLeastTableBits = 8;
// A table of at most this many slots (64 KiB) is made eight times as large
// as the values it is to hold, not twice: a row's first probe then nearly
// always settles it, and the branch on it is foreseen.
constexpr int kSparseTableBits = 13;

bool WriterMakes(ParquetType type, OutputKind kind) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDouble:
      return kind == OutputKind::kInteger;
    case ParquetType::kDecimal12_2:
      return kind == OutputKind::kInteger || kind == OutputKind::kFloat;
    case ParquetType::kDate:
      return kind == OutputKind::kDate;
    case ParquetType::kString:
      return kind == OutputKind::kFixed10 || kind == OutputKind::kFixed20 ||
             kind == OutputKind::kVarChar || kind == OutputKind::kFill;
  }
  return false;
}

// Whether equal field values always give equal column values: not so for
// fill text, which comes from a running stream.
bool Keyed(OutputKind kind) { return kind != OutputKind::kFill; }

// The length every text of the field has, or -1 when it varies.
int FixedTextLength(const OutputRowField& field, OutputKind kind) {
  if (kind == OutputKind::kFixed10) return 10;
  if (kind == OutputKind::kFixed20) return 20;
  if (kind == OutputKind::kFill && field.stride == 0) {
    return std::clamp(field.values[0], 0, kMaxFillText);
  }
  return -1;
}

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

// What RunEntries tells besides a count of entries.
constexpr std::int32_t kOverLimit = -1;  // more entries than the limit
constexpr std::int32_t kNoValue = -2;    // a number without a value

// The dictionary of rows held as run numbers: each number's entry at its
// place in `entries` (a place for every number, -1 when it has none), a
// new entry at its first row, as the values would make it: the numbers
// stand for distinct values. Returns the count of entries,
// or kOverLimit or kNoValue. Only entries of numbers below runs.count are set.
template <typename Narrow>
std::int32_t RunEntries(const Narrow* in, std::ptrdiff_t stride, std::int32_t rows,
                        const OutputRuns& runs, std::int32_t limit, std::int32_t* entries,
                        std::int32_t* keys, std::uint32_t* indices) {
  const auto numbers = static_cast<std::uint32_t>(runs.count);
  std::int32_t count = 0;
  std::int32_t r = 0;
  // Until every run has its entry (within the first rows, as a rule).
  for (; r < rows && count < runs.count; ++r) {
    const std::uint32_t k = in[r * stride];
    std::int32_t e = entries[k];
    if (e < 0) {
      if (k >= numbers) return kNoValue;
      if (count == limit) return kOverLimit;
      keys[count] = runs.values[k];
      e = count++;
      entries[k] = e;
    }
    indices[r] = static_cast<std::uint32_t>(e);
  }
  if (r == rows) return count;
  // Then every number below runs.count has its entry: the rest is the
  // numbers widened to their entries.
  const OutputRuns toEntries{in + r * stride, static_cast<int>(sizeof(Narrow)), entries,
                             runs.count};
  const bool known =
      Output_WidenRuns(toEntries, stride, rows - r, reinterpret_cast<std::int32_t*>(indices + r));
  return known ? count : kNoValue;
}

}  // namespace

std::int32_t Parquet_DictionaryLimit(std::int64_t distinctHint, std::int32_t rows) {
  const std::int32_t limit = std::min(rows / 4, kParquetMaxDictionary);
  return distinctHint >= 1 && distinctHint <= limit ? limit : 0;
}

ParquetColumnConverter::ParquetColumnConverter() = default;
ParquetColumnConverter::~ParquetColumnConverter() = default;

ParquetStatus ParquetColumnConverter::Convert(const ParquetColumnDesc& desc,
                                              const OutputFormat& format,
                                              const OutputRowField& field, std::int32_t rows,
                                              std::int32_t fillState, bool sameValuesAsLast) {
  bool plainTexts = false;
  const ParquetStatus status =
      ConvertUnlessPlainTexts(desc, format, field, rows, sameValuesAsLast, &plainTexts);
  if (status != ParquetStatus::kOk || !plainTexts) return status;
  return PlainTexts(field, rows, &fillState);
}

ParquetStatus ParquetColumnConverter::ConvertUnlessPlainTexts(
    const ParquetColumnDesc& desc, const OutputFormat& format, const OutputRowField& field,
    std::int32_t rows, bool sameValuesAsLast, bool* plainTexts) {
  *plainTexts = false;
  values_ = ParquetValues{};
  format_ = &format;
  const Tried tried = tried_;
  tried_ = Tried{};
  const OutputKind kind = field.kind;
  if (rows < 1 || field.values == nullptr || !WriterMakes(desc.type, kind)) {
    return ParquetStatus::kBadArgument;
  }
  const std::int32_t limit = Keyed(kind) ? Parquet_DictionaryLimit(desc.distinctHint, rows) : 0;
  if (limit > 0) {
    bool built = false;
    const ParquetStatus status =
        InDictionary(desc, field, rows, limit, tried, sameValuesAsLast, &built);
    if (status != ParquetStatus::kOk || built) return status;
  }
  if (desc.type == ParquetType::kString) {
    *plainTexts = true;
    return ParquetStatus::kOk;
  }
  return Typed(desc.type, field.values, field.stride, rows);
}

ParquetStatus ParquetColumnConverter::ConvertRuns(const ParquetColumnDesc& desc,
                                                  const OutputFormat& format,
                                                  const OutputRowField& field, std::int32_t rows,
                                                  bool sameValuesAsLast, bool* done) {
  *done = false;
  const OutputKind kind = field.kind;
  if (rows < 1 || field.runs.numbers == nullptr || !WriterMakes(desc.type, kind)) {
    return ParquetStatus::kBadArgument;
  }
  const std::int32_t limit = Keyed(kind) ? Parquet_DictionaryLimit(desc.distinctHint, rows) : 0;
  if (limit == 0) return ParquetStatus::kOk;
  values_ = ParquetValues{};
  format_ = &format;
  const Tried tried = tried_;
  tried_ = Tried{};
  return InDictionary(desc, field, rows, limit, tried, sameValuesAsLast, done);
}

ParquetStatus ParquetColumnConverter::InDictionary(const ParquetColumnDesc& desc,
                                                   const OutputRowField& field, std::int32_t rows,
                                                   std::int32_t limit, const Tried& tried,
                                                   bool sameValuesAsLast, bool* built) {
  const bool fromRuns = field.runs.numbers != nullptr;
  const void* at = fromRuns ? field.runs.numbers : static_cast<const void*>(field.values);
  // The same values under the same limit make the same dictionary: the
  // one of the last call stands (keys_ and indices_ are as it left them).
  const bool again = sameValuesAsLast && tried.values == at && tried.stride == field.stride &&
                     tried.rows == rows && tried.limit == limit;
  *built = tried.built;
  std::int32_t dictSize = tried.dictSize;
  if (!again) {
    *built = false;
    const ParquetStatus status =
        fromRuns ? RunDictionary(field.runs, field.stride, rows, limit, built)
                 : BuildDictionary(field, rows, limit, desc.distinctHint, built);
    if (status != ParquetStatus::kOk) return status;
    dictSize = values_.dictSize;
  }
  tried_ = Tried{at, field.stride, rows, limit, *built, dictSize};
  values_.dictSize = *built ? dictSize : 0;
  if (!*built) return ParquetStatus::kOk;
  values_.indices = indices_.data();
  if (desc.type == ParquetType::kString) return DictionaryTexts(field);
  return Typed(desc.type, keys_.data(), 1, dictSize);
}

// The dictionary of a field held as run numbers, by number: a table with a
// place for every number, all free (-1) between calls.
ParquetStatus ParquetColumnConverter::RunDictionary(const OutputRuns& runs, std::ptrdiff_t stride,
                                                    std::int32_t rows, std::int32_t limit,
                                                    bool* built) {
  constexpr std::size_t kPlaces = std::size_t{1} << 16;
  if (runs.width != 1 && runs.width != 2) return ParquetStatus::kBadArgument;
  if (!keys_.Resize(static_cast<std::size_t>(limit)) ||
      !indices_.Resize(static_cast<std::size_t>(rows))) {
    return ParquetStatus::kNoMemory;
  }
  if (runEntries_.size() < kPlaces) {
    if (!runEntries_.Resize(kPlaces)) return ParquetStatus::kNoMemory;
    std::memset(runEntries_.data(), 0xFF, kPlaces * sizeof(std::int32_t));
  }
  std::int32_t* entries = runEntries_.data();
  const std::int32_t count =
      runs.width == 1 ? RunEntries(static_cast<const std::uint8_t*>(runs.numbers), stride, rows,
                                   runs, limit, entries, keys_.data(), indices_.data())
                      : RunEntries(static_cast<const std::uint16_t*>(runs.numbers), stride, rows,
                                   runs, limit, entries, keys_.data(), indices_.data());
  // Free again every place the call may have taken.
  const auto taken = static_cast<std::size_t>(std::min<std::int64_t>(runs.count, kPlaces));
  std::memset(entries, 0xFF, taken * sizeof(std::int32_t));
  if (count == kNoValue) return ParquetStatus::kBadArgument;
  if (count == kOverLimit) return ParquetStatus::kOk;  // *built stays false
  values_.dictSize = count;
  *built = true;
  return ParquetStatus::kOk;
}

// An open-addressing table of the distinct values met so far; gives up,
// with *built false, at the first value beyond `limit`. Each slot holds a
// value in its low half and its entry + 1 in its high half (0: free), so a
// row costs one probe. The table starts at eight times the column's
// distinct values (`hint`) when that is small, as for the few most columns
// have, else at twice, and doubles should it become half full. Values one
// after the other that lie close together are looked up by value instead
// (DenseDictionary); a column of few distinct values in a row looks first
// in a direct table (see kDirectMostDistinct). The dictionary and indices
// are the same either way.
ParquetStatus ParquetColumnConverter::BuildDictionary(const OutputRowField& field,
                                                      std::int32_t rows, std::int32_t limit,
                                                      std::int64_t hint, bool* built) {
  const int mostBits =
      std::max(4, static_cast<int>(std::bit_width(static_cast<std::uint32_t>(limit))) + 1);
  if (!keys_.Resize(static_cast<std::size_t>(limit)) ||
      !indices_.Resize(static_cast<std::size_t>(rows))) {
    return ParquetStatus::kNoMemory;
  }
  const auto expected = static_cast<std::uint32_t>(std::min<std::int64_t>(hint, limit));
  if (field.stride == 1) {
    const std::int64_t mostSpan =
        std::min(kDenseMostSpan, std::max(kDenseLeastSpan, kDenseSpanPerValue * expected));
    // The first rows alone often show the span too wide, sparing a pass
    // over all of them.
    std::int32_t least = 0, most = 0;
    Bounds(field.values, std::min(rows, kDenseFirstRows), &least, &most);
    if (std::int64_t{most} - least < mostSpan) {
      Bounds(field.values, rows, &least, &most);
      const std::int64_t span = std::int64_t{most} - least + 1;
      if (span <= mostSpan) return DenseDictionary(field.values, rows, limit, least, span, built);
    }
  }
  const int sparse = static_cast<int>(std::bit_width(expected)) + 3;
  const int wanted = sparse <= kSparseTableBits ? sparse : sparse - 2;
  int bits = std::min(mostBits, std::max(kLeastTableBits, wanted));
  if (!slots_.Resize(std::size_t{1} << bits)) return ParquetStatus::kNoMemory;
  std::memset(slots_.data(), 0, slots_.size() * sizeof(std::uint64_t));
  std::uint64_t* slots = slots_.data();
  std::uint32_t mask = (1u << bits) - 1;
  std::int32_t* keys = keys_.data();
  std::uint32_t* indices = indices_.data();
  std::int32_t count = 0;
  // Locals, so that the stores of the loop are not taken to change them.
  const std::int32_t* in = field.values;
  const std::ptrdiff_t stride = field.stride;
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
      return ParquetStatus::kNoMemory;
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
        if (entry == kFull) return ParquetStatus::kOk;  // *built stays false
        if (entry == kNoRoom) return ParquetStatus::kNoMemory;
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
      if (entry == kFull) return ParquetStatus::kOk;  // *built stays false
      if (entry == kNoRoom) return ParquetStatus::kNoMemory;
      indices[r] = static_cast<std::uint32_t>(entry);
    }
  }
  values_.dictSize = count;
  *built = true;
  return ParquetStatus::kOk;
}

// A dictionary of values within a small span: each value's entry is
// looked up at its place in a table as long as the span.
ParquetStatus ParquetColumnConverter::DenseDictionary(const std::int32_t* in, std::int32_t rows,
                                                      std::int32_t limit, std::int32_t least,
                                                      std::int64_t span, bool* built) {
  if (!directEntries_.Resize(static_cast<std::size_t>(span))) return ParquetStatus::kNoMemory;
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
        if (count == limit) return ParquetStatus::kOk;  // *built stays false
        keys[count] = v;
        entry = count++;
        entries[at] = entry;
      }
      indices[r] = static_cast<std::uint32_t>(entry);
    }
  }
  values_.dictSize = count;
  *built = true;
  return ParquetStatus::kOk;
}

ParquetStatus ParquetColumnConverter::Typed(ParquetType type, const std::int32_t* keys,
                                            std::ptrdiff_t stride, std::int32_t n) {
  const auto count = static_cast<std::size_t>(n);
  switch (type) {
    case ParquetType::kInt32:
      if (stride == 1) {
        values_.i32 = keys;
        return ParquetStatus::kOk;
      }
      if (!i32_.Resize(count)) return ParquetStatus::kNoMemory;
      for (std::size_t i = 0; i < count; ++i) i32_[i] = keys[i * stride];
      values_.i32 = i32_.data();
      return ParquetStatus::kOk;
    case ParquetType::kDate:
      if (!i32_.Resize(count)) return ParquetStatus::kNoMemory;
      for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t day = keys[i * stride];
        if (day < 0 || day > DATE_MAX_DAY) return ParquetStatus::kBadValue;
        i32_[i] = day - kParquetDayOfEpoch;
      }
      values_.i32 = i32_.data();
      return ParquetStatus::kOk;
    case ParquetType::kDecimal12_2:
      if (!i64_.Resize(count)) return ParquetStatus::kNoMemory;
      for (std::size_t i = 0; i < count; ++i) i64_[i] = std::int64_t{keys[i * stride]} * 100;
      values_.i64 = i64_.data();
      return ParquetStatus::kOk;
    case ParquetType::kDouble:
      if (!f64_.Resize(count)) return ParquetStatus::kNoMemory;
      for (std::size_t i = 0; i < count; ++i) f64_[i] = static_cast<double>(keys[i * stride]);
      values_.f64 = f64_.data();
      return ParquetStatus::kOk;
    case ParquetType::kString:
      break;
  }
  return ParquetStatus::kBadArgument;
}

bool ParquetColumnConverter::TextStream() {
  if (text_ == nullptr || text_->error() != 0) {
    text_.reset(new (std::nothrow) OutputStream(-1, kTextStart));
  }
  if (text_ == nullptr || text_->error() != 0) return false;
  text_->Clear();
  return true;
}

// Each entry's text through the row formatter, as the last field of a row;
// the line end stays behind it as the strings' trailer.
ParquetStatus ParquetColumnConverter::DictionaryTexts(const OutputRowField& field) {
  const auto n = static_cast<std::size_t>(values_.dictSize);
  if (!TextStream() || !offsets_.Resize(n + 1)) return ParquetStatus::kNoMemory;
  for (std::size_t i = 0; i < n; ++i) {
    offsets_[i] = static_cast<std::uint32_t>(text_->size());
    const OutputRowField entry{&keys_[i], 0, field.kind, field.width};
    std::int32_t unusedFill = 1;  // fill is never kept in a dictionary
    if (Output_Rows(text_.get(), *format_, &entry, 1, 1, &unusedFill) != 0) {
      return ParquetStatus::kNoMemory;
    }
  }
  offsets_[n] = static_cast<std::uint32_t>(text_->size());
  values_.strings = ParquetStrings{text_->data(), offsets_.data(), 1};
  return ParquetStatus::kOk;
}

// All rows through the row formatter, one line each, then the offsets of
// the lines: by their common length when they have one, else by search.
// The fill stream's state moves on past the rows.
ParquetStatus ParquetColumnConverter::PlainTexts(const OutputRowField& field, std::int32_t rows,
                                                 std::int32_t* fill) {
  values_ = ParquetValues{};
  if (rows < 1 || field.values == nullptr || format_ == nullptr) return ParquetStatus::kBadArgument;
  const auto n = static_cast<std::size_t>(rows);
  if (!TextStream() || !offsets_.Resize(n + 1)) return ParquetStatus::kNoMemory;
  if (Output_Rows(text_.get(), *format_, &field, 1, rows, fill) != 0) {
    return ParquetStatus::kNoMemory;
  }
  const char* text = text_->data();
  const std::size_t size = text_->size();
  if (size > UINT32_MAX) return ParquetStatus::kBadArgument;
  std::uint32_t* offsets = offsets_.data();
  const int length = FixedTextLength(field, field.kind);
  const auto line = static_cast<std::size_t>(length + 1);
  bool even = length >= 0 && size == n * line;
  if (even) {
    // Every line's end where it should be: one pass without a branch.
    char wrong = 0;
    for (std::size_t i = 1; i <= n; ++i) wrong |= static_cast<char>(text[i * line - 1] ^ '\n');
    even = wrong == 0;
  }
  if (even) {
    for (std::size_t i = 0; i <= n; ++i) offsets[i] = static_cast<std::uint32_t>(i * line);
  } else {
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      offsets[i] = static_cast<std::uint32_t>(at);
      const void* end = std::memchr(text + at, '\n', size - at);
      if (end == nullptr) return ParquetStatus::kBadArgument;
      at = static_cast<std::size_t>(static_cast<const char*>(end) - text) + 1;
    }
    offsets[n] = static_cast<std::uint32_t>(at);
  }
  values_.strings = ParquetStrings{text, offsets, 1};
  return ParquetStatus::kOk;
}

ParquetStatus ParquetFieldEncoder::ConvertField(const ParquetColumnDesc& desc,
                                                const OutputFormat& format,
                                                const OutputRowField& field, std::int32_t rows,
                                                bool sameValuesAsLast, bool* plainTexts,
                                                OutputRowField* values) {
  *plainTexts = false;
  *values = field;
  if (field.runs.numbers != nullptr) {
    bool done = false;
    const ParquetStatus status =
        converter_.ConvertRuns(desc, format, field, rows, sameValuesAsLast, &done);
    if (status != ParquetStatus::kOk || done) return status;
    if (!wide_.Resize(static_cast<std::size_t>(rows))) return ParquetStatus::kNoMemory;
    if (field.runs.width != 1 && field.runs.width != 2) return ParquetStatus::kBadArgument;
    if (!Output_WidenRuns(field.runs, field.stride, rows, wide_.data())) {
      return ParquetStatus::kBadArgument;
    }
    *values = OutputRowField{wide_.data(), 1, field.kind, field.width};
  }
  return converter_.ConvertUnlessPlainTexts(desc, format, *values, rows, sameValuesAsLast,
                                            plainTexts);
}

ParquetStatus ParquetFieldEncoder::Encode(const ParquetColumnDesc& desc, ParquetCodec codec,
                                          const OutputFormat& format, const OutputRowField& field,
                                          std::int32_t rows, std::int32_t fillState,
                                          ParquetEncodedChunk* out) {
  bool plainTexts = false;
  OutputRowField values = field;
  ParquetStatus status = ConvertField(desc, format, field, rows, false, &plainTexts, &values);
  if (status == ParquetStatus::kOk && plainTexts) {
    status = converter_.PlainTexts(values, rows, &fillState);
  }
  if (status != ParquetStatus::kOk) return status;
  return encoder_.Encode(desc, codec, converter_.values(), rows, out);
}

ParquetStatus ParquetFieldEncoder::EncodeInto(const ParquetColumnDesc& desc, ParquetCodec codec,
                                              const OutputFormat& format,
                                              const OutputRowField& field, std::int32_t rows,
                                              std::int32_t fillState, ParquetBuffer* bytes,
                                              ParquetChunkMeta* meta, bool sameValuesAsLast) {
  bool plainTexts = false;
  OutputRowField values = field;
  ParquetStatus status =
      ConvertField(desc, format, field, rows, sameValuesAsLast, &plainTexts, &values);
  if (status != ParquetStatus::kOk) return status;
  if (!plainTexts) return encoder_.EncodeInto(desc, codec, converter_.values(), rows, bytes, meta);
  status = encoder_.BeginPlainStrings(codec, rows, bytes, meta);
  std::int32_t fill = fillState;
  for (std::int32_t first = 0; status == ParquetStatus::kOk && first < rows;
       first += kParquetTextPartRows) {
    const std::int32_t n = std::min(kParquetTextPartRows, rows - first);
    OutputRowField part = values;
    part.values += static_cast<std::ptrdiff_t>(first) * values.stride;
    status = converter_.PlainTexts(part, n, &fill);
    if (status != ParquetStatus::kOk) {
      encoder_.AbandonPlainStrings();
      return status;
    }
    status = encoder_.AddPlainStrings(converter_.values().strings, n);
  }
  if (status != ParquetStatus::kOk) return status;
  return encoder_.EndPlainStrings();
}

}  // namespace zervgen
