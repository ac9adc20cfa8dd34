// output/rows.cpp: the row formatter. Whole rows of fields are formatted
// with one Reserve per row (or per run of rows that surely fit), no call per
// field, and the framing and character sets of one OutputFormat value, so
// that worker threads read nothing that may change under them; fields with
// few distinct values copy their framed texts from the caller's tables.
// With tables, rows go a block at a time, one field at a time (new integers
// and code texts several values at once in vector registers, dates from
// texts framed with their end), and are then put together by copies.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "base/env.h"
#include "base/except.h"
#include "output/cache.h"
#include "output/output.h"
#include "output/text.h"

// Vectors pass only between inline functions of this file, so GCC's note
// that passing them depends on the instruction set concerns no caller.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace zervgen {
namespace {

using namespace output_detail;

constexpr int kMaxRowFields = 16;

static_assert(OutputFieldCaches::kFields >= kMaxRowFields);

// The rows the plain way, one field at a time in `format`, drawing fill
// from *fillState.
int PlainRows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
              int nFields, std::int32_t rows, std::int32_t* fillState) {
  const FieldContext context = ContextOf(format, fillState);
  for (std::int32_t r = 0; r < rows; ++r) {
    for (int i = 0; i < nFields; ++i) {
      const OutputRowField& f = fields[i];
      const int last = i == nFields - 1 ? 1 : 0;
      if (WriteFieldIn(stream, context, f.kind, f.values[r * f.stride], f.width, last) != 0) {
        return STATUS_ERROR;
      }
    }
  }
  return 0;
}

template <bool kFixed>
class RowWriter {
 public:
  RowWriter(const OutputFormat& format, std::int32_t* fillState)
      : context_(ContextOf(format, fillState)) {}
  const DateText* dates() const { return context_.dates; }
  char delim() const { return context_.delim; }
  bool codeSetIsBase() const { return context_.codeSetIsBase; }

  [[gnu::always_inline]] char* Put(char* p, const OutputRowField& f, std::int32_t value,
                                   bool last) const {
    switch (f.kind) {
      case OutputKind::kInteger:
        return Put<OutputKind::kInteger>(p, value, f.width, last);
      case OutputKind::kFloat:
        return Put<OutputKind::kFloat>(p, value, f.width, last);
      case OutputKind::kDate:
        if (value < 0 || value > DATE_MAX_DAY) RefuseDay();
        return Put<OutputKind::kDate>(p, value, f.width, last);
      case OutputKind::kFixed10:
        return Put<OutputKind::kFixed10>(p, value, f.width, last);
      case OutputKind::kFixed20:
        return Put<OutputKind::kFixed20>(p, value, f.width, last);
      case OutputKind::kVarChar:
        return Put<OutputKind::kVarChar>(p, value, f.width, last);
      case OutputKind::kFill:
        return Put<OutputKind::kFill>(p, value, f.width, last);
    }
    // A field's kind is one of the above (Output_Rows checks), so the
    // dispatch needs no range check.
    __builtin_unreachable();
  }

  template <OutputKind K>
  [[gnu::always_inline]] char* Put(char* p, std::int32_t value, int width, bool last) const {
    return WithBody<K>(value, context_, [&](const auto& body, Align align, bool cents) {
      bool padFirst;
      const std::int64_t pad = Padding<kFixed>(body.size(), width, align, &padFirst);
      return PutFramed<kFixed>(p, body, pad, padFirst, cents, last, context_.delim);
    });
  }

 private:
  FieldContext context_;
};

// Fetches the date text of the first date field kDateAhead rows ahead: the
// table is larger than the nearer caches, and every later field of the row
// waits for the length of the date.
class DateAhead {
 public:
  static constexpr std::int32_t kDateAhead = 16;

  DateAhead(const DateText* dates, const OutputRowField* fields, int nFields, std::int32_t rows)
      : dates_(dates) {
    for (int i = 0; i < nFields && rows > kDateAhead; ++i) {
      if (fields[i].kind != OutputKind::kDate) continue;
      next_ = fields[i].values + kDateAhead * fields[i].stride;
      stride_ = fields[i].stride;
      rows_ = rows - kDateAhead;
      break;
    }
  }
  // Before row r of the rows, in order from row 0.
  void Fetch(std::int32_t r) {
    if (r >= rows_) return;
    const auto day = static_cast<std::uint32_t>(*next_);
    next_ += stride_;
    __builtin_prefetch(dates_ + (day < kDays ? day : 0u));
  }

