// parquet/file.h: the layout of a Parquet file around its column chunks: the magic
// at the start, the row groups' metadata gathered as they are added, and the
// footer (the FileMetaData, its length and the magic again). Holds only
// metadata; the caller writes every byte it hands out, in order.
//
// Use, on the thread that writes the file:
//   ParquetFileBuilder file(columns, nColumns, "hundred", createdBy);
//   write(kParquetMagic, kParquetMagicSize)
//   for each row group, in row order:
//     the chunks of its columns, from ParquetChunkEncoder on any thread;
//     write(chunk[c].bytes) for c = 0 .. nColumns-1, one after the other;
//     file.AddRowGroup(metas, rows)
//   file.Footer(&footer); write(footer)
// The bytes depend on the columns, the values and the codec only.
#ifndef ZERVGEN_SRC_PARQUET_FILE_H_
#define ZERVGEN_SRC_PARQUET_FILE_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "parquet/buffer.h"
#include "parquet/format.h"

namespace zervgen {

inline constexpr char kParquetMagic[] = "PAR1";
inline constexpr std::size_t kParquetMagicSize = 4;

class ParquetFileBuilder {
 public:
  // `createdBy` is the writer's name in the file, as readers show it.
  // REQUIRES: the descriptions, their names and both texts outlive the
  //           builder, nColumns >= 1, rootName != NULL, createdBy != NULL
  ParquetFileBuilder(const ParquetColumnDesc* columns, int nColumns, const char* rootName,
                     const char* createdBy);

  // Records the row group of `rows` rows whose chunks (one per column, in
  // column order) are written right after the bytes counted by offset().
  // kBadArgument when a chunk does not fit its column or the row count (the
  // builder is unchanged); kNoMemory leaves the builder failed for good.
  [[nodiscard]] ParquetStatus AddRowGroup(std::span<const ParquetChunkMeta* const> chunks,
                                          std::int64_t rows);
  // The file's size so far: the magic and the row groups added.
  std::int64_t offset() const { return offset_; }
  std::int64_t rows() const { return rows_; }
  std::int32_t rowGroups() const { return rowGroups_; }

  // Replaces the contents of `out` by the footer. A file of no row groups
  // is a valid empty table.
  [[nodiscard]] ParquetStatus Footer(ParquetBuffer* out) const;

 private:
  const ParquetColumnDesc* columns_;
  int nColumns_;
  const char* rootName_;
  const char* createdBy_;
  ParquetBuffer groups_;  // the RowGroup list elements so far
  std::int64_t offset_ = static_cast<std::int64_t>(kParquetMagicSize);
  std::int64_t rows_ = 0;
  std::int32_t rowGroups_ = 0;
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_FILE_H_
