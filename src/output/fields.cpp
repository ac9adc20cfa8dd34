// output/fields.cpp: the seven field writers, one value into one framed
// field of the sink at a time, in the framing their caller hands them.
#include <climits>
#include <cstring>
#include <iterator>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "base/except.h"
#include "output/output.h"
#include "output/text.h"

namespace zervgen {
namespace {

template <typename Narrow>
bool WidenNumbers(const Narrow* in, std::ptrdiff_t stride, std::int32_t rows,
                  const std::int32_t* values, std::uint32_t count, std::int32_t* out) {
  // A number without a value reads the first one, and is told at the end.
  bool beyond = false;
  for (std::int32_t r = 0; r < rows; ++r) {
    const std::uint32_t k = in[r * stride];
    beyond |= k >= count;
    out[r] = values[k < count ? k : 0];
  }
  return !beyond;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same for numbers one after the other, eight at a time: widened in one
// register and their values gathered in one instruction; a number without
// a value reads the last one.
template <typename Narrow>
[[gnu::target("avx2")]] bool WidenNumbersAvx2(const Narrow* in, std::int32_t rows,
                                              const std::int32_t* values, std::uint32_t count,
                                              std::int32_t* out) {
  const __m256i last = _mm256_set1_epi32(static_cast<int>(count - 1));
  __m256i beyond = _mm256_setzero_si256();
  std::int32_t r = 0;
  for (; r + 8 <= rows; r += 8) {
    __m256i k;
    if constexpr (sizeof(Narrow) == 1) {
      k = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + r)));
    } else {
      k = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + r)));
    }
    beyond = _mm256_or_si256(beyond, _mm256_cmpgt_epi32(k, last));
    k = _mm256_min_epu32(k, last);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + r), _mm256_i32gather_epi32(values, k, 4));
  }
  const bool tail = WidenNumbers(in + r, 1, rows - r, values, count, out + r);
  return tail && _mm256_testz_si256(beyond, beyond) != 0;
}
#endif

template <typename Narrow>
bool Widen(const OutputRuns& runs, std::ptrdiff_t stride, std::int32_t rows, std::int32_t* out) {
  const auto* in = static_cast<const Narrow*>(runs.numbers);
  const auto count = static_cast<std::uint32_t>(runs.count);
#if defined(__x86_64__) && defined(__GNUC__)
  if (stride == 1 && Output_HasAvx2()) return WidenNumbersAvx2(in, rows, runs.values, count, out);
#endif
  return WidenNumbers(in, stride, rows, runs.values, count, out);
}

}  // namespace

bool Output_WidenRuns(const OutputRuns& runs, std::ptrdiff_t stride, std::int32_t rows,
                      std::int32_t* out) {
  CHECK_REQUIRE_TEXT(out != nullptr, "out != NULL");
  CHECK_REQUIRE_TEXT(runs.width == 1 || runs.width == 2, "run numbers of 1 or 2 bytes");
  if (runs.count < 1) return rows < 1;
  return runs.width == 1 ? Widen<std::uint8_t>(runs, stride, rows, out)
                         : Widen<std::uint16_t>(runs, stride, rows, out);
}

namespace output_detail {

// An out-of-range day number: the conversion's own check refuses it. A value
// whose low 16 bits would be a valid day is refused all the same.
[[gnu::cold]] int RefuseDay() {
  std::uint16_t day, month, year;
  Date_Convert(UINT16_MAX, &day, &month, &year);
  return STATUS_ERROR;  // not reached: the conversion raises
}

}  // namespace output_detail

