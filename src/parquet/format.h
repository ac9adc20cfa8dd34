// parquet/format.h: the Parquet vocabulary the writer uses (column types, codecs,
// the format's enum values) and the Thrift structures built from it: page
// headers, the metadata of a column chunk, schema elements. Knows the field
// ids of the format's metadata; knows nothing of how values are encoded.
#ifndef ZERVGEN_SRC_PARQUET_FORMAT_H_
#define ZERVGEN_SRC_PARQUET_FORMAT_H_

#include <cstdint>

#include "parquet/buffer.h"
#include "parquet/thrift.h"

namespace zervgen {

// The column types of the relations. Every column is required (no nulls).
enum class ParquetType : std::uint8_t {
  kInt32,        // INT32
  kDecimal12_2,  // INT64 holding value * 100, DECIMAL(12,2)
  kDouble,       // DOUBLE
  kDate,         // INT32 days since 1970-01-01, DATE
  kString,       // BYTE_ARRAY, UTF-8 STRING
};

// The codecs offered; the values are the format's own.
enum class ParquetCodec : std::int32_t { kUncompressed = 0, kSnappy = 1, kZstd = 6 };

// "none", "snappy" or "zstd"; false for any other name.
bool Parquet_CodecFromName(const char* name, ParquetCodec* codec);
const char* Parquet_CodecName(ParquetCodec codec);

// One column: its name in the schema, its type, and how many distinct values
// the relation's schema gives it (which chooses dictionary encoding).
struct ParquetColumnDesc {
  const char* name;
  ParquetType type;
  std::int64_t distinctHint;
};

// The format's enum values that the writer uses.
enum ParquetPhysical : std::int32_t {
  kPhysInt32 = 1,
  kPhysInt64 = 2,
  kPhysDouble = 5,
  kPhysByteArray = 6
};
enum ParquetEncoding : std::int32_t { kEncPlain = 0, kEncRle = 3, kEncRleDictionary = 8 };
enum ParquetPageType : std::int32_t { kPageData = 0, kPageDictionary = 2 };

ParquetPhysical Parquet_PhysicalOf(ParquetType type);

// Statistics values (the format's binary form: little-endian numbers, raw
// string bytes) longer than this are not kept: the chunk then goes without
// min and max.
inline constexpr std::size_t kParquetMaxStatBytes = 128;

struct ParquetStatValue {
  std::uint8_t size;
  char bytes[kParquetMaxStatBytes];
};

// The metadata of one encoded column chunk. Offsets are relative to the
// chunk's first byte; the file builder makes them absolute.
struct ParquetChunkMeta {
  ParquetType type;
  ParquetCodec codec;
  bool dictionary;  // a dictionary page first, then RLE_DICTIONARY data pages
  bool hasStats;
  std::int32_t dataPages;
  std::int64_t numValues;
  std::int64_t dataPageOffset;     // the first data page
  std::int64_t uncompressedBytes;  // every page with its header, uncompressed
  std::int64_t compressedBytes;    // the chunk's bytes in the file
  ParquetStatValue min;
  ParquetStatValue max;
  // The chunk's bloom filter (header and bitset), which the row group
  // places after its chunks; 0 bytes: none. Set by the row group's maker.
  std::int64_t bloomOffset;
  std::int64_t bloomBytes;
};

// A page header (PageHeader with a DataPageHeader or DictionaryPageHeader).
void Parquet_PutDataPageHeader(ParquetBuffer* out, std::int32_t uncompressedSize,
                               std::int32_t compressedSize, std::int32_t numValues,
                               ParquetEncoding encoding);
void Parquet_PutDictionaryPageHeader(ParquetBuffer* out, std::int32_t uncompressedSize,
                                     std::int32_t compressedSize, std::int32_t numValues);

// Where a chunk's page indexes lie in the file; a ColumnIndex at -1: none.
struct ParquetChunkIndexes {
  std::int64_t offsetIndexOffset;
  std::int64_t offsetIndexBytes;
  std::int64_t columnIndexOffset;
  std::int64_t columnIndexBytes;
};

// A ColumnChunk list element for the chunk `meta` of column `desc` whose
// first byte is at `fileOffset` in the file; `indexes` (or none) where its
// page indexes are.
void Parquet_PutColumnChunk(ThriftWriter* w, const ParquetColumnDesc& desc,
                            const ParquetChunkMeta& meta, std::int64_t fileOffset,
                            const ParquetChunkIndexes* indexes = nullptr);
// A SchemaElement list element of a required leaf column.
void Parquet_PutSchemaElement(ThriftWriter* w, const ParquetColumnDesc& desc);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_FORMAT_H_
