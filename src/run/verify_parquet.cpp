// run/verify_parquet.cpp: the content check of Parquet files.
#include "run/verify_parquet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/util.h"
#include "parquet/buffer.h"
#include "parquet/codec.h"
#include "parquet/file.h"
#include "parquet/page_values.h"
#include "parquet/thrift_reader.h"
#include "run/parquet_format.h"
#include "run/verify_read.h"

namespace zervgen {
namespace {

// Field ids of the metadata the check walks.
namespace file_meta {
constexpr std::int16_t kSchema = 2, kRowGroups = 4;
}
namespace row_group {
constexpr std::int16_t kColumns = 1, kTotalByteSize = 2, kFileOffset = 5, kTotalCompressed = 6;
}
namespace column_chunk {
constexpr std::int16_t kFileOffset = 2, kMetaData = 3, kOffsetIndexOffset = 4,
                       kOffsetIndexLength = 5, kColumnIndexOffset = 6, kColumnIndexLength = 7;
}
namespace column_meta {
constexpr std::int16_t kCodec = 4, kUncompressedSize = 6, kCompressedSize = 7, kDataPageOffset = 9,
                       kDictionaryPageOffset = 11, kBloomOffset = 14, kBloomLength = 15;
}
namespace page_header {
constexpr std::int16_t kType = 1, kUncompressedSize = 2, kCompressedSize = 3, kCrc = 4,
                       kDataPage = 5, kDictionaryPage = 7;
}
constexpr std::int16_t kPageNumValues = 1, kPageEncoding = 2;

// The most bytes of a page header read at once; a longer header fails.
constexpr std::size_t kMaxPageHeader = std::size_t{64} << 10;
// A footer longer than this is not decoded.
constexpr std::size_t kMaxFooter = std::size_t{1} << 30;

// Where the file keeps a column chunk, as its pages were found.
struct ChunkLayout {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::int64_t uncompressed = 0;
  struct Page {
    std::uint64_t offset;
    std::int64_t size;
    std::int64_t firstRow;
  };
  std::vector<Page> dataPages;
};

// A row group checked by its content (its layout may differ from the
// writer's), with the layout its pages were found in.
struct GroupLayout {
  bool byContent = false;
  std::vector<ChunkLayout> chunks;
};

class ParquetCheck : public GenFileCheck {
 public:
  ParquetCheck(int fd, GenRows rows) : fd_(fd), bytes_(Gen_NewFileCheck(fd, true, true, rows)) {
    struct stat st {};
    if (::fstat(fd, &st) == 0) fileSize_ = static_cast<std::uint64_t>(st.st_size);
  }

  bool Take(const char* data, std::size_t size, std::int32_t firstRow,
            const GenFormatChunk* chunk) override;
  std::uint64_t offset() const override { return taken_; }
  void Finish() override {
    if (!byContent_) {
      bytes_->Finish();
      failure_ = bytes_->failure();
      unreadable_ = bytes_->unreadable();
    }
  }
  const std::string& failure() const override { return failure_; }
  bool unreadable() const override { return unreadable_; }
  bool exact() const override { return !byContent_; }

 private:
  bool Fail(std::string why) {
    failure_ = std::move(why);
    return false;
  }
  // The same for a read that failed: a read error makes the file
  // unreadable, a file cut short differs.
  bool FailRead(const Status& read) {
    if (read.code() == StatusCode::kIoError) unreadable_ = true;
    return Fail(read.what());
  }
  // Decodes the file's footer; false (and the byte check's outcome) when
  // the file has none that decodes.
  bool StartContent();
  bool RowGroup(const GenParquetRowGroup& group, const char* data, std::int32_t firstRow);
  bool Column(const GenParquetRowGroup& group, std::size_t c, const char* data,
              std::int32_t firstRow, const ThriftValue& fileChunk, ChunkLayout* layout);
  bool Page(const std::string& place, ParquetType type, ParquetCodec codec, const char* want,
            std::size_t wantSize, std::uint64_t* pos, std::uint64_t end, std::int64_t firstRow,
            ChunkLayout* layout);
  bool SameBloom(const ParquetChunkMeta& want, const char* wantBytes, const ThriftValue& meta);
  bool Tail(const char* data, std::size_t size);
  bool SameIndexes(std::size_t g, const char* tail, std::uint64_t tailStart, std::size_t tailSize,
                   const ThriftValue& want, const ThriftValue& got);
  bool ReadIndex(const ThriftValue& chunk, std::int16_t offsetId, std::int16_t lengthId,
                 std::string* bytes, ThriftValue* index);
  bool SameGroupMeta(std::size_t g, const ThriftValue& want, const ThriftValue& got);
  std::string GroupPlace(std::size_t g, std::size_t c) const;

