// run/parquet_format.cpp: the Parquet format of the relation writer.
#include "run/parquet_format.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "base/except.h"
#include "base/progname.h"
#include "parquet/chunk.h"
#include "parquet/file.h"
#include "run/catalog.h"
#include "run/parquet_rows.h"

namespace zervgen {
namespace {

ParquetType TypeOf(GenValueType type) {
  switch (type) {
    case GenValueType::kInt32:
      return ParquetType::kInt32;
    case GenValueType::kDecimal:
      return ParquetType::kDecimal12_2;
    case GenValueType::kDouble:
      return ParquetType::kDouble;
    case GenValueType::kDate:
      return ParquetType::kDate;
    case GenValueType::kText:
      break;
  }
  return ParquetType::kString;
}

// A row group: every column's chunk, encoded by whichever thread formats
// it, one after the other in one buffer kept from row group to row group.
// Complete or empty.
class RowGroupChunk : public GenParquetRowGroup {
 public:
  RowGroupChunk(const std::vector<ParquetColumnDesc>& columns, const std::vector<bool>& bloomed,
                const OutputFormat& text, const GenParquetSettings& settings)
      : columns_(columns),
        bloomed_(bloomed),
        text_(text),
        codec_(settings.codec),
        metas_(columns.size()),
        ends_(columns.size()),
        pages_(settings.pageIndex ? columns.size() : 0),
        blooms_(columns.size()) {
    encoder_.SetPages(settings.pages);
  }

  std::int32_t Format(const GenChunkView& view) override {
    bytes_.Clear();
    rows_ = 0;
    CHECK_ENSURE_TEXT(view.nFields == static_cast<int>(columns_.size()),
                      "fields == Parquet columns");
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      // The columns are encoded one at a time: one encoder's scratch serves
      // them all. A column of the same values as the one before it (two
      // fields of one slot) takes that one's dictionary.
      const OutputRowField& field = view.fields[c];
      const OutputRowField* last = c > 0 ? &view.fields[c - 1] : nullptr;
      const bool same = last != nullptr && field.values == last->values &&
                        field.runs.numbers == last->runs.numbers && field.stride == last->stride;
      if (!pages_.empty()) {
        pages_[c].Clear();
        encoder_.RecordPages(&pages_[c]);
      }
      encoder_.RecordBloom(bloomed_[c] ? &blooms_[c] : nullptr);
      const Status status = encoder_.EncodeInto(columns_[c], codec_, text_, field, view.rows,
                                                view.fillState, &bytes_, &metas_[c], same);
      if (status.IsNoMemory()) {
        bytes_.Clear();
        return 0;
      }
      // A day out of range is refused as the text rows refuse it.
      CHECK_REQUIRE_TEXT(status.code() != StatusCode::kOutOfRange, "0 <= day <= DATE_MAX_DAY");
      CHECK_ENSURE_TEXT(status.ok(), "column chunk encoded");
      ends_[c] = bytes_.size();
    }
    if (!PutBlooms()) {
      bytes_.Clear();
      return 0;
    }
    rows_ = view.rows;
    return rows_;
  }
  const char* data() const override { return bytes_.data(); }
  std::size_t size() const override { return bytes_.size(); }
  const char* ColumnAt(std::size_t byte) const override {
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (byte < ends_[c]) return columns_[c].name;
    }
    for (std::size_t c = 0; c < columns_.size(); ++c) {  // a bloom filter's
      const auto at = static_cast<std::int64_t>(byte - ColumnStart(c)) - metas_[c].bloomOffset;
      if (metas_[c].bloomBytes > 0 && at >= 0 && at < metas_[c].bloomBytes) return columns_[c].name;
    }
    return nullptr;
  }

  std::size_t columns() const override { return columns_.size(); }
  std::size_t ColumnStart(std::size_t c) const override { return c == 0 ? 0 : ends_[c - 1]; }
  const ParquetChunkMeta& ColumnMeta(std::size_t c) const override { return metas_[c]; }
  const char* ColumnName(std::size_t c) const override { return columns_[c].name; }

  std::int32_t rows() const { return rows_; }
  const ParquetChunkMeta* meta(std::size_t c) const { return &metas_[c]; }
  // Each column's page index entries; empty without a page index.
  const std::vector<ParquetBuffer>& pages() const { return pages_; }

