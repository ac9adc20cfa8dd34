// output/pieces.cpp: a field's texts for a block of rows.
#include "output/pieces.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

// Vectors pass only between inline functions of this file, so GCC's note
// that passing them depends on the instruction set concerns no caller.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace zervgen::output_detail {
namespace {

#if defined(__x86_64__) && defined(__GNUC__)
#define ZERVGEN_WIDE_DIGITS 1
// Decimal digits of four values at once, in the four 64-bit lanes of a
// vector register: the same splits as EightDigitsWord and the quotient by
// 10^8, with no lane's product reaching the next lane (each split's
// factors fit the narrower lanes it is computed in).
using U64x4 = std::uint64_t __attribute__((vector_size(32)));
using U32x8 = std::uint32_t __attribute__((vector_size(32)));
using U16x16 = std::uint16_t __attribute__((vector_size(32)));
using I64x4 = std::int64_t __attribute__((vector_size(32)));

// The factors of the digit splits, one per lane, kept opaque: the compiler
// would turn a multiply by a known constant into a chain of shifts and
// adds, dearer than one multiply instruction.
struct DigitFactors {
  U64x4 hundredMillionsMagic;  // v * this >> 57 is v / 10^8
  U64x4 hundredMillion;
  U64x4 tenThousandsMagic;  // v * this >> 45 is v / 10^4
  U64x4 tenThousand;
  U32x8 hundredsMagic;  // x * this >> 20 is x / 100 for x below 10^4
  U32x8 hundredsFold;
  U16x16 tensMagic;  // x * this >> 10 is x / 10 for x below 100
  U16x16 tensFold;
  U64x4 twoHundredFive;  // x * this >> 11 is x / 10 for x below 1029
  U64x4 ten;
};

template <typename V>
[[gnu::always_inline]] inline V Opaque(V v) {
  __asm__("" : "+m"(v));
  return v;
}

[[gnu::always_inline]] inline DigitFactors MakeDigitFactors() {
  return DigitFactors{Opaque(U64x4{} + 1441151881u), Opaque(U64x4{} + 100000000u),
                      Opaque(U64x4{} + 0xD1B71759u), Opaque(U64x4{} + 10000u),
                      Opaque(U32x8{} + 10486u),      Opaque(U32x8{} + ((100u << 16) - 1)),
                      Opaque(U16x16{} + 103),        Opaque(U16x16{} + ((10u << 8) - 1)),
                      Opaque(U64x4{} + 205u),        Opaque(U64x4{} + 10u)};
}

// a * b in each lane, for factors below 2^32: one 32x32-bit multiply
// instruction (written out, as the compiler makes a full 64-bit product
// of three multiplies from the masked lanes).
[[gnu::always_inline, gnu::target("avx2")]] inline U64x4 MulLow(U64x4 a, U64x4 b) {
  return reinterpret_cast<U64x4>(
      _mm256_mul_epu32(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
}

// The quotient by 10^8 of each lane below 2^32 (checked for all of them).
[[gnu::always_inline, gnu::target("avx2")]] inline U64x4 HundredMillionsOf(U64x4 v,
                                                                           const DigitFactors& f) {
  return MulLow(v, f.hundredMillionsMagic) >> 57;
}

// EightDigitsWord of each lane below 10^8 (checked for all of them).
[[gnu::always_inline, gnu::target("avx2")]] inline U64x4 EightDigitsWords(U64x4 v,
                                                                          const DigitFactors& f) {
  const U64x4 high = MulLow(v, f.tenThousandsMagic) >> 45;  // v / 10^4
  const U32x8 halves = reinterpret_cast<U32x8>(high | ((v - MulLow(high, f.tenThousand)) << 32));
  const U32x8 q = ((halves * f.hundredsMagic) >> 20) & 0x7Fu;
  const U16x16 pairs = reinterpret_cast<U16x16>((halves << 16) - q * f.hundredsFold);
  const U16x16 tens = ((pairs * f.tensMagic) >> 10) & 0xF;
  const U16x16 digits = (pairs << 8) - tens * f.tensFold;
  return reinterpret_cast<U64x4>(digits) + 0x3030303030303030u;
}

// Four 16-byte slots at `at`: slot k holds lane k of `low`, then of `high`.
[[gnu::always_inline, gnu::target("avx2")]] inline void PutSlots(U64x4 low, U64x4 high, char* at) {
  const auto lo = reinterpret_cast<__m256i>(low);
  const auto hi = reinterpret_cast<__m256i>(high);
  const __m256i evens = _mm256_unpacklo_epi64(lo, hi);  // slots 0 and 2
  const __m256i odds = _mm256_unpackhi_epi64(lo, hi);   // slots 1 and 3
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_permute2x128_si256(evens, odds, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + 32),
                      _mm256_permute2x128_si256(evens, odds, 0x31));
}

// Four pieces, one every nFields pieces: piece k's text is lane k of
// `texts` (addresses) and its size lane k of `sizes`.
[[gnu::always_inline, gnu::target("avx2")]] inline void PutPieces(__m256i texts, __m256i sizes,
                                                                  Piece* pieces, int nFields) {
  const __m256i evens = _mm256_unpacklo_epi64(texts, sizes);  // pieces 0 and 2
  const __m256i odds = _mm256_unpackhi_epi64(texts, sizes);   // pieces 1 and 3
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pieces), _mm256_castsi256_si128(evens));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pieces + nFields), _mm256_castsi256_si128(odds));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pieces + 2 * nFields),
                   _mm256_extracti128_si256(evens, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pieces + 3 * nFields),
                   _mm256_extracti128_si256(odds, 1));
}