 private:
  const DateText* dates_;
  const std::int32_t* next_ = nullptr;
  std::ptrdiff_t stride_ = 0;
  std::int32_t rows_ = 0;  // rows that have a day kDateAhead rows on
};

// A field's cursor in the rows: a copy of the field whose `values` moves
// on by `stride` after each row, and its table of reused text (null:
// formatted anew). Being local, the copy is known to be untouched by the
// stores of text, so the compiler need not load it again after each field.
struct Column {
  OutputRowField field;
  FieldCache* cache;
  // Whether the table's texts hold the field twice, this field's and the
  // next one's, which shows the same values alike (BlockRows only).
  bool twice = false;
  // Whether the pieces may be made in vector registers (BlockRows only).
  bool wide = false;
  // A date field's texts with its end after each (BlockRows only; null:
  // the field is framed value by value).
  const DateText* dates = nullptr;
};

// Writes the field of the column's next value at p and moves the cursor on.
// kLast is a constant, so that the framing of every field but the line's
// last knows it ends in the delimiter.
template <bool kFixed, bool kLast>
[[gnu::always_inline]] inline char* PutColumn(char* p, const RowWriter<kFixed>& writer,
                                              Column* column) {
  const OutputRowField& f = column->field;
  const std::int32_t value = *f.values;
  column->field.values += f.stride;
  if (column->cache == nullptr) return writer.Put(p, f, value, kLast);
  return column->cache->Put(p, value, [&](char* q) { return writer.Put(q, f, value, kLast); });
}

// The rows with one Reserve of `bound` bytes each and no call per field.
// Row r takes the value at `values` + r * stride of each field.
template <bool kFixed>
int FastRows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
             int nFields, std::int32_t rows, std::size_t bound, std::int32_t* fillState,
             OutputFieldCaches* tables) {
  std::int32_t fill = *fillState;
  const RowWriter<kFixed> writer(format, &fill);
  DateAhead dateAhead(writer.dates(), fields, nFields, rows);
  const int lastField = nFields - 1;
  Column columns[kMaxRowFields];
  for (int i = 0; i < nFields; ++i) {
    const bool cached = tables != nullptr && Reusable(fields[i].kind);
    const FieldLook look = LookOf(fields[i].kind, fields[i].width, i == lastField, format);
    columns[i] = {fields[i], cached ? CacheFor(tables, i, look) : nullptr};
  }
  std::int32_t r = 0;
  for (; r < rows; ++r) {
    char* p = stream->Reserve(bound);
    if (p == nullptr) break;
    dateAhead.Fetch(r);
    for (int i = 0; i < lastField; ++i) {
      p = PutColumn<kFixed, false>(p, writer, &columns[i]);
    }
    p = PutColumn<kFixed, true>(p, writer, &columns[lastField]);
    stream->Commit(p);
  }
  for (int i = 0; i < nFields; ++i) {
    if (columns[i].cache != nullptr) columns[i].cache->Account(static_cast<std::uint32_t>(r));
  }
  *fillState = fill;
  return r == rows ? 0 : STATUS_ERROR;
}

// Rows a block at a time, one field at a time: first each field's texts for
// all rows of the block, with the field's kind and table settled once for
// the block, then the rows put together from those texts. The first pass
// is where the work is and has no branch on the kind per value; the second
// only copies.
constexpr std::int32_t kBlockRows = 128;
// Rows longer than this (at most) are left to FastRows.
constexpr std::size_t kMaxBlockRowBytes = 4096;
// Room after the texts made anew for the 32-byte copies of the last one.
constexpr std::size_t kScratchSlack = 64;

// One field's text in a row of the block (its `value` unused): the cached
// fields' are copied whole from their tables' entries.
using Piece = FieldText;

// Sets the piece's text and size.
[[gnu::always_inline]] inline void SetPiece(Piece* piece, const char* text, std::uint32_t size) {
  piece->text = text;
  piece->size = size;
}