 private:
  // The bloom filters after the column chunks, in column order, each
  // chunk's metadata saying where its filter lies; false for no memory.
  bool PutBlooms() {
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (!bloomed_[c]) continue;
      const std::size_t at = bytes_.size();
      blooms_[c].AppendTo(&bytes_);
      metas_[c].bloomOffset = static_cast<std::int64_t>(at - ColumnStart(c));
      metas_[c].bloomBytes = static_cast<std::int64_t>(bytes_.size() - at);
    }
    return bytes_.ok();
  }

  const std::vector<ParquetColumnDesc>& columns_;
  const std::vector<bool>& bloomed_;  // per column: whether its chunks get a bloom filter
  const OutputFormat& text_;
  ParquetCodec codec_;
  ParquetFieldEncoder encoder_;
  std::vector<ParquetChunkMeta> metas_;
  std::vector<std::size_t> ends_;           // each column's end in bytes_
  std::vector<ParquetBuffer> pages_;        // with a page index: each column's page entries
  std::vector<ParquetBloomFilter> blooms_;  // the filters of the columns bloomed_ names
  ParquetBuffer bytes_;
  std::int32_t rows_ = 0;
};

class ParquetFormat : public GenFormat {
 public:
  ParquetFormat(const char* relName, std::vector<ParquetColumnDesc> columns,
                const OutputFormat& text, const GenParquetSettings& settings)
      : columns_(std::move(columns)),
        text_(text),
        settings_(settings),
        file_(columns_.data(), static_cast<int>(columns_.size()), relName, Gen_ParquetCreatedBy()) {
    if (settings_.pageIndex) file_.EnablePageIndex();
    for (const ParquetColumnDesc& column : columns_) {
      const std::vector<std::string>& names = settings_.bloomColumns;
      bloomed_.push_back(std::find(names.begin(), names.end(), column.name) != names.end());
    }
  }

  std::int32_t ChunkRows() const override { return settings_.rowGroupRows; }
  bool ReadsRunNumbers() const override { return true; }
  // A row group is large (tens of MB at the default size, each touched
  // afresh): one per worker, the one in the writer's hands going back to
  // its worker once written. A spare one more kept no worker busier on two
  // cores and cost its memory.
  int RingChunks(int threads) const override { return threads; }

  std::unique_ptr<GenFormatChunk> NewChunk() override {
    return std::unique_ptr<GenFormatChunk>(new (std::nothrow)
                                               RowGroupChunk(columns_, bloomed_, text_, settings_));
  }
  GenFormatChunk* ReservedChunk(const OutputRowField*, int, std::int32_t*) override {
    return nullptr;
  }

  std::string Begin() override { return std::string(kParquetMagic, kParquetMagicSize); }

  bool Written(const GenFormatChunk& chunk, std::uint64_t offset) override {
    const auto& group = static_cast<const RowGroupChunk&>(chunk);
    CHECK_ENSURE_TEXT(offset == static_cast<std::uint64_t>(file_.offset()),
                      "row group at the file's end");
    std::vector<const ParquetChunkMeta*> metas;
    for (std::size_t c = 0; c < columns_.size(); ++c) metas.push_back(group.meta(c));
    std::vector<const ParquetBuffer*> pages;
    for (const ParquetBuffer& entries : group.pages()) pages.push_back(&entries);
    const Status status = settings_.pageIndex ? file_.AddRowGroup(metas, pages, group.rows())
                                              : file_.AddRowGroup(metas, group.rows());
    if (status.IsNoMemory()) return false;
    CHECK_ENSURE_TEXT(status.ok(), "row group recorded");
    return true;
  }

  bool End(std::string* bytes) override {
    ParquetBuffer footer;
    const Status status = file_.Footer(&footer);
    if (status.IsNoMemory()) return false;
    CHECK_ENSURE_TEXT(status.ok(), "footer made");
    bytes->assign(footer.data(), footer.size());
    return true;
  }

 private:
  const std::vector<ParquetColumnDesc> columns_;
  const OutputFormat text_;
  const GenParquetSettings settings_;
  std::vector<bool> bloomed_;  // per column: whether -bloom names it
  ParquetFileBuilder file_;
};

