// run/parquet_format.h: Parquet files of relations through the writer's format
// seam. A chunk of rows is one row group: its column chunks are encoded on
// a worker (run/parquet_format.cpp, with the encoders of src/parquet/), written in
// order by the main thread, and the footer closes the file. Every guarantee
// of the writer (never overwriting, no partial file, temporary-file
// columns, progress, threads) holds as for text.
#ifndef ZERVGEN_SRC_RUN_PARQUET_FORMAT_H_
#define ZERVGEN_SRC_RUN_PARQUET_FORMAT_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "parquet/chunk.h"
#include "parquet/format.h"
#include "run/format.h"
#include "run/writer.h"

namespace zervgen {

inline constexpr std::int32_t kParquetDefaultRowGroup = 1048576;
inline constexpr std::int32_t kParquetMinRowGroup = 1000;
inline constexpr std::int32_t kParquetMaxRowGroup = 16777216;

struct GenParquetSettings {
  ParquetCodec codec = ParquetCodec::kSnappy;
  std::int32_t rowGroupRows = kParquetDefaultRowGroup;
  ParquetPageSettings pages;  // -pagesize, -codec zstd:N
  bool pageIndex = false;     // -pageindex
  // -bloom: the columns (by name) whose chunks get a bloom filter; a name
  // the relation has no column of is passed over.
  std::vector<std::string> bloomColumns;
};

// A row group as the format makes it, for a check that compares what the
// pages hold rather than their bytes: where each column chunk lies in
// data(), its metadata (offsets from the chunk's first byte) and its name.
class GenParquetRowGroup : public GenFormatChunk {
 public:
  virtual std::size_t columns() const = 0;
  virtual std::size_t ColumnStart(std::size_t c) const = 0;
  virtual const ParquetChunkMeta& ColumnMeta(std::size_t c) const = 0;
  virtual const char* ColumnName(std::size_t c) const = 0;
};

// The writer's name in the files, as readers show it:
// "zervgen version 1.0 (build zervgen)".
const char* Gen_ParquetCreatedBy();

// The most memory the writer needs for one row group of a run of `nRows`
// rows with a fill of `nFill` characters, besides the columns: the typed
// values, pages and column chunks of every column and the row group's
// bytes, each buffer at up to twice its size as buffers grow, the values of
// temporary-file columns, the compressors' own state and the bloom filters
// (each bitset and its copy in the row group's bytes). An upper bound,
// for Gen_InitializeCB to hold while the columns take their memory: with
// it a run that can write a row group always can, and workers that cannot
// have theirs leave the rows to one row group at a time.
std::size_t Gen_ParquetWriterBytes(const GenParquetSettings& settings, std::int32_t nRows,
                                   std::int16_t nFill);

// The format of one Parquet file of the relation `relName` with `fields`
// (the schema's, a fill field of width 0 left out as the writer leaves it
// out). Texts are those of delimited rows in `text` (the run's framing).
// REQUIRES: relName and the fields' names outlive the format,
//           kParquetMinRowGroup <= settings.rowGroupRows <= kParquetMaxRowGroup
std::unique_ptr<GenFormat> Gen_ParquetFormat(const char* relName,
                                             std::span<const GenColumnSpec> fields,
                                             const OutputFormat& text,
                                             const GenParquetSettings& settings);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_PARQUET_FORMAT_H_
