// run/parquet_rows.h: the relation's fields as Parquet column values. Turns the
// values of one field (an OutputRowField of the row formatter) for the rows
// of one row group into the typed values of its Parquet column, in
// dictionary form when the column has few distinct values, and encodes them
// into a column chunk. Text columns hold exactly the text the delimited
// format writes for the field (no delimiter, no line end).
//
// The Parquet type of a field is the caller's (one writer serves fields of
// different types):
//   kInt32        Output_Integer: the value
//   kDouble       Output_Integer: the value as a double
//   kDecimal12_2  Output_Integer (decim) or Output_Float ("v.00"): v * 100
//   kDate         Output_Date: day d from 1900-01-01 is d - 25567 from 1970
//   kString       Output_Fixed10, Output_Fixed20, Output_VarChar, Output_Fill
//
// Dictionary or plain: a chunk is tried with a dictionary when its column's
// distinct-value hint is at most Parquet_DictionaryLimit(hint, rows); the
// dictionary is built on the field's int32 values, so a text is formatted
// once per distinct value. Should the chunk have more distinct values than
// the limit, it is written plain. Fill text, drawn from a running stream,
// is always plain. The choice depends on the values only.
//
// Worker use: one ParquetFieldEncoder per thread, kept from chunk to chunk:
//   status = encoder.Encode(desc, codec, field, rows, fillState, &chunk);
// which neither raises nor throws nor writes; the main thread looks at the
// status and writes chunk.bytes. EncodeInto puts the chunks of a row
// group's columns one after the other into one buffer.
#ifndef ZERVGEN_SRC_RUN_PARQUET_ROWS_H_
#define ZERVGEN_SRC_RUN_PARQUET_ROWS_H_

#include <cstdint>
#include <memory>

#include "output/output.h"
#include "parquet/buffer.h"
#include "parquet/chunk.h"
#include "parquet/dictionary.h"
#include "parquet/format.h"

namespace zervgen {

// Day 0 of the day numbers (1900-01-01) counted from 1970-01-01.
inline constexpr std::int32_t kParquetDayOfEpoch = 25567;
// The most entries of a dictionary.
inline constexpr std::int32_t kParquetMaxDictionary = 65536;
// The rows of a column's plain texts made at a time.
inline constexpr std::int32_t kParquetTextPartRows = 16384;

// The most distinct values a chunk of `rows` rows keeps in a dictionary:
// a quarter of its rows, at most kParquetMaxDictionary; 0 (plain) when the
// hint is above that.
std::int32_t Parquet_DictionaryLimit(std::int64_t distinctHint, std::int32_t rows);

class ParquetColumnConverter {
 public:
  ParquetColumnConverter();
  ~ParquetColumnConverter();
  ParquetColumnConverter(const ParquetColumnConverter&) = delete;
  ParquetColumnConverter& operator=(const ParquetColumnConverter&) = delete;

  // Converts rows 0 .. rows-1 of `field` (row r's value at
  // field.values[r * field.stride]) to the values of column `desc`.
  // `fillState` is the fill stream's state at the first of these rows (for
  // rows from row k of a relation, Ms_JumpAhead(seed, k * Output_FillDraws(
  // width))); other fields ignore it. kBadArgument for a writer that does
  // not make the type, kBadValue for a day number out of range.
  // REQUIRES: rows >= 1, field.values != NULL
  // Texts are framed as the last field of a row in `format` (which must
  // outlive the values). `sameValuesAsLast`: the caller vouches that the
  // values are those of the last call, unchanged since; when they lie at
  // the same place and take the same dictionary limit, its dictionary (or
  // its finding that there is none) is used again instead of being rebuilt.
  [[nodiscard]] Status Convert(const ParquetColumnDesc& desc, const OutputFormat& format,
                               const OutputRowField& field, std::int32_t rows,
                               std::int32_t fillState, bool sameValuesAsLast = false);
  // Convert, but a column that comes out as plain texts is left with no
  // values and *plainTexts set: its texts are then made a part of the rows
  // at a time by PlainTexts. `format` must outlive those calls.
  [[nodiscard]] Status ConvertUnlessPlainTexts(const ParquetColumnDesc& desc,
                                               const OutputFormat& format,
                                               const OutputRowField& field, std::int32_t rows,
                                               bool sameValuesAsLast, bool* plainTexts);
  // For a field held as run numbers (field.runs): the column in dictionary
  // form straight from the numbers, as Convert makes it from the values,
  // with *done set. *done false, having made nothing, when the chunk is not
  // kept in a dictionary: the caller then converts the values
  // (ParquetFieldEncoder widens them). kBadArgument as Convert, and for a
  // number without a value.
  [[nodiscard]] Status ConvertRuns(const ParquetColumnDesc& desc, const OutputFormat& format,
                                   const OutputRowField& field, std::int32_t rows,
                                   bool sameValuesAsLast, bool* done);
  // The texts of rows 0 .. rows-1 of `field`, in values().strings, framed
  // in the format of the last conversion; *fillState is the fill stream's
  // state at the first of them and is left past the last.
  [[nodiscard]] Status PlainTexts(const OutputRowField& field, std::int32_t rows,
                                  std::int32_t* fillState);
  // Valid until the next Convert or PlainTexts; may point into the field's
  // values.
  const ParquetValues& values() const { return values_; }

