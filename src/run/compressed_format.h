// run/compressed_format.h: compressed text files. A format that makes the
// text of a chunk of rows through the text format and compresses it into
// one zstd frame or gzip member. Chunks end at fixed multiples of rows
// counted from the relation's first row, so the frames, and the compressed
// bytes, are the same at every number of threads, and a part's frames are
// those of the whole relation except where the part begins and ends.
#ifndef ZERVGEN_SRC_RUN_COMPRESSED_FORMAT_H_
#define ZERVGEN_SRC_RUN_COMPRESSED_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "output/compress.h"
#include "output/output.h"
#include "run/format.h"
#include "run/writer.h"

namespace zervgen {

// Rows per frame or member of a relation with the fields `columns` in
// `format`: the most of 4096, 8192 and 16384 whose text stays within
// 2 MiB (4096 for the longest rows).
std::int32_t Gen_CompressedFrameRows(const OutputFormat& format,
                                     std::span<const GenColumnSpec> columns);

// Text rows in `format`, compressed with `compression`.
// REQUIRES: compression.codec != TextCodec::kNone and is built in
std::unique_ptr<GenFormat> Gen_CompressedFormat(const OutputFormat& format,
                                                std::span<const GenColumnSpec> columns,
                                                const TextCompression& compression);

// The memory the writer of a compressed text relation needs besides the
// columns: one chunk of rows, its compressed bytes and a compressor.
std::size_t Gen_CompressedWriterBytes(const TextCompression& compression);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_COMPRESSED_FORMAT_H_