// Per row and column besides the values: a dictionary index and its share
// of the hash table, and a temporary-file column's value.
constexpr std::size_t kIndexBytesPerColumn = 4 + 8 + 4;
// A page of a column at its largest, uncompressed and compressed, with
// room to grow.
std::size_t PageScratchBytes(std::size_t pageBytes) { return 2 * (pageBytes + pageBytes / 4); }
// A zstd compressor's state, per column: its tables and a window as large
// as its pages, at most this much at the default level and page size;
// the higher levels search larger tables (the figures are above what zstd
// takes at pages of 1 MiB), and larger pages need a larger window.
constexpr std::size_t kZstdTableBytes = std::size_t{256} << 10;
constexpr std::size_t kZstdStateBytes = std::size_t{3} << 20;
std::size_t ZstdStateBytes(const ParquetPageSettings& pages) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  const int level = pages.zstdLevel;
  const std::size_t tables = level <= kParquetZstdLevel ? kZstdStateBytes
                             : level <= 9               ? 12 * kMiB
                             : level <= 15              ? 24 * kMiB
                                                        : 48 * kMiB;
  return tables + (pages.pageBytes > kParquetPageBytes ? 2 * pages.pageBytes : 0);
}
constexpr std::size_t kFixedBytes = std::size_t{4} << 20;

}  // namespace

const char* Gen_ParquetCreatedBy() {
  static const std::string text = std::string("zervgen version ") + kVersion + " (build zervgen)";
  return text.c_str();
}

std::size_t Gen_ParquetWriterBytes(const GenParquetSettings& settings, std::int32_t nRows,
                                   std::int16_t nFill) {
  const auto rows = static_cast<std::size_t>(std::max(1, std::min(settings.rowGroupRows, nRows)));
  // The widest relation's values of one row as Parquet holds them.
  const std::size_t columns = Gen_WidestRowColumns();
  const std::size_t valueBytes =
      Gen_WidestRowValueBytes() + (nFill > 0 ? static_cast<std::size_t>(nFill) + 4 : 0);
  // The values converted, encoded into the column chunks and gathered into
  // the row group's bytes, each at up to twice its size.
  const std::size_t perRow = 2 * 3 * valueBytes + columns * kIndexBytesPerColumn;
  const std::size_t pages =
      std::min(columns * PageScratchBytes(settings.pages.pageBytes), 2 * 2 * rows * valueBytes);
  const std::size_t zstd =
      std::min(ZstdStateBytes(settings.pages), kZstdTableBytes + 4 * rows * valueBytes);
  const std::size_t codec = settings.codec == ParquetCodec::kZstd ? columns * zstd : 0;
  // A chunk's bitset is at most about 2.42 bytes a row (9.68 bits a value,
  // doubled by the rounding up), held once in its filter and in the row
  // group's bytes at up to twice its size.
  const std::size_t bloomed = std::min(settings.bloomColumns.size(), columns);
  const std::size_t bloom =
      bloomed * 3 * (Parquet_BloomBytes(static_cast<std::int64_t>(rows)) + 64);
  return rows * perRow + pages + codec + bloom + kFixedBytes;
}

std::unique_ptr<GenFormat> Gen_ParquetFormat(const char* relName,
                                             std::span<const GenColumnSpec> fields,
                                             const OutputFormat& text,
                                             const GenParquetSettings& settings) {
  CHECK_REQUIRE_TEXT(relName != nullptr, "relName != NULL");
  CHECK_REQUIRE(settings.rowGroupRows >= kParquetMinRowGroup &&
                settings.rowGroupRows <= kParquetMaxRowGroup);
  std::vector<ParquetColumnDesc> columns;
  for (const GenColumnSpec& field : fields) {
    if (field.attr == nullptr) break;
    // The writer leaves out a fill of no characters; so does the file.
    if (field.kind == OutputKind::kFill && field.width == 0) continue;
    CHECK_REQUIRE_TEXT(field.name != nullptr, "field.name != NULL");
    columns.push_back({field.name, TypeOf(field.type), field.distinct});
  }
  return std::make_unique<ParquetFormat>(relName, std::move(columns), text, settings);
}

}  // namespace zervgen