namespace {

using namespace output_detail;

// Writes n blanks in pieces of at most kMaxInlinePad.
bool PutManyBlanks(OutputStream* stream, std::int64_t n) {
  for (; n > 0; n -= kMaxInlinePad) {
    char* p = stream->Reserve(kMaxInlinePad + kBlankSlack);
    if (p == nullptr) return false;
    const std::int64_t piece = n < kMaxInlinePad ? n : kMaxInlinePad;
    PutBlanks(p, piece);
    stream->Commit(p + piece);
  }
  return true;
}

// The rare field whose padding does not fit one reserve: blanks, body and
// tail are written in turns. A field longer than INT_MAX bytes fails, as a
// formatted write reports an overflow for it.
[[gnu::cold, gnu::noinline]] int PutWideField(OutputStream* stream, const char* body, int size,
                                              std::int64_t pad, bool padFirst, bool cents, int last,
                                              bool fixed, char delim) {
  if (pad + size + 4 > INT_MAX) return STATUS_ERROR;
  if (padFirst && !PutManyBlanks(stream, pad)) return STATUS_ERROR;
  char* p = stream->Reserve(kMaxFieldBytes);
  if (p == nullptr) return STATUS_ERROR;
  std::memcpy(p, body, static_cast<std::size_t>(size));
  stream->Commit(p + size);
  if (!padFirst && !PutManyBlanks(stream, pad)) return STATUS_ERROR;
  p = stream->Reserve(kMaxFieldBytes);
  if (p == nullptr) return STATUS_ERROR;
  stream->Commit(fixed ? PutTail<true>(p, cents, last != 0, delim)
                       : PutTail<false>(p, cents, last != 0, delim));
  return 0;
}

// One field through the stream: one Reserve, the bytes, one Commit. Returns
// 0 or STATUS_ERROR.
template <OutputKind K, bool kFixed>
int WriteField(OutputStream* stream, FieldContext context, std::int32_t value, int width,
               int last) {
  if constexpr (K == OutputKind::kFixed10) context.codeSetIsBase = CodeSetIsBase(context.fixed10);
  return WithBody<K>(value, context, [&](const auto& body, Align align, bool cents) {
    bool padFirst;
    const std::int64_t pad = Padding<kFixed>(body.size(), width, align, &padFirst);
    if (pad > kMaxInlinePad) {
      char text[kMaxBodyWrite];
      body.Put(text);
      return PutWideField(stream, text, body.size(), pad, padFirst, cents, last, kFixed,
                          context.delim);
    }
    char* p = stream->Reserve(static_cast<std::size_t>(pad) + kMaxFieldBytes);
    if (p == nullptr) return STATUS_ERROR;
    stream->Commit(PutFramed<kFixed>(p, body, pad, padFirst, cents, last != 0, context.delim));
    return 0;
  });
}

template <OutputKind K>
int WriteField(OutputStream* stream, const FieldContext& context, std::int32_t value, int width,
               int last) {
  if constexpr (K == OutputKind::kDate) {
    if (value < 0 || value > DATE_MAX_DAY) return RefuseDay();
  }
  return context.fixed ? WriteField<K, true>(stream, context, value, width, last)
                       : WriteField<K, false>(stream, context, value, width, last);
}

// A field in the framing of `state`.
template <OutputKind K>
int WriteField(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
               int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  CHECK_REQUIRE_TEXT(state != nullptr, "state != NULL");
  return WriteField<K>(stream, WriterContext(state, K == OutputKind::kDate), value, width, last);
}

}  // namespace

namespace output_detail {

int WriteFieldIn(OutputStream* stream, const FieldContext& context, OutputKind kind,
                 std::int32_t value, int width, int last) {
  switch (kind) {
    case OutputKind::kInteger:
      return WriteField<OutputKind::kInteger>(stream, context, value, width, last);
    case OutputKind::kFloat:
      return WriteField<OutputKind::kFloat>(stream, context, value, width, last);
    case OutputKind::kDate:
      return WriteField<OutputKind::kDate>(stream, context, value, width, last);
    case OutputKind::kFixed10:
      return WriteField<OutputKind::kFixed10>(stream, context, value, width, last);
    case OutputKind::kFixed20:
      return WriteField<OutputKind::kFixed20>(stream, context, value, width, last);
    case OutputKind::kVarChar:
      return WriteField<OutputKind::kVarChar>(stream, context, value, width, last);
    case OutputKind::kFill:
      return WriteField<OutputKind::kFill>(stream, context, value, width, last);
  }
  CHECK_REQUIRE_TEXT(false, "kind <= OutputKind::kFill");
  return STATUS_ERROR;
}

}  // namespace output_detail

// ---------------------------------------------------------------------------
// The seven writers

int Output_Integer(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last) {
  return WriteField<OutputKind::kInteger>(stream, state, value, width, last);
}

int Output_Float(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                 int last) {
  return WriteField<OutputKind::kFloat>(stream, state, value, width, last);
}

int Output_Date(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                int last) {
  return WriteField<OutputKind::kDate>(stream, state, value, width, last);
}

int Output_Fixed10(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last) {
  return WriteField<OutputKind::kFixed10>(stream, state, value, width, last);
}

int Output_Fixed20(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last) {
  return WriteField<OutputKind::kFixed20>(stream, state, value, width, last);
}

int Output_VarChar(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last) {
  return WriteField<OutputKind::kVarChar>(stream, state, value, width, last);
}

int Output_Fill(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                int last) {
  return WriteField<OutputKind::kFill>(stream, state, value, width, last);
}

// ---------------------------------------------------------------------------
// Rows

OutputWriter Output_WriterOf(OutputKind kind) {
  static constexpr OutputWriter kWriters[] = {Output_Integer, Output_Float,   Output_Date,
                                              Output_Fixed10, Output_Fixed20, Output_VarChar,
                                              Output_Fill};
  const auto index = static_cast<std::size_t>(kind);
  CHECK_REQUIRE_TEXT(index < std::size(kWriters), "kind <= OutputKind::kFill");
  return kWriters[index];
}

}  // namespace zervgen