  int fd_;
  std::unique_ptr<GenFileCheck> bytes_;
  std::uint64_t fileSize_ = 0;
  std::uint64_t taken_ = 0;  // the writer's bytes taken
  std::size_t groups_ = 0;   // row groups taken
  bool byContent_ = false;
  std::size_t contentFrom_ = 0;  // the first row group compared by content
  std::string failure_;
  bool unreadable_ = false;  // the failure is a read that failed
  std::string footerBytes_;
  ThriftValue footer_;
  std::uint64_t footerStart_ = 0;
  std::vector<GroupLayout> layouts_;
  std::vector<std::string> names_;  // column names, from the first row group
  ParquetBuffer head_, body_, wantPlain_, gotPlain_;
};

bool ParquetCheck::Take(const char* data, std::size_t size, std::int32_t firstRow,
                        const GenFormatChunk* chunk) {
  const auto* group = dynamic_cast<const GenParquetRowGroup*>(chunk);
  // Every chunk of rows of the Parquet format is a row group.
  if (chunk != nullptr && group == nullptr) return Fail("cannot decode the expected pages");
  if (group != nullptr && names_.empty()) {
    for (std::size_t c = 0; c < group->columns(); ++c) names_.push_back(group->ColumnName(c));
  }
  if (!byContent_) {
    if (bytes_->Take(data, size, firstRow, chunk)) {
      taken_ += size;
      if (group != nullptr) layouts_.push_back(GroupLayout{});
      groups_ += chunk != nullptr ? 1 : 0;
      return true;
    }
    // The magic at the start, or a footer that does not decode, leave
    // nothing to compare by content: the byte check words the outcome.
    if (taken_ == 0 || !StartContent()) {
      unreadable_ = bytes_->unreadable();
      return Fail(bytes_->failure());
    }
    byContent_ = true;
    contentFrom_ = groups_;
  }
  taken_ += size;
  if (group == nullptr) {
    // A footer that differs after every row group matched byte for byte is
    // told where its bytes differ, when that is within the footer; page
    // indexes (before the footer) are told by row group and column.
    if (!Tail(data, size) && contentFrom_ == groups_ && bytes_->failureOffset() >= footerStart_) {
      failure_ = bytes_->failure();
      unreadable_ = bytes_->unreadable();
    }
    return failure_.empty();
  }
  const bool same = RowGroup(*group, data, firstRow);
  ++groups_;
  return same;
}

bool ParquetCheck::StartContent() {
  constexpr std::uint64_t kEnds = 2 * kParquetMagicSize + 4;
  if (fileSize_ < kEnds) return false;
  char end[8];
  if (!Gen_ReadAt(fd_, fileSize_ - 8, 8, end).ok()) return false;
  if (std::memcmp(end + 4, kParquetMagic, kParquetMagicSize) != 0) return false;
  std::uint32_t length = 0;
  std::memcpy(&length, end, 4);
  if (length == 0 || length > kMaxFooter || length > fileSize_ - kEnds) return false;
  footerBytes_.resize(length);
  footerStart_ = fileSize_ - 8 - length;
  if (!Gen_ReadAt(fd_, footerStart_, length, footerBytes_.data()).ok()) return false;
  return Thrift_ReadStruct(footerBytes_.data(), length, &footer_) != 0;
}

std::string ParquetCheck::GroupPlace(std::size_t g, std::size_t c) const {
  std::string place = "row group " + Util_Decimal(g + 1);
  if (c < names_.size()) place += ", column \"" + names_[c] + "\"";
  return place;
}

bool ParquetCheck::RowGroup(const GenParquetRowGroup& group, const char* data,
                            std::int32_t firstRow) {
  const std::size_t g = groups_;
  GroupLayout layout;
  layout.byContent = true;
  const std::vector<ThriftValue>* groups = Gen_ThriftList(footer_, file_meta::kRowGroups);
  if (groups == nullptr || g >= groups->size()) {
    return Fail("differs in the footer (row group " + Util_Decimal(g + 1) + " missing)");
  }
  const std::vector<ThriftValue>* chunks = Gen_ThriftList((*groups)[g], row_group::kColumns);
  if (chunks == nullptr || chunks->size() != group.columns()) {
    return Fail("differs in the footer (" + GroupPlace(g, SIZE_MAX) + ")");
  }
  layout.chunks.resize(group.columns());
  for (std::size_t c = 0; c < group.columns(); ++c) {
    if (!Column(group, c, data, firstRow, (*chunks)[c], &layout.chunks[c])) return false;
  }
  layouts_.push_back(std::move(layout));
  return true;
}

bool ParquetCheck::Column(const GenParquetRowGroup& group, std::size_t c, const char* data,
                          std::int32_t firstRow, const ThriftValue& fileChunk,
                          ChunkLayout* layout) {
  const std::string place = GroupPlace(groups_, c);
  const ParquetChunkMeta& want = group.ColumnMeta(c);
  const ThriftValue* meta = fileChunk.Field(column_chunk::kMetaData);
  const std::string inFooter = "differs in the footer (" + place + ")";
  if (meta == nullptr || meta->type != ThriftType::kStruct) return Fail(inFooter);
  if (meta->Number(column_meta::kCodec, -1) != static_cast<std::int64_t>(want.codec)) {
    return Fail(inFooter);
  }
  const bool dictionary = meta->Field(column_meta::kDictionaryPageOffset) != nullptr;
  const std::int64_t start = meta->Number(
      dictionary ? column_meta::kDictionaryPageOffset : column_meta::kDataPageOffset, -1);
  const std::int64_t size = meta->Number(column_meta::kCompressedSize, -1);
  if (start < static_cast<std::int64_t>(kParquetMagicSize) || size < 0 ||
      static_cast<std::uint64_t>(size) > footerStart_ - static_cast<std::uint64_t>(start)) {
    return Fail(inFooter);
  }
  layout->start = static_cast<std::uint64_t>(start);
  layout->size = static_cast<std::uint64_t>(size);
  const char* wantBytes = data + group.ColumnStart(c);
  const auto wantSize = static_cast<std::size_t>(want.compressedBytes);
  std::uint64_t pos = layout->start;
  const std::uint64_t end = layout->start + layout->size;
  std::size_t at = 0;
  std::int64_t rowsBefore = 0;
  std::int64_t dataPageOffset = -1;
  while (at < wantSize) {
    const std::size_t before = layout->dataPages.size();
    const std::uint64_t pageAt = pos;
    const std::size_t wantAt = at;
    if (!Page(place, want.type, want.codec, wantBytes + at, wantSize - at, &pos, end,
              firstRow + rowsBefore, layout)) {
      return false;
    }
    ThriftValue header;
    at += Thrift_ReadStruct(wantBytes + wantAt, wantSize - wantAt, &header) +
          static_cast<std::size_t>(header.Number(page_header::kCompressedSize, 0));
    if (layout->dataPages.size() > before) {
      if (dataPageOffset < 0) dataPageOffset = static_cast<std::int64_t>(pageAt);
      const ThriftValue* dataPage = header.Field(page_header::kDataPage);
      rowsBefore += dataPage != nullptr ? dataPage->Number(kPageNumValues, 0) : 0;
    }
  }
  if (pos != end) {
    return Fail("differs at byte offset " + Util_Decimal(pos) + " (" + place +
                ": bytes after the last page)");
  }
  // The sizes and offsets the footer gives must be those of the pages found.
  if (meta->Number(column_meta::kDataPageOffset, -1) != dataPageOffset ||
      meta->Number(column_meta::kUncompressedSize, -1) != layout->uncompressed ||
      fileChunk.Number(column_chunk::kFileOffset, -1) != start) {
    return Fail(inFooter);
  }
  if (want.bloomBytes > 0 && !SameBloom(want, wantBytes, *meta)) {
    return Fail(body_.ok() ? "differs in the bloom filter (" + place + ")" : "out of memory");
  }
  return true;
}

// A chunk's bloom filter where the file's metadata puts it: header and
// bitset, the writer's bytes, which it made from the values the pages were
// just found to hold.
bool ParquetCheck::SameBloom(const ParquetChunkMeta& want, const char* wantBytes,
                             const ThriftValue& meta) {
  const std::int64_t offset = meta.Number(column_meta::kBloomOffset, -1);
  const std::int64_t length = meta.Number(column_meta::kBloomLength, -1);
  if (offset < static_cast<std::int64_t>(kParquetMagicSize) || length != want.bloomBytes ||
      static_cast<std::uint64_t>(offset) > footerStart_ ||
      static_cast<std::uint64_t>(length) > footerStart_ - static_cast<std::uint64_t>(offset)) {
    return false;
  }
  body_.Clear();
  char* got = body_.Grow(static_cast<std::size_t>(length));
  return got != nullptr &&
         Gen_ReadAt(fd_, static_cast<std::uint64_t>(offset), static_cast<std::size_t>(length), got)
             .ok() &&
         std::memcmp(got, wantBytes + want.bloomOffset, static_cast<std::size_t>(length)) == 0;
}

// One page: its header, as the writer's apart from the compressed size and
// CRC, and its decompressed bytes, the writer's.
bool ParquetCheck::Page(const std::string& place, ParquetType type, ParquetCodec codec,
                        const char* want, std::size_t wantSize, std::uint64_t* pos,
                        std::uint64_t end, std::int64_t firstRow, ChunkLayout* layout) {
  ThriftValue wantHeader;
  const std::size_t wantHead = Thrift_ReadStruct(want, wantSize, &wantHeader);
  const std::int64_t wantCompressed = wantHeader.Number(page_header::kCompressedSize, -1);
  const std::int64_t plainSize = wantHeader.Number(page_header::kUncompressedSize, -1);
  // The writer's own pages decode; anything else is a fault of the check.
  if (wantHead == 0 || wantCompressed < 0 || plainSize < 0 ||
      static_cast<std::uint64_t>(wantCompressed) > wantSize - wantHead) {
    return Fail("cannot decode the expected pages (" + place + ")");
  }
  const std::string at = "at byte offset " + Util_Decimal(*pos) + " (" + place;
  if (*pos >= end) return Fail("differs " + at + ": fewer pages)");
  const auto headBytes =
      static_cast<std::size_t>(std::min<std::uint64_t>(kMaxPageHeader, end - *pos));
  head_.Clear();
  char* head = head_.Grow(headBytes);
  if (head == nullptr) return Fail("out of memory");
  Status read = Gen_ReadAt(fd_, *pos, headBytes, head);
  if (!read.ok()) return FailRead(read);
  ThriftValue header;
  const std::size_t headSize = Thrift_ReadStruct(head, headBytes, &header);
  const std::int64_t compressed = header.Number(page_header::kCompressedSize, -1);
  const auto ignored = [](std::int16_t id) {
    return id == page_header::kCompressedSize || id == page_header::kCrc;
  };
  // A valid page of these bytes never compresses to much more than them.
  const std::int64_t most = plainSize + plainSize / 4 + 1024;
  if (headSize == 0 || !Gen_SameThriftExcept(wantHeader, header, ignored) || compressed < 0 ||
      compressed > most || static_cast<std::uint64_t>(compressed) > end - *pos - headSize) {
    return Fail("differs " + at + ", page header)");
  }
  const std::uint64_t bodyAt = *pos + headSize;
  body_.Clear();
  char* body = body_.Grow(static_cast<std::size_t>(compressed));
  if (body == nullptr && compressed > 0) return Fail("out of memory");
  read = Gen_ReadAt(fd_, bodyAt, static_cast<std::size_t>(compressed), body);
  if (!read.ok()) return FailRead(read);
  const char* wantBody = want + wantHead;
  const bool same = compressed == wantCompressed &&
                    std::memcmp(body, wantBody, static_cast<std::size_t>(compressed)) == 0;
  const bool dataPage = header.Number(page_header::kType, -1) == kPageData;
  if (!same) {
    const auto plain = static_cast<std::size_t>(plainSize);
    if (!Parquet_Decompress(codec, wantBody, static_cast<std::size_t>(wantCompressed), plain,
                            &wantPlain_)
             .ok()) {
      return Fail("cannot decode the expected pages (" + place + ")");
    }
    const Status status =
        Parquet_Decompress(codec, body, static_cast<std::size_t>(compressed), plain, &gotPlain_);
    if (status.IsNoMemory()) return Fail("out of memory");
    const bool sameValues =
        status.ok() && std::memcmp(wantPlain_.data(), gotPlain_.data(), plain) == 0;
    if (!sameValues) {
      const ThriftValue* kind =
          header.Field(dataPage ? page_header::kDataPage : page_header::kDictionaryPage);
      const std::int64_t n = kind != nullptr ? kind->Number(kPageNumValues, 0) : 0;
      const auto encoding =
          static_cast<std::int32_t>(kind != nullptr ? kind->Number(kPageEncoding, -1) : -1);
      std::int64_t index = -1;
      if (status.ok())
        index = Parquet_FirstValueDiffering(wantPlain_, gotPlain_, type, encoding, n);
      std::string what;
      if (index >= 0) {
        what = dataPage
                   ? ", row " + Util_Decimal(static_cast<std::uint64_t>(firstRow + index) + 1)
                   : ", dictionary entry " + Util_Decimal(static_cast<std::uint64_t>(index) + 1);
      } else if (!status.ok()) {
        what = ", the page does not decompress";
      }
      if (codec == ParquetCodec::kUncompressed && status.ok()) {
        std::size_t d = 0;
        while (wantPlain_.data()[d] == gotPlain_.data()[d]) ++d;
        return Fail("differs at byte offset " + Util_Decimal(bodyAt + d) + " (" + place + what +
                    ")");
      }
      return Fail("differs in the page at byte offset " + Util_Decimal(*pos) + " (" + place + what +
                  ")");
    }
  }
  if (dataPage) {
    layout->dataPages.push_back({*pos, static_cast<std::int64_t>(headSize) + compressed, firstRow});
  }
  layout->uncompressed += static_cast<std::int64_t>(headSize) + plainSize;
  *pos = bodyAt + static_cast<std::uint64_t>(compressed);
  return true;
}

// The metadata of row group g: the writer's, apart from the sizes and
// offsets of a row group found by its content, which must be those of the
// chunks found (each chunk's own were checked with its pages), and from
// where the page indexes and bloom filters lie (their content is checked
// where they lie).
bool ParquetCheck::SameGroupMeta(std::size_t g, const ThriftValue& want, const ThriftValue& got) {
  const bool moved = g < layouts_.size() && layouts_[g].byContent;
  const auto groupIgnored = [moved](std::int16_t id) {
    return id == row_group::kColumns ||
           (moved && (id == row_group::kTotalByteSize || id == row_group::kFileOffset ||
                      id == row_group::kTotalCompressed));
  };
  if (!Gen_SameThriftExcept(want, got, groupIgnored)) return false;
  const std::vector<ThriftValue>* wantChunks = Gen_ThriftList(want, row_group::kColumns);
  const std::vector<ThriftValue>* gotChunks = Gen_ThriftList(got, row_group::kColumns);
  if (wantChunks == nullptr || gotChunks == nullptr || wantChunks->size() != gotChunks->size()) {
    return false;
  }
  std::int64_t uncompressed = 0, compressed = 0;
  for (std::size_t c = 0; c < wantChunks->size(); ++c) {
    const ThriftValue& a = (*wantChunks)[c];
    const ThriftValue& b = (*gotChunks)[c];
    const auto chunkIgnored = [moved](std::int16_t id) {
      return id == column_chunk::kMetaData || id == column_chunk::kOffsetIndexOffset ||
             id == column_chunk::kOffsetIndexLength || id == column_chunk::kColumnIndexOffset ||
             id == column_chunk::kColumnIndexLength || (moved && id == column_chunk::kFileOffset);
    };
    // A row group found by its content had its bloom filters checked where
    // the file puts them; one taken byte for byte has them where the writer does.
    const auto metaIgnored = [moved](std::int16_t id) {
      return moved &&
             (id == column_meta::kUncompressedSize || id == column_meta::kCompressedSize ||
              id == column_meta::kDataPageOffset || id == column_meta::kDictionaryPageOffset ||
              id == column_meta::kBloomOffset || id == column_meta::kBloomLength);
    };
    const ThriftValue* am = a.Field(column_chunk::kMetaData);
    const ThriftValue* bm = b.Field(column_chunk::kMetaData);
    if (am == nullptr || bm == nullptr || !Gen_SameThriftExcept(a, b, chunkIgnored) ||
        !Gen_SameThriftExcept(*am, *bm, metaIgnored)) {
      return false;
    }
    uncompressed += bm->Number(column_meta::kUncompressedSize, 0);
    compressed += bm->Number(column_meta::kCompressedSize, 0);
  }
  if (!moved) return true;
  const std::vector<ChunkLayout>& chunks = layouts_[g].chunks;
  return !chunks.empty() &&
         got.Number(row_group::kFileOffset, -1) == static_cast<std::int64_t>(chunks[0].start) &&
         got.Number(row_group::kTotalByteSize, -1) == uncompressed &&
         got.Number(row_group::kTotalCompressed, -1) == compressed;
}

bool ParquetCheck::Tail(const char* data, std::size_t size) {
  const std::string inFooter = "differs in the footer";
  if (size < 8) return Fail("cannot decode the expected footer");
  std::uint32_t length = 0;
  std::memcpy(&length, data + size - 8, 4);
  ThriftValue want;
  if (length > size - 8 || Thrift_ReadStruct(data + size - 8 - length, length, &want) == 0) {
    return Fail("cannot decode the expected footer");
  }
  const auto topIgnored = [](std::int16_t id) { return id == file_meta::kRowGroups; };
  if (!Gen_SameThriftExcept(want, footer_, topIgnored)) return Fail(inFooter);
  const std::vector<ThriftValue>* wantGroups = Gen_ThriftList(want, file_meta::kRowGroups);
  const std::vector<ThriftValue>* gotGroups = Gen_ThriftList(footer_, file_meta::kRowGroups);
  if (wantGroups == nullptr || gotGroups == nullptr || wantGroups->size() != gotGroups->size()) {
    return Fail(inFooter + " (row groups)");
  }
  for (std::size_t g = 0; g < wantGroups->size(); ++g) {
    if (!SameGroupMeta(g, (*wantGroups)[g], (*gotGroups)[g])) {
      return Fail(inFooter + " (row group " + Util_Decimal(g + 1) + ")");
    }
  }
  (void)file_meta::kSchema;
  const std::uint64_t tailStart = taken_ - size;
  for (std::size_t g = 0; g < wantGroups->size(); ++g) {
    const std::vector<ThriftValue>* wantChunks =
        Gen_ThriftList((*wantGroups)[g], row_group::kColumns);
    const std::vector<ThriftValue>* gotChunks =
        Gen_ThriftList((*gotGroups)[g], row_group::kColumns);
    for (std::size_t c = 0; c < wantChunks->size(); ++c) {
      if (!SameIndexes(g, data, tailStart, size, (*wantChunks)[c], (*gotChunks)[c])) {
        return Fail("differs in the page index (" + GroupPlace(g, c) + ")");
      }
    }
  }
  return true;
}

// The index that `chunk` places at fields offsetId and lengthId, read from
// the file and decoded; false when it lies outside the file's row groups
// and indexes or does not decode.
bool ParquetCheck::ReadIndex(const ThriftValue& chunk, std::int16_t offsetId, std::int16_t lengthId,
                             std::string* bytes, ThriftValue* index) {
  constexpr std::int64_t kMostIndexBytes = std::int64_t{64} << 20;
  const std::int64_t offset = chunk.Number(offsetId, -1);
  const std::int64_t length = chunk.Number(lengthId, -1);
  if (offset < static_cast<std::int64_t>(kParquetMagicSize) || length <= 0 ||
      length > kMostIndexBytes ||
      static_cast<std::uint64_t>(length) >
          footerStart_ -
              std::min<std::uint64_t>(footerStart_, static_cast<std::uint64_t>(offset))) {
    return false;
  }
  bytes->resize(static_cast<std::size_t>(length));
  if (!Gen_ReadAt(fd_, static_cast<std::uint64_t>(offset), bytes->size(), bytes->data()).ok()) {
    return false;
  }
  return Thrift_ReadStruct(bytes->data(), bytes->size(), index) != 0;
}

// A chunk's page indexes: the ColumnIndex the writer's, the OffsetIndex the
// writer's with each page where the file has it (for a row group found by
// its content, where its pages were found).
bool ParquetCheck::SameIndexes(std::size_t g, const char* tail, std::uint64_t tailStart,
                               std::size_t tailSize, const ThriftValue& want,
                               const ThriftValue& got) {
  const auto wanted = [&](std::int16_t offsetId, std::int16_t lengthId, ThriftValue* index) {
    const std::int64_t offset = want.Number(offsetId, -1);
    const std::int64_t length = want.Number(lengthId, -1);
    const std::int64_t from = offset - static_cast<std::int64_t>(tailStart);
    return from >= 0 && length > 0 && static_cast<std::uint64_t>(from + length) <= tailSize &&
           Thrift_ReadStruct(tail + from, static_cast<std::size_t>(length), index) != 0;
  };
  std::string bytes;
  if (want.Field(column_chunk::kColumnIndexOffset) != nullptr) {
    ThriftValue a, b;
    if (!wanted(column_chunk::kColumnIndexOffset, column_chunk::kColumnIndexLength, &a) ||
        !ReadIndex(got, column_chunk::kColumnIndexOffset, column_chunk::kColumnIndexLength, &bytes,
                   &b) ||
        !Gen_SameThrift(a, b)) {
      return false;
    }
  }
  if (want.Field(column_chunk::kOffsetIndexOffset) == nullptr) return true;
  ThriftValue a, b;
  if (!wanted(column_chunk::kOffsetIndexOffset, column_chunk::kOffsetIndexLength, &a) ||
      !ReadIndex(got, column_chunk::kOffsetIndexOffset, column_chunk::kOffsetIndexLength, &bytes,
                 &b)) {
    return false;
  }
  constexpr std::int16_t kLocations = 1, kOffset = 1, kSize = 2;
  const std::vector<ThriftValue>* wantPages = Gen_ThriftList(a, kLocations);
  const std::vector<ThriftValue>* gotPages = Gen_ThriftList(b, kLocations);
  if (wantPages == nullptr || gotPages == nullptr || wantPages->size() != gotPages->size() ||
      !Gen_SameThriftExcept(a, b, [](std::int16_t id) { return id == kLocations; })) {
    return false;
  }
  const bool moved = g < layouts_.size() && layouts_[g].byContent;
  std::size_t c = 0;  // the chunk's column, to find its pages found
  if (moved) {
    const std::vector<ThriftValue>* chunks =
        Gen_ThriftList((*Gen_ThriftList(footer_, file_meta::kRowGroups))[g], row_group::kColumns);
    while (c < chunks->size() && &(*chunks)[c] != &got) ++c;
    if (c >= layouts_[g].chunks.size() ||
        layouts_[g].chunks[c].dataPages.size() != gotPages->size()) {
      return false;
    }
  }
  for (std::size_t i = 0; i < wantPages->size(); ++i) {
    const ThriftValue& p = (*wantPages)[i];
    const ThriftValue& q = (*gotPages)[i];
    if (!moved) {
      if (!Gen_SameThrift(p, q)) return false;
      continue;
    }
    const ChunkLayout::Page& found = layouts_[g].chunks[c].dataPages[i];
    if (!Gen_SameThriftExcept(p, q, [](std::int16_t id) { return id == kOffset || id == kSize; }) ||
        q.Number(kOffset, -1) != static_cast<std::int64_t>(found.offset) ||
        q.Number(kSize, -1) != found.size) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::unique_ptr<GenFileCheck> Gen_NewParquetFileCheck(int fd, GenRows rows) {
  return std::make_unique<ParquetCheck>(fd, rows);
}

}  // namespace zervgen