// The code texts' pairs of characters with one pair more, so that a
// four-byte read of any pair stays inside.
constexpr std::array<CharPair, (1 << kPairBits) + 1> MakeGatherCodePairs() {
  std::array<CharPair, (1 << kPairBits) + 1> pairs{};
  for (std::size_t i = 0; i < kCodePairs.size(); ++i) pairs[i] = kCodePairs[i];
  return pairs;
}
alignas(64) constexpr std::array<CharPair, (1 << kPairBits) + 1> kGatherCodePairs =
    MakeGatherCodePairs();

// The pairs of characters of the four table entries (each below 4096), in
// the low 16 bits of their lanes, the rest zero.
[[gnu::always_inline, gnu::target("avx2")]] inline U64x4 CodePairsOf(U64x4 entries) {
  const __m128i pairs = _mm256_i64gather_epi32(
      reinterpret_cast<const int*>(kGatherCodePairs.data()), reinterpret_cast<__m256i>(entries), 2);
  return reinterpret_cast<U64x4>(_mm256_cvtepu16_epi64(_mm_shuffle_epi8(
      pairs, _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1))));
}

// The 16-byte slots of four values below 2^31 at `at`: each value's ten
// digits (its quotient `high` by 10^8 as two, then the eight of `words`)
// and the byte of `endLane`; the rest of the slot is left unspecified.
[[gnu::always_inline, gnu::target("avx2")]] inline void PutIntegerSlots(U64x4 high, U64x4 words,
                                                                        U64x4 endLane, char* at,
                                                                        const DigitFactors& f) {
  // high is below 22: times 205 >> 11 is its tens digit.
  const U64x4 tens = MulLow(high, f.twoHundredFive) >> 11;
  const U64x4 ones = high - MulLow(tens, f.ten);
  const U64x4 low = ((tens | (ones << 8)) + 0x3030u) | (words << 16);
  const U64x4 rest = (words >> 48) | endLane;
  PutSlots(low, rest, at);
}