// The block's pieces (row by row) and the texts made anew, in the caches'
// working memory, made or grown at need; null when it cannot be had.
char* BlockMemory(OutputFieldCaches* caches, std::size_t bytes) {
  if (caches->blockBytes >= bytes) return static_cast<char*>(caches->block);
  void* memory = Env_Reallocate(caches->block, bytes);
  if (memory == nullptr) return nullptr;
  caches->block = memory;
  caches->blockBytes = bytes;
  return static_cast<char*>(memory);
}

std::size_t PiecesBytes(int nFields) {
  return sizeof(Piece) * static_cast<std::size_t>(nFields) * kBlockRows;
}

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
// gathered and compared in one register; a value not at its first slot
// goes through cache->Find, with format(q, value), in its turn.
template <typename Format>
[[gnu::target("avx2")]] void CachedPiecesAvx2(FieldCache* cache, const std::int32_t* values,
                                              std::int32_t rows, Piece* pieces, int nFields,
                                              char** scratch, const Format& format) {
  const __m256i factor = _mm256_set1_epi32(static_cast<int>(FieldCache::kFirstFactor));
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
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), offsets);
    if (found == 0xFFu) [[likely]] {
      for (int k = 0; k < 8; ++k, pieces += nFields) {
        std::memcpy(pieces, cache->EntryAt(at[k]), sizeof *pieces);
      }
      continue;
    }
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

// 32 bytes in one vector move where the machine has one.
using Bytes32 = char [[gnu::vector_size(32), gnu::aligned(1)]];

// Copies a piece to p in 32-byte moves; returns its end. The piece is read
// before the first store, which could otherwise change it.
[[gnu::always_inline]] inline char* PutPiece(char* p, const Piece& piece) {
  const char* text = piece.text;
  const std::uint32_t size = piece.size;
  Bytes32 bytes;
  std::memcpy(&bytes, text, 32);
  std::memcpy(p, &bytes, 32);
  if (size > 32) [[unlikely]] {
    for (std::uint32_t i = 32; i < size; i += 32) {
      std::memcpy(&bytes, text + i, 32);
      std::memcpy(p + i, &bytes, 32);
    }
  }
  return p + size;
}

// The rows of the block from their pieces, one Reserve of `bound` each,
// with kFields fields (0: nFields) known to the compiler, so that a row's
// copies need no loop. Returns the rows written (fewer when the stream
// could not grow).
template <int kFields>
[[gnu::always_inline]] inline std::int32_t PutRows(OutputStream* stream, const Piece* pieces,
                                                   int nFields, std::int32_t rows,
                                                   std::size_t bound) {
  const int fields = kFields > 0 ? kFields : nFields;
  std::int32_t r = 0;
  while (r < rows) {
    char* p = stream->Reserve(bound);
    if (p == nullptr) return r;
    // Rows that surely fit the room the stream has now need no Reserve of
    // their own: each would have found its `bound` bytes there.
    const std::size_t fit = stream->room() / bound;
    const std::int32_t end =
        fit < static_cast<std::size_t>(rows - r) ? r + static_cast<std::int32_t>(fit) : rows;
    for (; r < end; ++r, pieces += fields) {
#pragma GCC unroll 16
      for (int i = 0; i < fields; ++i) p = PutPiece(p, pieces[i]);
    }
    stream->Commit(p);
  }
  return rows;
}

// The rows of the block for any count of pieces; the usual counts (the
// relations' nine to eleven) unrolled.
#define ZERVGEN_PUT_BLOCK_BODY                                  \
  switch (nFields) {                                            \
    case 9:                                                     \
      return PutRows<9>(stream, pieces, nFields, rows, bound);  \
    case 10:                                                    \
      return PutRows<10>(stream, pieces, nFields, rows, bound); \
    case 11:                                                    \
      return PutRows<11>(stream, pieces, nFields, rows, bound); \
    default:                                                    \
      return PutRows<0>(stream, pieces, nFields, rows, bound);  \
  }

std::int32_t PutBlockPlain(OutputStream* stream, const Piece* pieces, int nFields,
                           std::int32_t rows, std::size_t bound) {
  ZERVGEN_PUT_BLOCK_BODY
}

// The same with 32-byte moves in one instruction each, where the machine
// has them (chosen at run time).
[[gnu::target("avx2")]] std::int32_t PutBlockAvx2(OutputStream* stream, const Piece* pieces,
                                                  int nFields, std::int32_t rows,
                                                  std::size_t bound) {
  ZERVGEN_PUT_BLOCK_BODY
}
#undef ZERVGEN_PUT_BLOCK_BODY

