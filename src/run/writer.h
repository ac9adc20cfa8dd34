// run/writer.h: the relation writer. Writes the rows of a relation (all of
// them, or one part's) from the column storage into a new file or standard
// output, through an output format (run/format.h); text rows by default.
#ifndef ZERVGEN_SRC_RUN_WRITER_H_
#define ZERVGEN_SRC_RUN_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/status.h"
#include "core/columns.h"
#include "output/output.h"
#include "run/files.h"
#include "run/value_type.h"

namespace zervgen {

// One field of a relation's row.
struct GenColumnSpec {
  GenAttr* attr;  // null ends the list
  int width;      // low 16 bits kept
  OutputKind kind;
  int advance;  // 1: move the read position on after the value is read
  // For typed formats: the column's name, type and number of distinct
  // values (0: unknown).
  const char* name = nullptr;
  GenValueType type = GenValueType::kInt32;
  std::int32_t distinct = 0;
};

// Rows [first, first + count) of a relation of `total` rows: one part of it, or all.
struct GenRows {
  std::int32_t total;
  std::int32_t first;
  std::int32_t count;
};

// The writers below hand back how the writing of a relation ended when
// nothing was raised: Ok (whole), NoMemory (the file then removed), or
// Stopped (a check stopped the bytes; Gen_checkRelation only). Failed
// writes and checks raise.

// Writes the rows `rows` of the relation: a new file at `path`, or standard
// output for "-", one comma-delimited text row per line from the columns'
// values. Memory columns
// are read from row rows.first on, temporary-file columns from their value
// of that row, and the fill stream starts where row rows.first starts it in
// the whole relation, so a part has the bytes of those rows of the whole.
// The progress line counts the part's rows; an empty part makes an empty
// file. Memory after set-up never fails
// it: when chunks or threads cannot be had, rows are formatted one at a time
// into a buffer reserved in advance. A failed write removes the partial file
// and raises XEPT_GEN_DISK_FULL, naming the first row not written by its
// number within the whole relation ("tuple #r of total"); a file that cannot
// be created raises XEPT_GEN_FAILED.
// REQUIRES: cb != NULL, path != NULL, relName != NULL,
//           0 <= rows.first, 0 <= rows.count, rows.first + rows.count <= rows.total
// Returns NoMemory, having removed the partial file, when a format
// without a reserved buffer (Parquet) cannot have the memory it needs.
[[nodiscard]] Status Gen_outputRelation(GenControlBlock* cb, const char* path, const char* relName,
                                        std::span<const GenColumnSpec> columns, GenRows rows);

class GenFormat;
class GenFormatChunk;
// Gen_outputRelation through `format`, which makes the bytes of the rows;
// on kOk, *written (when given) is the number of bytes written.
// REQUIRES: as Gen_outputRelation, format != NULL
[[nodiscard]] Status Gen_writeRelation(GenControlBlock* cb, const char* path, const char* relName,
                                       std::span<const GenColumnSpec> columns, GenRows rows,
                                       GenFormat* format, std::uint64_t* written = nullptr);

// Where a check of an existing file takes the bytes the writer would write
// to it. Called on the calling thread only, in file order.
class GenByteCheck {
 public:
  virtual ~GenByteCheck() = default;
  // The next `size` bytes of the file, which begin with row `firstRow`
  // (within the whole relation): rows of `chunk`, or, with no chunk, bytes
  // before or after the rows. Returns false once the file is known to
  // differ: nothing more is made.
  virtual bool Take(const char* data, std::size_t size, std::int32_t firstRow,
                    const GenFormatChunk* chunk) = 0;
  // Bytes taken so far.
  virtual std::uint64_t offset() const = 0;
};

// Makes the bytes Gen_writeRelation would write for `rows` through `format`
// and hands them to `check` instead of a file; creates, changes or removes
// no file. Ok when every byte was taken, Stopped when the check stopped
// it, NoMemory as for Gen_writeRelation.
// REQUIRES: as Gen_writeRelation (without a path), format != NULL, check != NULL
[[nodiscard]] Status Gen_checkRelation(GenControlBlock* cb, const char* relName,
                                       std::span<const GenColumnSpec> columns, GenRows rows,
                                       GenFormat* format, GenByteCheck* check);

// Refills the read buffer of a temporary-file column.
// REQUIRES: attr != NULL
void Gen_getNextBuffer(GenAttr* attr);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_WRITER_H_