// The digit counts of eight values below 2^31: one more than the powers of
// ten from 10 to 10^9 each reaches.
[[gnu::always_inline, gnu::target("avx2")]] inline __m256i DigitCounts(__m256i values) {
  static constexpr std::int32_t kBelow[] = {9,      99,      999,      9999,     99999,
                                            999999, 9999999, 99999999, 999999999};  // 10^k - 1
  __m256i digits = _mm256_set1_epi32(1);
  for (std::int32_t below : kBelow) {
    digits = _mm256_sub_epi32(digits, _mm256_cmpgt_epi32(values, _mm256_set1_epi32(below)));
  }
  return digits;
}

// The pieces of the four slots at `at`, one every nFields pieces, of values
// of `digits` digits (in 64-bit lanes): each starts at its value's first
// digit and takes the end byte too.
[[gnu::always_inline, gnu::target("avx2")]] inline void PutIntegerPieces(__m256i digits, char* at,
                                                                         Piece* pieces,
                                                                         int nFields) {
  const auto counts = reinterpret_cast<I64x4>(digits);
  const auto base = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(at));
  const I64x4 text = (I64x4{10, 26, 42, 58} + base) - counts;
  PutPieces(reinterpret_cast<__m256i>(text), reinterpret_cast<__m256i>(counts + 1), pieces,
            nFields);
}

// One value's piece made the plain way: format(at, value) writes its text
// at *at, the piece points at it, and *at moves past it.
template <typename Format>
[[gnu::always_inline]] inline void PlainPiece(const Format& format, std::int32_t value, char** at,
                                              Piece* piece) {
  char* next = format(*at, value);
  SetPiece(piece, *at, static_cast<std::uint32_t>(next - *at));
  *at = next;
}

// The pieces of a delimited integer field made anew, for `rows` rows, at
// *scratch: each value's ten digits (leading zeros too) and `end` in a slot
// of 16 bytes, its piece starting at the first digit it shows. Eight values
// none of which is negative go through vector registers at once; others
// through format(q, value), as the plain loop makes them.
template <typename Format>
[[gnu::target("avx2")]] void IntegerPiecesAvx2(const std::int32_t* values, std::ptrdiff_t stride,
                                               std::int32_t rows, char end, Piece* pieces,
                                               int nFields, char** scratch, const Format& format) {
  const DigitFactors factors = MakeDigitFactors();
  const U64x4 endLane = U64x4{} + (std::uint64_t{static_cast<unsigned char>(end)} << 16);
  char* at = *scratch;
  std::int32_t r = 0;
  for (; r + 8 <= rows; r += 8) {
    const __m256i v =
        stride == 1 ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values))
                    : _mm256_setr_epi32(values[0], values[stride], values[2 * stride],
                                        values[3 * stride], values[4 * stride], values[5 * stride],
                                        values[6 * stride], values[7 * stride]);
    if (_mm256_movemask_ps(_mm256_castsi256_ps(v)) != 0) {
      for (int k = 0; k < 8; ++k, values += stride, pieces += nFields) {
        PlainPiece(format, *values, &at, pieces);
      }
      continue;
    }
    values += 8 * stride;
    const __m256i digits = DigitCounts(v);
    for (int half = 0; half < 2; ++half) {
      const __m128i four = half == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
      const __m128i counts =
          half == 0 ? _mm256_castsi256_si128(digits) : _mm256_extracti128_si256(digits, 1);
      const auto lanes = reinterpret_cast<U64x4>(_mm256_cvtepu32_epi64(four));
      const U64x4 high = HundredMillionsOf(lanes, factors);
      const U64x4 words = EightDigitsWords(lanes - MulLow(high, factors.hundredMillion), factors);
      PutIntegerSlots(high, words, endLane, at, factors);
      PutIntegerPieces(_mm256_cvtepu32_epi64(counts), at, pieces, nFields);
      pieces += 4 * nFields;
      at += 64;
    }
  }
  for (; r < rows; ++r, values += stride, pieces += nFields) {
    PlainPiece(format, *values, &at, pieces);
  }
  *scratch = at;
}

