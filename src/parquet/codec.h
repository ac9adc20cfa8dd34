// parquet/codec.h: page compression with the codecs the writer offers: SNAPPY
// (raw snappy blocks) and ZSTD (one frame per page at a fixed level), both
// deterministic for a given library version. Owns the zstd context, made at
// first use and reused for every page.
#ifndef ZERVGEN_SRC_PARQUET_CODEC_H_
#define ZERVGEN_SRC_PARQUET_CODEC_H_

#include <cstddef>

#include "parquet/buffer.h"
#include "parquet/format.h"

struct ZSTD_CCtx_s;

namespace zervgen {

// Level 3 is zstd's own default: close to the size of other writers' zstd
// Parquet at a small cost in time. Other levels (-codec zstd:N) are those
// zstd offers, negative ones (its fast modes) left out.
inline constexpr int kParquetZstdLevel = 3;
inline constexpr int kParquetZstdMinLevel = 1;
inline constexpr int kParquetZstdMaxLevel = 22;

// Whether this build compresses with `codec` (snappy and zstd need their
// libraries at build time; uncompressed pages always work).
bool Parquet_CodecBuiltIn(ParquetCodec codec);

// One per thread: not shared between threads at once.
class ParquetCompressor {
 public:
  ParquetCompressor() = default;
  ~ParquetCompressor();
  ParquetCompressor(const ParquetCompressor&) = delete;
  ParquetCompressor& operator=(const ParquetCompressor&) = delete;

  // Replaces the contents of `out` by the `n` bytes at `src` compressed with
  // `codec` (copied for kUncompressed). Never throws.
  [[nodiscard]] Status Compress(ParquetCodec codec, const char* src, std::size_t n,
                                ParquetBuffer* out);
  // The same appending to `out`: what it holds stays before the new bytes,
  // and is all it holds after any status but kOk (unless it failed to grow).
  [[nodiscard]] Status Append(ParquetCodec codec, const char* src, std::size_t n,
                              ParquetBuffer* out);
  // The zstd level of the pages from now on.
  // REQUIRES: kParquetZstdMinLevel <= level <= kParquetZstdMaxLevel
  void SetZstdLevel(int level) { zstdLevel_ = level; }

 private:
  ZSTD_CCtx_s* zstd_ = nullptr;
  int zstdLevel_ = kParquetZstdLevel;
};

// Replaces the contents of `out` by the `n` bytes at `src` decompressed
// with `codec`; they must come to exactly `size` bytes (`out` never grows
// past that, whatever the bytes claim). kBadValue when they do not, or are
// no valid compressed data; kBadArgument for a codec this build lacks.
[[nodiscard]] Status Parquet_Decompress(ParquetCodec codec, const char* src, std::size_t n,
                                        std::size_t size, ParquetBuffer* out);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_CODEC_H_
