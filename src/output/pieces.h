// output/pieces.h: what the row formatter's two ways share, and the pieces
// of a block of rows. Owns how one value of a field is framed in a row
// (RowWriter), a field's cursor in the rows with its table of reused text
// (Column), and the making of one field's texts, its pieces, for a block
// of rows (ColumnPieces): copied from the field's table, taken from date
// texts framed with their end, or made anew, delimited integers and code
// texts several values at once in vector registers where the processor has
// AVX2 (chosen at run time). The texts are the same whichever way they are
// made. For output/rows.cpp and output/block.cpp only.
#ifndef ZERVGEN_SRC_OUTPUT_PIECES_H_
#define ZERVGEN_SRC_OUTPUT_PIECES_H_

#include <cstddef>
#include <cstdint>

#include "output/cache.h"
#include "output/output.h"
#include "output/text.h"

namespace zervgen::output_detail {

// The most fields of a row formatted a whole row at a time.
inline constexpr int kMaxRowFields = 16;

static_assert(OutputFieldCaches::kFields >= kMaxRowFields);

// One value of a field framed as in rows of `format`, at p, in room of the
// field's width and kMaxFieldBytes; Put returns the field's end. Fill
// text is drawn from the stream at the fillState it was made with.
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

// One field's text in a row of the block (its `value` unused): the cached
// fields' are copied whole from their tables' entries.
using Piece = FieldText;

// Sets the piece's text and size.
[[gnu::always_inline]] inline void SetPiece(Piece* piece, const char* text, std::uint32_t size) {
  piece->text = text;
  piece->size = size;
}

// The pieces of the column's field for `rows` rows, one every nFields
// pieces from `pieces` (a row's pieces side by side): texts from its table,
// else made at *scratch, which moves on past them. The column's cursor
// moves on past the rows; `last` says whether the field ends the row.
template <bool kFixed>
void ColumnPieces(const RowWriter<kFixed>& writer, Column* column, bool last, std::int32_t rows,
                  Piece* pieces, int nFields, char** scratch);
extern template void ColumnPieces<true>(const RowWriter<true>& writer, Column* column, bool last,
                                        std::int32_t rows, Piece* pieces, int nFields,
                                        char** scratch);
extern template void ColumnPieces<false>(const RowWriter<false>& writer, Column* column, bool last,
                                         std::int32_t rows, Piece* pieces, int nFields,
                                         char** scratch);

}  // namespace zervgen::output_detail

#endif  // ZERVGEN_SRC_OUTPUT_PIECES_H_
