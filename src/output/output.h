// output/output.h: field writers and row framing. Makes the framing (fixed or
// delimited, delimiter, the four character sets of the text fields) as one
// value (OutputFormat) that the writers take, and the buffered sink they
// format into. Turns one column value into one field of a relation file, and
// whole rows of fields into text. Holds no framing state of its own.
//
// Files: output/framing.cpp (framing, character sets, date texts),
// output/fields.cpp (the seven writers), output/rows.cpp (the row
// formatter), output/block.{h,cpp} (its rows a block at a time),
// output/pieces.{h,cpp} (a field's texts for a block, and what the
// formatter's two ways share), output/cache.{h,cpp} (reused field texts),
// output/text.h and output/digits.h (what those share), output/stream.cpp
// (the sink).
#ifndef ZERVGEN_SRC_OUTPUT_OUTPUT_H_
#define ZERVGEN_SRC_OUTPUT_OUTPUT_H_

#include <cstddef>
#include <cstdint>

#include "base/util.h"

namespace zervgen {

inline constexpr std::size_t kOutBufferSize = std::size_t{1} << 20;
// Most bytes one field can take: a 100-character text or a padded number,
// plus its delimiter or line end.
inline constexpr std::size_t kMaxFieldBytes = 128;

// A buffered sink. With a descriptor it writes its buffer out with write(2)
// in large blocks when full and on Flush; without one (fd < 0) it only
// collects bytes in memory, growing as needed, for a caller that writes them
// out itself. A failed write is sticky: Reserve returns nullptr from then on.
class OutputStream {
 public:
  explicit OutputStream(int fd, std::size_t capacity = kOutBufferSize);
  // Memory only, over the caller's `buffer` of `capacity` bytes, which it
  // never grows: a Reserve beyond room() fails (sticky).
  OutputStream(char* buffer, std::size_t capacity);
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Room for at least `n` bytes at the returned position; nullptr when a
  // write has failed.
  char* Reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) >= n) return pos_;
    return ReserveSlow(n);
  }
  // Marks the bytes up to `end` (inside the reserved room) as written.
  void Commit(char* end) { pos_ = end; }

  // Writes out everything buffered. Returns false on failure (sticky).
  bool Flush();
  // errno of the failed write, 0 when none has failed.
  int error() const { return error_; }
  int fd() const { return fd_; }

  // The bytes collected so far, and forgetting them (memory-only use). A
  // failed stream stays failed.
  const char* data() const { return begin_; }
  std::size_t size() const { return static_cast<std::size_t>(pos_ - begin_); }
  std::size_t room() const { return static_cast<std::size_t>(end_ - pos_); }
  void Clear() {
    pos_ = begin_;
    if (error_ != 0) end_ = begin_;
  }

 private:
  char* ReserveSlow(std::size_t n);
  bool WriteOut();              // writes the buffer out; false on failure
  bool Grow(std::size_t need);  // at least `need` bytes of buffer
  void Fail(int err);           // records a failure; no room from then on

  int fd_;
  bool owned_ = true;  // the buffer is the stream's own (and may grow)
  int error_ = 0;
  char* begin_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;
};

// A field writer: writes `value` as one field in the framing of `state`, in
// `width` characters in fixed format, followed by the delimiter, or by "\n"
// when `last` is set. Returns 0, or STATUS_ERROR when the stream failed.
struct OutputFieldState;
using OutputWriter = int (*)(OutputStream* stream, OutputFieldState* state, std::int32_t value,
                             int width, int last);

// The framing of rows and their character sets, as one value (OutputFormat,
// below): a delimiter found in a set is replaced there by ','. Also makes
// the framing's date texts, so that writing rows later needs no memory for
// them.
// REQUIRES: (delim == 0 && fixedFormat) || (delim != 0 && !fixedFormat)
struct OutputFormat;
OutputFormat Output_MakeFormat(char delim, int fixedFormat);

// Replaces the first of positions 0..63 of `charSet` that holds `delim` by
// `mapChar`.
// REQUIRES: charSet != NULL, delim != 0, mapChar != 0
void Output_remap(char* charSet, char delim, char mapChar);

// Whether `c` occurs in one of the fixed texts that text fields show as
// they are ("BENCHMARKS", "THE+ZERV+BENCHMARKS+", "SILICON VALLEY"). Unlike
// the drawn characters these are not remapped, so no delimiter may be one.
bool Output_InFixedText(char c);

// The seven field writers, each framing in state->format. REQUIRES:
// stream != NULL, state != NULL. In fixed format a number
// is right-aligned in `width` characters (a negative width left-aligns it in
// -width), a text left-aligned and padded with blanks; nothing is cut, and a
// date takes 10 characters whatever the width. Delimited fields ignore
// `width`. Output_Date REQUIRES 0 <= value <= DATE_MAX_DAY.
int Output_Integer(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last);
int Output_Float(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                 int last);
int Output_Date(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                int last);
int Output_Fixed10(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last);
int Output_Fixed20(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last);
int Output_VarChar(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                   int last);
// `value` is the number of fill characters, 1..100; draws from the fill
// stream at state->fillState, which it advances.
int Output_Fill(OutputStream* stream, OutputFieldState* state, std::int32_t value, int width,
                int last);

