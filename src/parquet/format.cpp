// parquet/format.cpp: page headers, column chunk metadata and schema elements in
// the compact protocol, with the field ids of the format's definitions.
#include "parquet/format.h"

#include <cstring>

namespace zervgen {
namespace {

// Field ids of the structures written here.
namespace page_header {
constexpr std::int16_t kType = 1, kUncompressedSize = 2, kCompressedSize = 3, kDataPage = 5,
                       kDictionaryPage = 7;
}
namespace data_page {
constexpr std::int16_t kNumValues = 1, kEncoding = 2, kDefinitionEncoding = 3,
                       kRepetitionEncoding = 4;
}
namespace dictionary_page {
constexpr std::int16_t kNumValues = 1, kEncoding = 2;
}
namespace column_meta {
constexpr std::int16_t kType = 1, kEncodings = 2, kPath = 3, kCodec = 4, kNumValues = 5,
                       kUncompressedSize = 6, kCompressedSize = 7, kDataPageOffset = 9,
                       kDictionaryPageOffset = 11, kStatistics = 12, kBloomFilterOffset = 14,
                       kBloomFilterLength = 15;
}
namespace statistics {
constexpr std::int16_t kNullCount = 3, kMaxValue = 5, kMinValue = 6;
}
namespace schema {
constexpr std::int16_t kType = 1, kRepetition = 3, kName = 4, kConvertedType = 6, kScale = 7,
                       kPrecision = 8, kLogicalType = 10;
}
// LogicalType union members, ConvertedType values, FieldRepetitionType.
constexpr std::int16_t kLogicalString = 1, kLogicalDecimal = 5, kLogicalDate = 6;
constexpr std::int16_t kDecimalScale = 1, kDecimalPrecision = 2;
constexpr std::int32_t kConvertedUtf8 = 0, kConvertedDecimal = 5, kConvertedDate = 6;
constexpr std::int32_t kRequired = 0;
constexpr std::int32_t kDecimalScaleValue = 2, kDecimalPrecisionValue = 12;

void PutPageStart(ThriftWriter* w, ParquetPageType type, std::int32_t uncompressedSize,
                  std::int32_t compressedSize) {
  w->FieldI32(page_header::kType, type);
  w->FieldI32(page_header::kUncompressedSize, uncompressedSize);
  w->FieldI32(page_header::kCompressedSize, compressedSize);
}

void PutStatistics(ThriftWriter* w, const ParquetChunkMeta& meta) {
  w->BeginStruct(column_meta::kStatistics);
  w->FieldI64(statistics::kNullCount, 0);
  w->FieldBinary(statistics::kMaxValue, meta.max.bytes, meta.max.size);
  w->FieldBinary(statistics::kMinValue, meta.min.bytes, meta.min.size);
  w->End();
}

void PutLogicalType(ThriftWriter* w, ParquetType type) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDouble:
      return;
    case ParquetType::kDecimal12_2:
      w->FieldI32(schema::kConvertedType, kConvertedDecimal);
      w->FieldI32(schema::kScale, kDecimalScaleValue);
      w->FieldI32(schema::kPrecision, kDecimalPrecisionValue);
      w->BeginStruct(schema::kLogicalType);
      w->BeginStruct(kLogicalDecimal);
      w->FieldI32(kDecimalScale, kDecimalScaleValue);
      w->FieldI32(kDecimalPrecision, kDecimalPrecisionValue);
      w->End();
      w->End();
      return;
    case ParquetType::kDate:
      w->FieldI32(schema::kConvertedType, kConvertedDate);
      w->BeginStruct(schema::kLogicalType);
      w->BeginStruct(kLogicalDate);
      w->End();
      w->End();
      return;
    case ParquetType::kString:
      w->FieldI32(schema::kConvertedType, kConvertedUtf8);
      w->BeginStruct(schema::kLogicalType);
      w->BeginStruct(kLogicalString);
      w->End();
      w->End();
      return;
  }
}

}  // namespace

bool Parquet_CodecFromName(const char* name, ParquetCodec* codec) {
  static constexpr struct {
    const char* name;
    ParquetCodec codec;
  } kNames[] = {{"none", ParquetCodec::kUncompressed},
                {"snappy", ParquetCodec::kSnappy},
                {"zstd", ParquetCodec::kZstd}};
  for (const auto& entry : kNames) {
    if (std::strcmp(name, entry.name) == 0) {
      *codec = entry.codec;
      return true;
    }
  }
  return false;
}

const char* Parquet_CodecName(ParquetCodec codec) {
  switch (codec) {
    case ParquetCodec::kUncompressed:
      return "none";
    case ParquetCodec::kSnappy:
      return "snappy";
    case ParquetCodec::kZstd:
      return "zstd";
  }
  return "?";
}

