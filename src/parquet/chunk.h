// parquet/chunk.h: one column chunk (the values of one column in one row group)
// encoded into its pages: a dictionary page and RLE_DICTIONARY data pages,
// or PLAIN data pages; data pages (format v1) of about kParquetPageBytes (or
// the size SetPages gives) of uncompressed values, each compressed on its own; min and max
// statistics. Pure computation: no I/O, no raise, no exception; safe on any thread with an encoder
// of its own.
#ifndef ZERVGEN_SRC_PARQUET_CHUNK_H_
#define ZERVGEN_SRC_PARQUET_CHUNK_H_

#include <cstdint>

#include "parquet/bloom.h"
#include "parquet/buffer.h"
#include "parquet/codec.h"
#include "parquet/encoding.h"
#include "parquet/format.h"
#include "parquet/pageindex.h"

namespace zervgen {

inline constexpr std::size_t kParquetPageBytes = std::size_t{1} << 20;
// The sizes of data pages one may ask for.
inline constexpr std::size_t kParquetMinPageBytes = 1024;
inline constexpr std::size_t kParquetMaxPageBytes = std::size_t{64} << 20;

// How the encoder cuts and compresses pages; the defaults make the bytes
// of a file written without the options that change them.
struct ParquetPageSettings {
  std::size_t pageBytes = kParquetPageBytes;  // uncompressed values per data page, about
  int zstdLevel = kParquetZstdLevel;
};

// An encoded chunk: its bytes, to be written as they are, and its metadata
// with offsets relative to its first byte.
struct ParquetEncodedChunk {
  ParquetBuffer bytes;
  ParquetChunkMeta meta{};
};

// The scratch memory of encoding (page and compression buffers, the zstd
// context), kept from chunk to chunk. One per thread.
class ParquetChunkEncoder {
 public:
  // For every chunk from now on.
  // REQUIRES: kParquetMinPageBytes <= pageBytes <= kParquetMaxPageBytes,
  //           kParquetZstdMinLevel <= zstdLevel <= kParquetZstdMaxLevel
  void SetPages(const ParquetPageSettings& settings) {
    pageBytes_ = settings.pageBytes;
    compressor_.SetZstdLevel(settings.zstdLevel);
  }
  // Each data page of the chunks from now on appends its ParquetPageEntry
  // to *entries (the caller clears it between chunks); null: none.
  void RecordPages(ParquetBuffer* entries) { entries_ = entries; }
  // Each chunk from now on also fills *filter (replacing what it held)
  // with its values: a dictionary chunk with its entries, in a bitset
  // sized for their count; a plain chunk with every row, in one sized for
  // its row count. Null: none. A bitset that cannot be had is kNoMemory.
  void RecordBloom(ParquetBloomFilter* filter) { bloom_ = filter; }

  // Encodes `rows` rows of `values` of column `desc` into *out (replacing
  // what it held). On any status but kOk *out is not to be written.
  // kBadArgument: rows < 1, the type's array missing, a dictionary index out
  // of range.
  [[nodiscard]] Status Encode(const ParquetColumnDesc& desc, ParquetCodec codec,
                              const ParquetValues& values, std::int32_t rows,
                              ParquetEncodedChunk* out);
  // The same, appending the chunk's bytes to *bytes (what it holds stays
  // before them) and replacing *meta, whose offsets count from the chunk's
  // first byte. On any status but kOk *bytes is cut back to its old size.
  [[nodiscard]] Status EncodeInto(const ParquetColumnDesc& desc, ParquetCodec codec,
                                  const ParquetValues& values, std::int32_t rows,
                                  ParquetBuffer* bytes, ParquetChunkMeta* meta);

  // The same for a plain chunk of `rows` strings handed over a part at a
  // time (texts made a part at a time need not be held whole): Begin, then
  // Add for parts of `rows` strings in all, then End, which leaves the same
  // bytes and metadata as EncodeInto with every string at once. *bytes and
  // *meta belong to the encoder until End; on any status but kOk (of any of
  // the three) the chunk is abandoned, *bytes cut back to its old size, and
  // only a new Begin may follow.
  [[nodiscard]] Status BeginPlainStrings(ParquetCodec codec, std::int32_t rows,
                                         ParquetBuffer* bytes, ParquetChunkMeta* meta);
  [[nodiscard]] Status AddPlainStrings(const ParquetStrings& strings, std::int32_t n);
  [[nodiscard]] Status EndPlainStrings();
  // Gives up the chunk under way, if any, cutting *bytes back.
  void AbandonPlainStrings() { (void)Abandon(Status::Ok()); }

 private:
  Status Abandon(Status status);
  void PutHeader(bool dictionaryPage, std::int32_t uncompressed, std::int32_t compressed,
                 std::int32_t numValues, ParquetEncoding encoding);
  // A page of the `rawSize` bytes at `raw`, or of page_.
  Status PutPage(bool dictionaryPage, std::int32_t numValues, ParquetEncoding encoding,
                 const char* raw, std::size_t rawSize, ParquetBuffer* bytes,
                 ParquetChunkMeta* meta);
  Status PutPage(bool dictionaryPage, std::int32_t numValues, ParquetEncoding encoding,
                 ParquetBuffer* bytes, ParquetChunkMeta* meta);
  Status PlainPages(const ParquetValues& values, std::int32_t rows, ParquetBuffer* bytes,
                    ParquetChunkMeta* meta);
  Status DictionaryPages(const ParquetValues& values, std::int32_t rows, std::size_t start,
                         ParquetBuffer* bytes, ParquetChunkMeta* meta);

  ParquetBuffer page_;  // one page's values, uncompressed
  ParquetBuffer header_;
  // Of the last compressed page of each kind (0: data, 1: dictionary): its
  // size before and after compression; 0: none yet.
  std::int32_t lastRaw_[2] = {0, 0};
  std::int32_t lastCompressed_[2] = {0, 0};
  ParquetCompressor compressor_;
  ParquetCodec codec_ = ParquetCodec::kUncompressed;
  std::size_t pageBytes_ = kParquetPageBytes;
  ParquetBuffer* entries_ = nullptr;     // the page index entries, when recorded
  std::size_t chunkStart_ = 0;           // the chunk's first byte in the bytes
  std::int64_t rowsPaged_ = 0;           // rows in the chunk's data pages so far
  ParquetPageEntry next_{};              // the bounds of the next data page
  ParquetBloomFilter* bloom_ = nullptr;  // the chunk's bloom filter, when made

  // The plain string chunk under way (Begin .. End).
  ParquetBuffer* stringBytes_ = nullptr;  // null: none
  ParquetChunkMeta* stringMeta_ = nullptr;
  std::size_t stringStart_ = 0;   // the chunk's first byte in *stringBytes_
  std::int64_t stringsLeft_ = 0;  // strings still to come
  std::int32_t pageStrings_ = 0;  // strings in page_
  ParquetBuffer least_, most_;    // the least and the greatest string so far
};

// The guess of a page's compressed size that places its body behind its
// header before compression: `raw` bytes shrunk as `lastRaw` bytes shrank
// to `lastCompressed` (`raw` itself without such a page), at most INT_MAX.
// REQUIRES: raw >= 0
std::int32_t Parquet_GuessCompressedSize(std::int32_t raw, std::int32_t lastRaw,
                                         std::int32_t lastCompressed);

// The same with an encoder made for the one call.
[[nodiscard]] Status Parquet_EncodeColumnChunk(const ParquetColumnDesc& desc, ParquetCodec codec,
                                               const ParquetValues& values, std::int32_t rows,
                                               ParquetEncodedChunk* out);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_CHUNK_H_
