// parquet/file.cpp: row group metadata and the footer.
#include "parquet/file.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "parquet/pageindex.h"
#include "parquet/thrift.h"

namespace zervgen {
namespace {

namespace file_meta {
constexpr std::int16_t kVersion = 1, kSchema = 2, kNumRows = 3, kRowGroups = 4, kCreatedBy = 6,
                       kColumnOrders = 7;
}
namespace row_group {
constexpr std::int16_t kColumns = 1, kTotalByteSize = 2, kNumRows = 3, kFileOffset = 5,
                       kTotalCompressedSize = 6, kOrdinal = 7;
}
constexpr std::int16_t kSchemaName = 4, kSchemaNumChildren = 5;
constexpr std::int16_t kTypeOrder = 1;  // ColumnOrder's TYPE_ORDER
// Logical types and RLE_DICTIONARY are of the format's second version.
constexpr std::int32_t kFormatVersion = 2;

bool Fits(const ParquetColumnDesc& desc, const ParquetChunkMeta* meta, std::int64_t rows) {
  return meta != nullptr && meta->type == desc.type && meta->numValues == rows &&
         meta->compressedBytes > 0;
}

void PutSchema(ThriftWriter* w, const ParquetColumnDesc* columns, int n, const char* rootName) {
  w->BeginList(file_meta::kSchema, ThriftType::kStruct, n + 1);
  w->BeginListStruct();
  w->FieldString(kSchemaName, rootName);
  w->FieldI32(kSchemaNumChildren, n);
  w->End();
  for (int i = 0; i < n; ++i) Parquet_PutSchemaElement(w, columns[i]);
}

// Every column's statistics follow the order its type defines.
void PutColumnOrders(ThriftWriter* w, int n) {
  w->BeginList(file_meta::kColumnOrders, ThriftType::kStruct, n);
  for (int i = 0; i < n; ++i) {
    w->BeginListStruct();
    w->BeginStruct(kTypeOrder);
    w->End();
    w->End();
  }
}

// Where the row group of `chunks` whose first chunk starts at `start` ends:
// after its chunks and the bloom filters that follow them.
std::int64_t GroupEnd(std::span<const ParquetChunkMeta* const> chunks, std::int64_t start) {
  std::int64_t at = start;
  std::int64_t end = start;
  for (const ParquetChunkMeta* chunk : chunks) {
    if (chunk->bloomBytes > 0) end = std::max(end, at + chunk->bloomOffset + chunk->bloomBytes);
    at += chunk->compressedBytes;
  }
  return std::max(at, end);
}

}  // namespace

ParquetFileBuilder::ParquetFileBuilder(const ParquetColumnDesc* columns, int nColumns,
                                       const char* rootName, const char* createdBy)
    : columns_(columns), nColumns_(nColumns), rootName_(rootName), createdBy_(createdBy) {}

Status ParquetFileBuilder::AddRowGroup(std::span<const ParquetChunkMeta* const> chunks,
                                       std::int64_t rows) {
  if (chunks.size() != static_cast<std::size_t>(nColumns_) || rows < 1) {
    return Status::InvalidArgument();
  }
  std::int64_t uncompressed = 0, compressed = 0;
  for (int c = 0; c < nColumns_; ++c) {
    if (!Fits(columns_[c], chunks[c], rows)) return Status::InvalidArgument();
    uncompressed += chunks[c]->uncompressedBytes;
    compressed += chunks[c]->compressedBytes;
  }
  ThriftWriter w(&groups_);
  w.BeginListStruct();
  w.BeginList(row_group::kColumns, ThriftType::kStruct, nColumns_);
  std::int64_t at = offset_;
  for (int c = 0; c < nColumns_; ++c) {
    Parquet_PutColumnChunk(&w, columns_[c], *chunks[c], at);
    at += chunks[c]->compressedBytes;
  }
  w.FieldI64(row_group::kTotalByteSize, uncompressed);
  w.FieldI64(row_group::kNumRows, rows);
  w.FieldI64(row_group::kFileOffset, offset_);
  w.FieldI64(row_group::kTotalCompressedSize, compressed);
  if (rowGroups_ <= INT16_MAX)
    w.FieldI16(row_group::kOrdinal, static_cast<std::int16_t>(rowGroups_));
  w.End();
  if (!groups_.ok()) return Status::NoMemory();  // and so is every later call
  offset_ = GroupEnd(chunks, offset_);
  rows_ += rows;
  ++rowGroups_;
  return Status::Ok();
}

Status ParquetFileBuilder::AddRowGroup(std::span<const ParquetChunkMeta* const> chunks,
                                       std::span<const ParquetBuffer* const> pages,
                                       std::int64_t rows) {
  if (failed_) return Status::NoMemory();
  if (!pageIndex_ || chunks.size() != static_cast<std::size_t>(nColumns_) ||
      pages.size() != chunks.size() || rows < 1) {
    return Status::InvalidArgument();
  }
  for (int c = 0; c < nColumns_; ++c) {
    if (!Fits(columns_[c], chunks[c], rows) || pages[c] == nullptr ||
        pages[c]->size() !=
            static_cast<std::size_t>(chunks[c]->dataPages) * sizeof(ParquetPageEntry)) {
      return Status::InvalidArgument();
    }
  }
  std::int64_t at = offset_;
  try {
    for (int c = 0; c < nColumns_; ++c) {
      const std::span<const ParquetPageEntry> entries(
          reinterpret_cast<const ParquetPageEntry*>(pages[c]->data()),
          static_cast<std::size_t>(chunks[c]->dataPages));
      const std::size_t columnBefore = columnIndexes_.size();
      const std::size_t offsetBefore = offsetIndexes_.size();
      if (Parquet_CanIndexColumn(entries)) Parquet_PutColumnIndex(&columnIndexes_, entries);
      Parquet_PutOffsetIndex(&offsetIndexes_, entries, at);
      pending_.push_back({*chunks[c], at,
                          static_cast<std::int64_t>(columnIndexes_.size() - columnBefore),
                          static_cast<std::int64_t>(offsetIndexes_.size() - offsetBefore)});
      at += chunks[c]->compressedBytes;
    }
    groupRows_.push_back(rows);
  } catch (const std::bad_alloc&) {
    failed_ = true;
    return Status::NoMemory();
  }
  if (!columnIndexes_.ok() || !offsetIndexes_.ok()) {
    failed_ = true;
    return Status::NoMemory();
  }
  offset_ = GroupEnd(chunks, offset_);
  rows_ += rows;
  ++rowGroups_;
  return Status::Ok();
}

// The RowGroup elements of a file with a page index whose indexes start
// at `indexStart`: every ColumnIndex, then every OffsetIndex.
Status ParquetFileBuilder::PutGroups(ParquetBuffer* out, std::int64_t indexStart) const {
  ThriftWriter w(out);
  std::int64_t columnAt = indexStart;
  std::int64_t offsetAt = indexStart + static_cast<std::int64_t>(columnIndexes_.size());
  std::size_t next = 0;
  for (std::size_t g = 0; g < groupRows_.size(); ++g) {
    std::int64_t uncompressed = 0, compressed = 0;
    const std::int64_t first = pending_[next].offset;
    w.BeginListStruct();
    w.BeginList(row_group::kColumns, ThriftType::kStruct, nColumns_);
    for (int c = 0; c < nColumns_; ++c, ++next) {
      const PendingChunk& chunk = pending_[next];
      const ParquetChunkIndexes indexes{offsetAt, chunk.offsetIndexBytes,
                                        chunk.columnIndexBytes > 0 ? columnAt : -1,
                                        chunk.columnIndexBytes};
      Parquet_PutColumnChunk(&w, columns_[c], chunk.meta, chunk.offset, &indexes);
      offsetAt += chunk.offsetIndexBytes;
      columnAt += chunk.columnIndexBytes;
      uncompressed += chunk.meta.uncompressedBytes;
      compressed += chunk.meta.compressedBytes;
    }
    w.FieldI64(row_group::kTotalByteSize, uncompressed);
    w.FieldI64(row_group::kNumRows, groupRows_[g]);
    w.FieldI64(row_group::kFileOffset, first);
    w.FieldI64(row_group::kTotalCompressedSize, compressed);
    if (g <= INT16_MAX) w.FieldI16(row_group::kOrdinal, static_cast<std::int16_t>(g));
    w.End();
  }
  return out->ok() ? Status::Ok() : Status::NoMemory();
}

Status ParquetFileBuilder::Footer(ParquetBuffer* out) const {
  out->Clear();
  std::size_t metaStart = 0;
  if (pageIndex_) {
    out->Append(columnIndexes_.data(), columnIndexes_.size());
    out->Append(offsetIndexes_.data(), offsetIndexes_.size());
    metaStart = out->size();
  }
  ThriftWriter w(out);
  w.FieldI32(file_meta::kVersion, kFormatVersion);
  PutSchema(&w, columns_, nColumns_, rootName_);
  w.FieldI64(file_meta::kNumRows, rows_);
  w.BeginList(file_meta::kRowGroups, ThriftType::kStruct, rowGroups_);
  if (pageIndex_) {
    if (!PutGroups(out, offset_).ok()) return Status::NoMemory();
  } else {
    out->Append(groups_.data(), groups_.size());
  }
  w.FieldString(file_meta::kCreatedBy, createdBy_);
  PutColumnOrders(&w, nColumns_);
  w.End();
  const std::size_t metaSize = out->size() - metaStart;
  out->PutU32(static_cast<std::uint32_t>(metaSize));
  out->Append(kParquetMagic, kParquetMagicSize);
  if (failed_ || !groups_.ok() || !out->ok()) return Status::NoMemory();
  if (metaSize > UINT32_MAX) return Status::InvalidArgument();
  return Status::Ok();
}

}  // namespace zervgen