// Whether blocks are made with AVX2, as `copy` says.
bool WideBlocks(OutputFieldCaches::BlockCopy copy) {
  return copy == OutputFieldCaches::BlockCopy::kBest ? Output_HasAvx2()
                                                     : copy == OutputFieldCaches::BlockCopy::kAvx2;
}

std::int32_t PutBlock(OutputFieldCaches::BlockCopy copy, OutputStream* stream, const Piece* pieces,
                      int nFields, std::int32_t rows, std::size_t bound) {
  return WideBlocks(copy) ? PutBlockAvx2(stream, pieces, nFields, rows, bound)
                          : PutBlockPlain(stream, pieces, nFields, rows, bound);
}

// The delimited date texts of `plain` with `end` after each, kept in
// `caches` (a row's last field apart from the others) and made again when
// the end changes; null when the memory cannot be had. One text more than
// there are days is room for the 32-byte reads of the last one.
const DateText* FramedDates(OutputFieldCaches* caches, const DateText* plain, bool last, char end) {
  const int k = last ? 1 : 0;
  if (caches->dates[k] != nullptr && caches->datesEnd[k] == end) {
    return static_cast<const DateText*>(caches->dates[k]);
  }
  if (caches->dates[k] == nullptr) {
    caches->dates[k] = Env_Reallocate(nullptr, sizeof(DateText) * (kDays + 1));
    if (caches->dates[k] == nullptr) return nullptr;
  }
  auto* texts = static_cast<DateText*>(caches->dates[k]);
  for (int day = 0; day < kDays; ++day) {
    texts[day] = plain[day];
    texts[day].text[texts[day].size] = end;  // a delimited date has at most 10 characters
    ++texts[day].size;
  }
  texts[kDays] = DateText{};
  caches->datesEnd[k] = end;
  return texts;
}

// Whether field i shows the very values of field i - 1 with the same
// framing (a column shown twice in a row, as hundred's double and decim):
// its pieces are then those of the field before, copied, not looked up or
// made again. Fill text is drawn anew for each field, and a row's last
// field ends in the line end.
bool SameAsFieldBefore(const OutputRowField* fields, int i, int lastField) {
  if (i == 0 || i == lastField) return false;
  const OutputRowField& a = fields[i - 1];
  const OutputRowField& b = fields[i];
  return a.values == b.values && a.stride == b.stride && a.kind == b.kind && a.width == b.width &&
         b.kind != OutputKind::kFill;
}

// Copies the pieces of the field before to this field, for `rows` rows.
void CopyPieces(Piece* pieces, int nFields, std::int32_t rows) {
  for (std::int32_t r = 0; r < rows; ++r, pieces += nFields) {
    std::memcpy(pieces, pieces - 1, sizeof *pieces);
  }
}

// Whether BlockRows takes these rows: fill text is drawn row after row, so
// one fill field at most, and rows short enough for a block's scratch.
bool BlockFits(const OutputRowField* fields, int nFields, std::size_t bound) {
  int fills = 0;
  for (int i = 0; i < nFields; ++i) fills += fields[i].kind == OutputKind::kFill ? 1 : 0;
  return fills <= 1 && bound <= kMaxBlockRowBytes;
}

