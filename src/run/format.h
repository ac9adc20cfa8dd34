// run/format.h: the seam between the relation writer and an output format.
// The writer owns what every format shares: the row range of the file, the
// column sources (memory vectors and temporary files), chunks of rows handed
// to worker threads and written in row order by the main thread, the
// relation file's lifetime, failures, progress. A format owns what its
// bytes are: it turns the values of a chunk of rows into bytes, and may put
// bytes before the first chunk and after the last (a header, a footer).
#ifndef ZERVGEN_SRC_RUN_FORMAT_H_
#define ZERVGEN_SRC_RUN_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "output/output.h"

namespace zervgen {

// The rows of one chunk: fields[i].values points at the value of the
// chunk's first row (fill fields hold their width), and the fill stream
// stands where that row starts it.
struct GenChunkView {
  const OutputRowField* fields;
  int nFields;
  std::int32_t firstRow;  // within the whole relation
  std::int32_t rows;
  std::int32_t fillState;
};

// The bytes of one chunk of rows, made by a format, with memory of its own.
class GenFormatChunk {
 public:
  virtual ~GenFormatChunk() = default;
  // Formats the rows of `view`, replacing what the chunk held. Safe on a
  // worker thread: writes no file and raises only through failed checks.
  // Returns how many leading rows are complete in data(): all of them
  // unless memory ran short.
  virtual std::int32_t Format(const GenChunkView& view) = 0;
  virtual const char* data() const = 0;
  virtual std::size_t size() const = 0;
  // How many rows are complete in the first `bytes` bytes of data(), for
  // the message of a write that stopped there.
  virtual std::int32_t RowsWithin(std::size_t /*bytes*/) const { return 0; }
  // The name of the column whose bytes hold byte `byte` of data(), for the
  // message of a check that found a difference there; null when the bytes
  // are rows rather than columns (text).
  virtual const char* ColumnAt(std::size_t /*byte*/) const { return nullptr; }
};

// An output format of relation files. One object serves one file; the
// writer calls it from the main thread except for the chunks' Format.
class GenFormat {
 public:
  virtual ~GenFormat() = default;
  // Rows per chunk.
  virtual std::int32_t ChunkRows() const = 0;
  // Whether every chunk must end at a multiple of ChunkRows() counted from
  // the relation's first row (a part's first and last chunks are then
  // shorter), so that the chunks of a row are the same in every file and
  // at every number of threads. Such a format's chunks hold all their rows
  // or none.
  virtual bool AlignsChunks() const { return false; }
  // Whether the chunks take fields held as run numbers (OutputRuns).
  virtual bool ReadsRunNumbers() const { return false; }
  // Chunks in flight with `threads` workers: formatted, waiting or being
  // written.
  virtual int RingChunks(int threads) const { return 2 * threads + 2; }
  // A chunk with memory of its own; null when it cannot be had.
  virtual std::unique_ptr<GenFormatChunk> NewChunk() = 0;
  // A chunk over memory reserved with the program, for when memory for
  // chunks cannot be had, and in *rows the most rows it takes of rows of
  // `fields`; null when the format has none (the relation then fails for
  // want of memory).
  virtual GenFormatChunk* ReservedChunk(const OutputRowField* fields, int nFields,
                                        std::int32_t* rows) = 0;
  // The bytes that open the file (none for text).
  virtual std::string Begin() { return {}; }
  // The chunk's bytes went to the file at `offset`; only for a chunk that
  // holds rows (one that ran short of memory and holds none is not told).
  // False when memory for what the format keeps of it could not be had.
  [[nodiscard]] virtual bool Written(const GenFormatChunk& /*chunk*/, std::uint64_t /*offset*/) {
    return true;
  }
  // Sets *bytes to what closes the file, after the last chunk (none for
  // text). False when memory for them could not be had.
  [[nodiscard]] virtual bool End(std::string* bytes) {
    bytes->clear();
    return true;
  }
};

// Delimited or fixed-width text rows in `format`; `chunkRows` rows to a
// chunk (0: the text format's own number).
std::unique_ptr<GenFormat> Gen_TextFormat(const OutputFormat& format, std::int32_t chunkRows = 0);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_FORMAT_H_
