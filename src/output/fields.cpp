// output/fields.cpp: the seven field writers, one value into one framed
// field of the sink at a time, in the framing their caller hands them.
#include <climits>
#include <cstring>
#include <iterator>

#include "base/except.h"
#include "output/output.h"
#include "output/text.h"

namespace zervgen {

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