 private:
  Status Typed(ParquetType type, const std::int32_t* keys, std::ptrdiff_t stride, std::int32_t n);
  Status DictionaryTexts(const OutputRowField& field);
  bool TextStream();

  Status RunDictionary(const OutputRuns& runs, std::ptrdiff_t stride, std::int32_t rows,
                       std::int32_t limit, std::int32_t* size);

  // The dictionary the last Convert tried: where its values (or run
  // numbers) lay, its limit, and whether it was built (with how many
  // entries).
  struct Tried {
    const void* values = nullptr;
    std::ptrdiff_t stride = 0;
    std::int32_t rows = 0;
    std::int32_t limit = 0;
    bool built = false;
    std::int32_t dictSize = 0;
  };

  // The chunk in dictionary form (*built), from the field's run numbers
  // when it has them, else from its values; the dictionary of the last
  // call (`tried`) stands again when the caller vouches for the same
  // values. *built false, with nothing converted, when the chunk has more
  // distinct values than `limit`.
  Status InDictionary(const ParquetColumnDesc& desc, const OutputRowField& field, std::int32_t rows,
                      std::int32_t limit, const Tried& tried, bool sameValuesAsLast, bool* built);

  const OutputFormat* format_ = nullptr;  // of the Convert under way
  Tried tried_;
  ParquetValues values_;
  ParquetDictionary dictionary_;  // the field values of the entries, each row's entry
  ParquetArray<std::int32_t> i32_;
  ParquetArray<std::int64_t> i64_;
  ParquetArray<double> f64_;
  ParquetArray<std::uint32_t> offsets_;
  ParquetArray<std::int32_t> runEntries_;  // each run number's entry, -1 when free
  std::unique_ptr<OutputStream> text_;
  // The row formatter's working memory for the plain texts, so that they
  // are made a block of rows at a time with its widest kernels; no tables
  // (a column too varied for a dictionary gains nothing from them).
  OutputFieldCaches textCaches_;
};

// A converter and a chunk encoder: a worker's whole part of a chunk. A
// field held as run numbers is converted from them when its chunk is kept
// in a dictionary, and otherwise widened to its values first.
class ParquetFieldEncoder {
 public:
  // As ParquetChunkEncoder::SetPages.
  void SetPages(const ParquetPageSettings& settings) { encoder_.SetPages(settings); }
  // As ParquetChunkEncoder::RecordPages.
  void RecordPages(ParquetBuffer* entries) { encoder_.RecordPages(entries); }
  // As ParquetChunkEncoder::RecordBloom.
  void RecordBloom(ParquetBloomFilter* filter) { encoder_.RecordBloom(filter); }
  [[nodiscard]] Status Encode(const ParquetColumnDesc& desc, ParquetCodec codec,
                              const OutputFormat& format, const OutputRowField& field,
                              std::int32_t rows, std::int32_t fillState, ParquetEncodedChunk* out);
  // The same appending the chunk's bytes to *bytes, as
  // ParquetChunkEncoder::EncodeInto does.
  // `sameValuesAsLast` as for ParquetColumnConverter::Convert.
  // Plain texts are made and encoded kParquetTextPartRows rows at a time,
  // so that they are never held whole.
  [[nodiscard]] Status EncodeInto(const ParquetColumnDesc& desc, ParquetCodec codec,
                                  const OutputFormat& format, const OutputRowField& field,
                                  std::int32_t rows, std::int32_t fillState, ParquetBuffer* bytes,
                                  ParquetChunkMeta* meta, bool sameValuesAsLast = false);

 private:
  // Converts the field, from its run numbers when they make the chunk's
  // dictionary; *plainTexts as ConvertUnlessPlainTexts, and *values the
  // field whose values the plain texts are then made of.
  Status ConvertField(const ParquetColumnDesc& desc, const OutputFormat& format,
                      const OutputRowField& field, std::int32_t rows, bool sameValuesAsLast,
                      bool* plainTexts, OutputRowField* values);

  ParquetColumnConverter converter_;
  ParquetChunkEncoder encoder_;
  ParquetArray<std::int32_t> wide_;  // a field's run numbers widened to its values
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_PARQUET_ROWS_H_