ParquetPhysical Parquet_PhysicalOf(ParquetType type) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDate:
      return kPhysInt32;
    case ParquetType::kDecimal12_2:
      return kPhysInt64;
    case ParquetType::kDouble:
      return kPhysDouble;
    case ParquetType::kString:
      return kPhysByteArray;
  }
  return kPhysByteArray;
}

void Parquet_PutDataPageHeader(ParquetBuffer* out, std::int32_t uncompressedSize,
                               std::int32_t compressedSize, std::int32_t numValues,
                               ParquetEncoding encoding) {
  ThriftWriter w(out);
  PutPageStart(&w, kPageData, uncompressedSize, compressedSize);
  w.BeginStruct(page_header::kDataPage);
  w.FieldI32(data_page::kNumValues, numValues);
  w.FieldI32(data_page::kEncoding, encoding);
  w.FieldI32(data_page::kDefinitionEncoding, kEncRle);
  w.FieldI32(data_page::kRepetitionEncoding, kEncRle);
  w.End();
  w.End();
}

void Parquet_PutDictionaryPageHeader(ParquetBuffer* out, std::int32_t uncompressedSize,
                                     std::int32_t compressedSize, std::int32_t numValues) {
  ThriftWriter w(out);
  PutPageStart(&w, kPageDictionary, uncompressedSize, compressedSize);
  w.BeginStruct(page_header::kDictionaryPage);
  w.FieldI32(dictionary_page::kNumValues, numValues);
  w.FieldI32(dictionary_page::kEncoding, kEncPlain);
  w.End();
  w.End();
}

void Parquet_PutColumnChunk(ThriftWriter* w, const ParquetColumnDesc& desc,
                            const ParquetChunkMeta& meta, std::int64_t fileOffset,
                            const ParquetChunkIndexes* indexes) {
  constexpr std::int16_t kFileOffset = 2, kMetaData = 3, kOffsetIndexOffset = 4,
                         kOffsetIndexLength = 5, kColumnIndexOffset = 6, kColumnIndexLength = 7;
  w->BeginListStruct();
  w->FieldI64(kFileOffset, fileOffset);
  w->BeginStruct(kMetaData);
  w->FieldI32(column_meta::kType, Parquet_PhysicalOf(meta.type));
  if (meta.dictionary) {
    w->BeginList(column_meta::kEncodings, ThriftType::kI32, 2);
    w->ListI32(kEncPlain);
    w->ListI32(kEncRleDictionary);
  } else {
    w->BeginList(column_meta::kEncodings, ThriftType::kI32, 1);
    w->ListI32(kEncPlain);
  }
  w->BeginList(column_meta::kPath, ThriftType::kBinary, 1);
  w->ListString(desc.name);
  w->FieldI32(column_meta::kCodec, static_cast<std::int32_t>(meta.codec));
  w->FieldI64(column_meta::kNumValues, meta.numValues);
  w->FieldI64(column_meta::kUncompressedSize, meta.uncompressedBytes);
  w->FieldI64(column_meta::kCompressedSize, meta.compressedBytes);
  w->FieldI64(column_meta::kDataPageOffset, fileOffset + meta.dataPageOffset);
  if (meta.dictionary) w->FieldI64(column_meta::kDictionaryPageOffset, fileOffset);
  if (meta.hasStats) PutStatistics(w, meta);
  if (meta.bloomBytes > 0) {
    w->FieldI64(column_meta::kBloomFilterOffset, fileOffset + meta.bloomOffset);
    w->FieldI32(column_meta::kBloomFilterLength, static_cast<std::int32_t>(meta.bloomBytes));
  }
  w->End();
  if (indexes != nullptr) {
    w->FieldI64(kOffsetIndexOffset, indexes->offsetIndexOffset);
    w->FieldI32(kOffsetIndexLength, static_cast<std::int32_t>(indexes->offsetIndexBytes));
    if (indexes->columnIndexOffset >= 0) {
      w->FieldI64(kColumnIndexOffset, indexes->columnIndexOffset);
      w->FieldI32(kColumnIndexLength, static_cast<std::int32_t>(indexes->columnIndexBytes));
    }
  }
  w->End();
}

void Parquet_PutSchemaElement(ThriftWriter* w, const ParquetColumnDesc& desc) {
  w->BeginListStruct();
  w->FieldI32(schema::kType, Parquet_PhysicalOf(desc.type));
  w->FieldI32(schema::kRepetition, kRequired);
  w->FieldString(schema::kName, desc.name);
  PutLogicalType(w, desc.type);
  w->End();
}

}  // namespace zervgen
