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
//     then the bloom filters the chunks' metadata place after them, if any;
//     file.AddRowGroup(metas, rows)
//   file.Footer(&footer); write(footer)
// The bytes depend on the columns, the values and the codec only.
#ifndef ZERVGEN_SRC_PARQUET_FILE_H_
#define ZERVGEN_SRC_PARQUET_FILE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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
  // column order) are written right after the bytes counted by offset(),
  // followed by the chunks' bloom filters where their metadata put them
  // (bloomOffset from the chunk's first byte); offset() then counts those
  // too. kBadArgument when a chunk does not fit its column or the row count (the
  // builder is unchanged); kNoMemory leaves the builder failed for good.
  [[nodiscard]] Status AddRowGroup(std::span<const ParquetChunkMeta* const> chunks,
                                   std::int64_t rows);
  // With a page index: the same, with each chunk's page entries (the
  // ParquetPageEntry records ParquetChunkEncoder::RecordPages appends).
  // REQUIRES: EnablePageIndex() was called before the first row group
  [[nodiscard]] Status AddRowGroup(std::span<const ParquetChunkMeta* const> chunks,
                                   std::span<const ParquetBuffer* const> pages, std::int64_t rows);
  // Makes the footer carry a page index: Footer() then puts every chunk's
  // ColumnIndex and then every chunk's OffsetIndex before the metadata.
  void EnablePageIndex() { pageIndex_ = true; }
  // The file's size so far: the magic and the row groups added.
  std::int64_t offset() const { return offset_; }
  std::int64_t rows() const { return rows_; }
  std::int32_t rowGroups() const { return rowGroups_; }

  // Replaces the contents of `out` by the footer (with a page index, the
  // indexes and the footer). A file of no row groups is a valid empty table.
  [[nodiscard]] Status Footer(ParquetBuffer* out) const;

 private:
  const ParquetColumnDesc* columns_;
  int nColumns_;
  const char* rootName_;
  const char* createdBy_;
  ParquetBuffer groups_;  // the RowGroup list elements so far
  // With a page index the RowGroup elements wait for the footer, where the
  // indexes' offsets are known: each chunk's metadata and file offset, and
  // the lengths of its indexes (a ColumnIndex of 0 bytes: none).
  struct PendingChunk {
    ParquetChunkMeta meta;
    std::int64_t offset;
    std::int64_t columnIndexBytes;
    std::int64_t offsetIndexBytes;
  };
  bool pageIndex_ = false;
  bool failed_ = false;                // memory ran out for the page index: for good
  std::vector<PendingChunk> pending_;  // column by column, row group by row group
  std::vector<std::int64_t> groupRows_;
  ParquetBuffer columnIndexes_, offsetIndexes_;
  Status PutGroups(ParquetBuffer* out, std::int64_t indexStart) const;
  std::int64_t offset_ = static_cast<std::int64_t>(kParquetMagicSize);
  std::int64_t rows_ = 0;
  std::int32_t rowGroups_ = 0;
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_FILE_H_