// Returns 0, STATUS_ERROR when the stream failed, or 1 when the working
// memory cannot be had (nothing written, FastRows to take over).
template <bool kFixed>
int BlockRows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
              int nFields, std::int32_t rows, std::size_t bound, std::int32_t* fillState,
              OutputFieldCaches* tables) {
  const std::size_t piecesBytes = PiecesBytes(nFields);
  char* memory = BlockMemory(tables, piecesBytes + bound * kBlockRows + kScratchSlack);
  if (memory == nullptr) return 1;
  auto* pieces = reinterpret_cast<Piece*>(memory);
  char* scratchBegin = memory + piecesBytes;
  std::int32_t fill = *fillState;
  const RowWriter<kFixed> writer(format, &fill);
  const int lastField = nFields - 1;
  const bool wide = WideBlocks(tables->blockCopy);
  Column columns[kMaxRowFields];
  bool copied[kMaxRowFields];
  for (int i = 0; i < nFields; ++i) copied[i] = SameAsFieldBefore(fields, i, lastField);
  // A field shown again right after it, from a table, is kept there twice
  // over and makes one piece with the next field, which then has none
  // (unless the one after shows it yet again and copies its piece).
  int pieceOf[kMaxRowFields];  // the field's piece in a row; -1: none
  int nPieces = 0;
  for (int i = 0; i < nFields; ++i) {
    FieldLook look = LookOf(fields[i].kind, fields[i].width, i == lastField, format);
    const bool cached = Reusable(fields[i].kind) && !copied[i];
    look.twice = cached && i + 1 < nFields && copied[i + 1] && !(i + 2 < nFields && copied[i + 2]);
    columns[i] = {fields[i], cached ? CacheFor(tables, i, look) : nullptr};
    columns[i].twice = look.twice && columns[i].cache != nullptr;
    columns[i].wide = wide;
    if (!kFixed && fields[i].kind == OutputKind::kDate && !copied[i]) {
      const bool last = i == lastField;
      columns[i].dates = FramedDates(tables, writer.dates(), last, last ? '\n' : writer.delim());
    }
    pieceOf[i] = i > 0 && columns[i - 1].twice ? -1 : nPieces++;
  }
  std::int32_t done = 0;
  while (done < rows) {
    const std::int32_t n = rows - done < kBlockRows ? rows - done : kBlockRows;
    char* scratch = scratchBegin;
    for (int i = 0; i < nFields; ++i) {
      if (pieceOf[i] < 0) continue;
      if (copied[i]) {
        CopyPieces(pieces + pieceOf[i], nPieces, n);
        continue;
      }
      ColumnPieces(writer, &columns[i], i == lastField, n, pieces + pieceOf[i], nPieces, &scratch);
    }
    const std::int32_t put = PutBlock(tables->blockCopy, stream, pieces, nPieces, n, bound);
    done += put;
    if (put < n) break;
  }
  for (int i = 0; i < nFields; ++i) {
    if (columns[i].cache != nullptr) columns[i].cache->Account(static_cast<std::uint32_t>(done));
  }
  *fillState = fill;
  return done == rows ? 0 : STATUS_ERROR;
}

}  // namespace

bool Output_HasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

std::size_t Output_RowBound(const OutputRowField* fields, int nFields) {
  std::size_t bound = 0;
  for (int i = 0; i < nFields; ++i) {
    const int w = fields[i].width;
    bound += static_cast<std::size_t>(w < 0 ? -static_cast<std::int64_t>(w) : w) + kMaxFieldBytes;
  }
  return bound;
}

int Output_Rows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
                int nFields, std::int32_t rows, std::int32_t* fillState,
                OutputFieldCaches* caches) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  CHECK_REQUIRE_TEXT(fields != nullptr || nFields == 0, "fields != NULL || nFields == 0");
  CHECK_REQUIRE_TEXT(fillState != nullptr, "fillState != NULL");
  if (nFields <= 0) return 0;
  if (nFields > kMaxRowFields) return PlainRows(stream, format, fields, nFields, rows, fillState);
  // Every field takes at most its width and kMaxFieldBytes, padded or not.
  std::size_t bound = 0;
  for (int i = 0; i < nFields; ++i) {
    const OutputRowField& f = fields[i];
    CHECK_REQUIRE_TEXT(f.kind <= OutputKind::kFill, "fields[i].kind <= OutputKind::kFill");
    const std::int64_t span = f.width < 0 ? -static_cast<std::int64_t>(f.width) : f.width;
    if (span > kMaxInlinePad) return PlainRows(stream, format, fields, nFields, rows, fillState);
    bound += static_cast<std::size_t>(span) + kMaxFieldBytes;
  }
  if (caches != nullptr && BlockFits(fields, nFields, bound)) {
    const int status =
        format.fixedFormat
            ? BlockRows<true>(stream, format, fields, nFields, rows, bound, fillState, caches)
            : BlockRows<false>(stream, format, fields, nFields, rows, bound, fillState, caches);
    if (status != 1) return status;
  }
  return format.fixedFormat
             ? FastRows<true>(stream, format, fields, nFields, rows, bound, fillState, caches)
             : FastRows<false>(stream, format, fields, nFields, rows, bound, fillState, caches);
}

}  // namespace zervgen