// x * a modulo 2^31-1 in each lane, as Ms_MulMod, for x and a below 2^31.
[[gnu::always_inline, gnu::target("avx2")]] inline U64x4 MulModLanes(U64x4 x, U64x4 a,
                                                                     U64x4 modulus) {
  const U64x4 product = MulLow(x, a);
  const U64x4 r = (product & modulus) + (product >> 31);  // at most 2m
  return r -
         (reinterpret_cast<U64x4>(reinterpret_cast<I64x4>(r) > reinterpret_cast<I64x4>(modulus)) &
          modulus);
}

// The pieces of a delimited code-text field (the base character set) made
// anew, for `rows` rows, at *scratch: each value's ten characters and `end`
// in a slot of 16 bytes. Four values of 2 or more take both their draws
// (the value times the multiplier and its square) in vector registers at
// once and their pairs of characters from the table as CodeBody does;
// others go through format(q, value), as the plain loop makes them.
template <typename Format>
[[gnu::target("avx2")]] void CodePiecesAvx2(const std::int32_t* values, std::ptrdiff_t stride,
                                            std::int32_t rows, char end, Piece* pieces, int nFields,
                                            char** scratch, const Format& format) {
  const U64x4 modulus = Opaque(U64x4{} + static_cast<std::uint64_t>(kRandomModulus));
  const U64x4 first = Opaque(U64x4{} + static_cast<std::uint64_t>(kRandomMultiplier));
  const U64x4 second = Opaque(U64x4{} + kRandomMultiplier2);
  const U64x4 endLane = U64x4{} + (std::uint64_t{static_cast<unsigned char>(end)} << 16);
  char* at = *scratch;
  std::int32_t r = 0;
  for (; r + 4 <= rows; r += 4) {
    const std::int32_t v[4] = {values[0], values[stride], values[2 * stride], values[3 * stride]};
    values += 4 * stride;
    if (v[0] < 2 || v[1] < 2 || v[2] < 2 || v[3] < 2) {
      for (std::int32_t value : v) {
        PlainPiece(format, value, &at, pieces);
        pieces += nFields;
      }
      continue;
    }
    const U64x4 lanes = {static_cast<std::uint64_t>(v[0]), static_cast<std::uint64_t>(v[1]),
                         static_cast<std::uint64_t>(v[2]), static_cast<std::uint64_t>(v[3])};
    const U64x4 x = MulModLanes(lanes, first, modulus);
    const U64x4 y = MulModLanes(lanes, second, modulus);
    // Each draw's three pairs of characters, as CodeBody takes them; the
    // third pair's second character is the next draw's first one's place.
    const U64x4 a = CodePairsOf(x & 4095u), b = CodePairsOf((x >> 12) & 4095u);
    const U64x4 c = CodePairsOf(x >> 24), d = CodePairsOf(y & 4095u);
    const U64x4 e = CodePairsOf((y >> 12) & 4095u), g = CodePairsOf(y >> 24);
    const U64x4 low = a | (b << 16) | ((c & 0xFFu) << 32) | (d << 40) | ((e & 0xFFu) << 56);
    const U64x4 high = (e >> 8) | ((g & 0xFFu) << 8) | endLane;
    PutSlots(low, high, at);
    const auto text = reinterpret_cast<__m256i>(
        (I64x4{0, 16, 32, 48} + static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(at))));
    PutPieces(text, _mm256_set1_epi64x(11), pieces, nFields);
    pieces += 4 * nFields;
    at += 64;
  }
  for (; r < rows; ++r, values += stride, pieces += nFields) {
    PlainPiece(format, *values, &at, pieces);
  }
  *scratch = at;
}

