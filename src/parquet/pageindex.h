// parquet/pageindex.h: the page index of a column chunk: each data page's
// place, first row and least and greatest value as the encoder writes the
// pages (ParquetPageEntry), and the ColumnIndex and OffsetIndex structures
// made of them, which readers use to skip pages. Pure computation.
#ifndef ZERVGEN_SRC_PARQUET_PAGEINDEX_H_
#define ZERVGEN_SRC_PARQUET_PAGEINDEX_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "parquet/buffer.h"
#include "parquet/encoding.h"
#include "parquet/format.h"

namespace zervgen {

// One data page of a chunk. `offset` counts from the chunk's first byte;
// `size` is the page's with its header. Without bounds (a string longer
// than kParquetMaxStatBytes) the chunk gets no ColumnIndex.
struct ParquetPageEntry {
  std::int64_t offset;
  std::int64_t firstRow;
  std::int32_t size;
  bool hasBounds;
  ParquetStatValue min;
  ParquetStatValue max;
};

// The bounds of rows first .. first + n - 1 of `values` (plain or
// dictionary form), in the order of the statistics of the chunk.
void Parquet_PageBounds(ParquetType type, const ParquetValues& values, std::size_t first,
                        std::size_t n, ParquetPageEntry* entry);
// The bounds of a page of PLAIN strings, `size` bytes at `page`.
void Parquet_PlainStringPageBounds(const char* page, std::size_t size, ParquetPageEntry* entry);

// Whether every page has bounds: a ColumnIndex can be made.
bool Parquet_CanIndexColumn(std::span<const ParquetPageEntry> pages);
// The ColumnIndex (no nulls, boundary order UNORDERED) and the OffsetIndex
// of a chunk whose first byte is at `chunkOffset` in the file.
void Parquet_PutColumnIndex(ParquetBuffer* out, std::span<const ParquetPageEntry> pages);
void Parquet_PutOffsetIndex(ParquetBuffer* out, std::span<const ParquetPageEntry> pages,
                            std::int64_t chunkOffset);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_PAGEINDEX_H_