// ---------------------------------------------------------------------------
// Whole rows

// The kinds of field, one per writer; a relation's schema names each field's
// kind.
enum class OutputKind : std::uint8_t {
  kInteger,
  kFloat,
  kDate,
  kFixed10,
  kFixed20,
  kVarChar,
  kFill,
};
// The field writer of a kind.
// REQUIRES: kind is one of the seven
OutputWriter Output_WriterOf(OutputKind kind);

// The framing of rows and the character sets of their texts, as one value:
// whoever formats rows on other threads takes it once, before they start.
struct OutputFormat {
  int fixedFormat;  // nonzero: fixed-width rows
  char delim;       // delimited rows: the delimiter; 0 in fixed format
  char fixed10[65];
  char fixed20[65];
  char varChar[65];
  char fill[65];
};

// What the single-field writers work in: the framing, and the running state
// of the fill text's random stream (which Output_Fill advances). Owned by
// whoever calls the writers; one per thread.
struct OutputFieldState {
  OutputFormat format;
  std::int32_t fillState = 1;
};

// A column held as run numbers: row r's number is the `width`-byte (1 or
// 2) unsigned integer at numbers + r * stride * width, its value
// values[number]; the values are distinct, one per number, `count` of them.
struct OutputRuns {
  const void* numbers = nullptr;
  int width = 0;
  const std::int32_t* values = nullptr;
  std::int32_t count = 0;
};

// One field of a row: the value of row r is values[r * stride] (stride 0
// gives every row the same value). A field held as run numbers has
// `values` null and `runs` set instead; the row formatter takes only
// values (Output_WidenRuns makes them).
struct OutputRowField {
  const std::int32_t* values;
  std::ptrdiff_t stride;
  OutputKind kind;
  int width;
  OutputRuns runs = {};
};

// The values of rows 0 .. rows-1 of run numbers read at `stride`, into
// out[0 .. rows-1]. False for a number without a value (out then holds
// other values, too).
// REQUIRES: runs.width is 1 or 2, out != NULL
bool Output_WidenRuns(const OutputRuns& runs, std::ptrdiff_t stride, std::int32_t rows,
                      std::int32_t* out);

// The texts of values already framed, one table per field position, kept
// by whoever formats rows (a chunk of the relation writer) and handed to
// Output_Rows, which makes each table at its first use through the
// reallocation seam. A table that cannot be had leaves its field to the
// general path. It also keeps the formatter's working memory for a block of
// rows (the pieces of each row and the texts made anew) and the date texts
// framed with their end, made the same way.
// Not shared between threads at once.
class OutputFieldCaches {
 public:
  static constexpr int kFields = 16;
  OutputFieldCaches() = default;
  ~OutputFieldCaches();
  OutputFieldCaches(const OutputFieldCaches&) = delete;
  OutputFieldCaches& operator=(const OutputFieldCaches&) = delete;

  void* tables[kFields] = {};
  void* block = nullptr;       // working memory of a block of rows
  std::size_t blockBytes = 0;  // its size
  // The delimited date texts, each with its field's end after it (the
  // delimiter; [1]: the line end), made at need; null until then.
  void* dates[2] = {};
  char datesEnd[2] = {};  // the end each holds
  // How a block's rows are copied out: with the widest moves the machine
  // has (the default), or with the portable or the AVX2 copy named (tests
  // run both; kAvx2 REQUIRES Output_HasAvx2()). The bytes are the same.
  enum class BlockCopy { kBest, kPortable, kAvx2 };
  BlockCopy blockCopy = BlockCopy::kBest;
  // False: no field keeps its texts in a table (whoever formats knows its
  // values to be mostly new); the working memory still serves.
  bool keepTexts = true;
};

// Whether the machine runs the AVX2 block copy.
bool Output_HasAvx2();

// Writes `rows` rows of `fields` in `format`, the last field ending each
// row, with the same bytes as calling each field's writer in turn under that
// framing. Fill fields draw from the stream at *fillState, which is left
// where the rows end. Rows of up to 16 fields with widths up to 4096 are
// formatted a whole row at a time; others one field at a time, in `format`
// all the same. Fields with few distinct values copy their
// texts from `caches` when given. Returns 0, or STATUS_ERROR when the stream
// failed; what was formatted before the failure stays in the stream, whole
// rows only, and *fillState may then stand past those rows.
// REQUIRES: stream != NULL, fields != NULL || nFields == 0, fillState != NULL,
//           every field's kind is one of the seven
int Output_Rows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
                int nFields, std::int32_t rows, std::int32_t* fillState,
                OutputFieldCaches* caches = nullptr);
// Most bytes one row of `fields` can take.
std::size_t Output_RowBound(const OutputRowField* fields, int nFields);

// Number of random draws one fill field of `nFill` characters takes.
inline int Output_FillDraws(int nFill) { return (nFill + 4) / 5; }

}  // namespace zervgen

#endif  // ZERVGEN_SRC_OUTPUT_OUTPUT_H_