// The pieces of a field with a table, for `rows` values one after the
// other: the first slots of eight values at once, their entries' values
// gathered and compared in one register, then, when some value is not at
// its first slot, the second slots of the eight the same way (a table of
// a hundred random values holds about one in ten at its second slot, so
// half of the groups of eight have one); a value at neither goes through
// cache->Find, with format(q, value), in its turn.
template <typename Format>
[[gnu::target("avx2")]] void CachedPiecesAvx2(FieldCache* cache, const std::int32_t* values,
                                              std::int32_t rows, Piece* pieces, int nFields,
                                              char** scratch, const Format& format) {
  const __m256i factor = _mm256_set1_epi32(static_cast<int>(FieldCache::kFirstFactor));
  const __m256i secondFactor = _mm256_set1_epi32(static_cast<int>(FieldCache::kSecondFactor));
  const __m256i mask = _mm256_set1_epi32(static_cast<int>(FieldCache::kOffsetMask));
  const auto* entryValues = reinterpret_cast<const int*>(
      reinterpret_cast<const char*>(cache->entries()) + offsetof(FieldText, value));
  const auto find = [&](std::int32_t value, Piece* piece) {
    cache->Find(value, scratch, piece, [&](char* q) { return format(q, value); });
  };
  std::int32_t r = 0;
  for (; r + 8 <= rows; r += 8, values += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values));
    const __m256i offsets = _mm256_and_si256(
        _mm256_srli_epi32(_mm256_mullo_epi32(v, factor), FieldCache::kOffsetShift), mask);
    const __m256i held = _mm256_i32gather_epi32(entryValues, offsets, 1);
    const auto found =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(held, v))));
    alignas(32) std::uint32_t at[8];
    if (found == 0xFFu) [[likely]] {
      _mm256_store_si256(reinterpret_cast<__m256i*>(at), offsets);
      for (int k = 0; k < 8; ++k, pieces += nFields) {
        std::memcpy(pieces, cache->EntryAt(at[k]), sizeof *pieces);
      }
      continue;
    }
    const __m256i second = _mm256_and_si256(
        _mm256_srli_epi32(_mm256_mullo_epi32(v, secondFactor), FieldCache::kOffsetShift), mask);
    const __m256i heldSecond = _mm256_i32gather_epi32(entryValues, second, 1);
    const auto foundSecond = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(heldSecond, v))));
    if ((found | foundSecond) == 0xFFu) {
      // Each value's entry: at its first slot where it is there, as Find
      // looks, else at its second.
      _mm256_store_si256(reinterpret_cast<__m256i*>(at),
                         _mm256_blendv_epi8(second, offsets, _mm256_cmpeq_epi32(held, v)));
      for (int k = 0; k < 8; ++k, pieces += nFields) {
        std::memcpy(pieces, cache->EntryAt(at[k]), sizeof *pieces);
      }
      continue;
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), offsets);
    for (int k = 0; k < 8; ++k, pieces += nFields) {
      if ((found >> k & 1u) != 0) {
        std::memcpy(pieces, cache->EntryAt(at[k]), sizeof *pieces);
      } else {
        find(values[k], pieces);
      }
    }
  }
  for (; r < rows; ++r, ++values, pieces += nFields) find(*values, pieces);
}
#endif

// The pieces of one field for `rows` rows: texts from its table, else made
// at *scratch, which moves on past them.
template <bool kFixed, OutputKind K>
void FieldPieces(const RowWriter<kFixed>& rowWriter, Column* column, bool last, std::int32_t rows,
                 Piece* pieces, int nFields, char** scratch) {
  // Local copies, which the stores of text cannot change, stay in registers.
  const RowWriter<kFixed> writer = rowWriter;
  const std::int32_t* values = column->field.values;
  const std::ptrdiff_t stride = column->field.stride;
  const int width = column->field.width;
  const auto format = [&](char* q, std::int32_t value) {
    if constexpr (K == OutputKind::kDate) {
      if (value < 0 || value > DATE_MAX_DAY) RefuseDay();
    }
    return writer.template Put<K>(q, value, width, last);
  };
  if constexpr (K == OutputKind::kDate) {
    if (column->dates != nullptr) {
      const DateText* dates = column->dates;
      for (std::int32_t r = 0; r < rows; ++r, values += stride, pieces += nFields) {
        const std::int32_t value = *values;
        if (static_cast<std::uint32_t>(value) > static_cast<std::uint32_t>(DATE_MAX_DAY)) {
          RefuseDay();
        }
        SetPiece(pieces, dates[value].text, dates[value].size);
      }
      column->field.values = values;
      return;
    }
  }
  FieldCache* cache = column->cache;
  if constexpr (K != OutputKind::kDate && K != OutputKind::kFill) {
    if (cache != nullptr) {
      // A text held twice is never a row's last field.
      const bool twice = column->twice;
      const auto formatKept = [&](char* q, std::int32_t value) {
        if (twice) q = format(q, value);
        return format(q, value);
      };
#ifdef ZERVGEN_WIDE_DIGITS
      if (column->wide && stride == 1) {
        CachedPiecesAvx2(cache, values, rows, pieces, nFields, scratch, formatKept);
        column->field.values = values + rows;
        return;
      }
#endif
#pragma GCC unroll 4
      for (std::int32_t r = 0; r < rows; ++r, values += stride, pieces += nFields) {
        const std::int32_t value = *values;
        cache->Find(value, scratch, pieces, [&](char* q) { return formatKept(q, value); });
      }
      column->field.values = values;
      return;
    }
  }
#ifdef ZERVGEN_WIDE_DIGITS
  if constexpr (!kFixed && K == OutputKind::kFixed10) {
    if (column->wide && writer.codeSetIsBase()) {
      CodePiecesAvx2(values, stride, rows, last ? '\n' : writer.delim(), pieces, nFields, scratch,
                     format);
      column->field.values = values + rows * stride;
      return;
    }
  }
  if constexpr (!kFixed && K == OutputKind::kInteger) {
    if (column->wide && std::endian::native == std::endian::little) {
      IntegerPiecesAvx2(values, stride, rows, last ? '\n' : writer.delim(), pieces, nFields,
                        scratch, format);
      column->field.values = values + rows * stride;
      return;
    }
  }
#endif
  char* at = *scratch;
#pragma GCC unroll 4
  for (std::int32_t r = 0; r < rows; ++r, values += stride, pieces += nFields) {
    char* end = format(at, *values);
    SetPiece(pieces, at, static_cast<std::uint32_t>(end - at));
    at = end;
  }
  *scratch = at;
  column->field.values = values;
}

}  // namespace

template <bool kFixed>
void ColumnPieces(const RowWriter<kFixed>& writer, Column* column, bool last, std::int32_t rows,
                  Piece* pieces, int nFields, char** scratch) {
  switch (column->field.kind) {
    case OutputKind::kInteger:
      return FieldPieces<kFixed, OutputKind::kInteger>(writer, column, last, rows, pieces, nFields,
                                                       scratch);
    case OutputKind::kFloat:
      return FieldPieces<kFixed, OutputKind::kFloat>(writer, column, last, rows, pieces, nFields,
                                                     scratch);
    case OutputKind::kDate:
      return FieldPieces<kFixed, OutputKind::kDate>(writer, column, last, rows, pieces, nFields,
                                                    scratch);
    case OutputKind::kFixed10:
      return FieldPieces<kFixed, OutputKind::kFixed10>(writer, column, last, rows, pieces, nFields,
                                                       scratch);
    case OutputKind::kFixed20:
      return FieldPieces<kFixed, OutputKind::kFixed20>(writer, column, last, rows, pieces, nFields,
                                                       scratch);
    case OutputKind::kVarChar:
      return FieldPieces<kFixed, OutputKind::kVarChar>(writer, column, last, rows, pieces, nFields,
                                                       scratch);
    case OutputKind::kFill:
      return FieldPieces<kFixed, OutputKind::kFill>(writer, column, last, rows, pieces, nFields,
                                                    scratch);
  }
}

template void ColumnPieces<true>(const RowWriter<true>& writer, Column* column, bool last,
                                 std::int32_t rows, Piece* pieces, int nFields, char** scratch);
template void ColumnPieces<false>(const RowWriter<false>& writer, Column* column, bool last,
                                  std::int32_t rows, Piece* pieces, int nFields, char** scratch);

}  // namespace zervgen::output_detail
