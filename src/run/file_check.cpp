// file_check.cpp: the check of one existing file. A FileCheck takes
// the bytes the writer makes for a file in place of the file, compares them
// with as many of the file's and, at the first difference, stops the writer
// and words where it is. A regular file the check opened is compared where
// it lies in the page cache, through a window mapped a few MiB at a time,
// with no copy; anything out of the ordinary there (a difference, a file
// shorter than when the check began, a window that cannot be mapped, a bus
// error of a file cut short under the mapping) sends the check back to
// reading from the start of the bytes being compared, and reading words
// every outcome. Standard input is read, in blocks of its own (but for a
// Parquet file there that is a regular file, checked as a named one). The
// memory of a check is that of a run and one block or window more.
#include "run/file_check.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "base/except.h"
#include "base/util.h"
#include "run/format.h"
#include "run/verify_map.h"
#include "run/writer.h"

namespace zervgen {
namespace {

// Bytes read from the file at a time.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// Bytes of a file mapped at a time; a multiple of the page size.
constexpr std::size_t kWindowBytes = std::size_t{4} << 20;
// Most bytes of a row shown in a message, and how many of them come before
// the difference when the row is cut.
constexpr std::size_t kShownBytes = 72;
constexpr std::size_t kShownBefore = 24;

// Reads up to `n` bytes, fewer only where the file ends or a read fails
// (*error then holds its errno).
std::size_t ReadUpTo(int fd, char* buf, std::size_t n, int* error) {
  std::size_t got = 0;
  *error = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *error = errno;
      break;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

// The index of the first byte where `a` and `b` differ, or n.
std::size_t FirstDifference(const char* a, const char* b, std::size_t n) {
  if (std::memcmp(a, b, n) == 0) return n;
  std::size_t i = 0;
  while (a[i] == b[i]) ++i;
  return i;
}

// The bytes up to and with the first line end, at most `most` of them.
std::size_t LineLength(const char* p, std::size_t n, std::size_t most) {
  const void* end = std::memchr(p, '\n', std::min(n, most));
  return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - p) + 1
                        : std::min(n, most);
}

std::string Quoted(const std::string& bytes, bool cutBefore, bool cutAfter) {
  // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on a chain of
  // string additions that starts from a literal.
  std::string quoted(1, '"');
  if (cutBefore) quoted.append("...");
  quoted.append(Util_Escaped(bytes.data(), bytes.size()));
  if (cutAfter) quoted.append("...");
  quoted.push_back('"');
  return quoted;
}

// The check of one file.
class FileCheck : public GenFileCheck {
 public:
  // `mappable`: the file may be compared through a mapping (it is not
  // standard input).
  FileCheck(int fd, bool mappable, bool parquet, GenRows rows, TextDecompressor* text);
  ~FileCheck() override { Unmap(); }
  FileCheck(const FileCheck&) = delete;
  FileCheck& operator=(const FileCheck&) = delete;

  bool Take(const char* data, std::size_t size, std::int32_t firstRow,
            const GenFormatChunk* chunk) override;
  std::uint64_t offset() const override { return offset_; }

  void Finish() override;
  const std::string& failure() const override { return failure_; }
  bool unreadable() const override { return unreadable_; }
  std::uint64_t failureOffset() const override { return failureOffset_; }

 private:
  // Whether the `size` bytes at `data` are the file's next bytes, all of
  // them within its mapped size; false when they may not be.
  bool SameInMapping(const char* data, std::size_t size);
  bool MapWindowAt(std::uint64_t at);
  void Unmap();
  // Ends the mapped comparison: the file is read from offset_ on.
  void StopMapping();
  bool TakeRead(const char* data, std::size_t size, std::int32_t firstRow,
                const GenFormatChunk* chunk);
  // Where byte `at` of the bytes taken (data of `chunk`, or framing) lies,
  // for Parquet messages.
  std::string ParquetPlace(const GenFormatChunk* chunk, std::size_t at) const;
  void Differs(const char* data, std::size_t size, std::size_t at, std::int32_t firstRow,
               const GenFormatChunk* chunk, const char* found, std::size_t foundBytes);
  void Truncated(const char* data, std::size_t at, std::int32_t firstRow,
                 const GenFormatChunk* chunk);
  // The file's bytes from `found` on (foundBytes of them in the block) up
  // to a line end, reading on past the block when the line goes on.
  std::string FoundLine(const char* found, std::size_t foundBytes, std::size_t most);

  // The file's next bytes: read from it, or its decompressed text.
  std::size_t Read(char* buf, std::size_t n, int* error) {
    return text_ != nullptr ? text_->Read(buf, n, error) : ReadUpTo(fd_, buf, n, error);
  }
  // The failure of a read that stopped at `offset` with `error`; compressed
  // text is told by the text of the frames before the one that failed.
  std::string ReadFailure(std::uint64_t offset, int error) const {
    if (text_ != nullptr) {
      return "cannot be decompressed after byte offset " + Util_Decimal(text_->settledTextBytes()) +
             " of its text: " + text_->failure().what();
    }
    return "read error at byte offset " + Util_Decimal(offset) + ": " + std::strerror(error);
  }
  // After text found other than expected: a frame that does not decode to
  // its end and checksum makes the file unreadable rather than different,
  // however much of its text came out before the damage was found.
  void SettleText() {
    if (text_ == nullptr || text_->SettleFrame()) return;
    failure_ = ReadFailure(0, EIO);
    unreadable_ = true;
  }

  int fd_;
  TextDecompressor* text_;
  bool parquet_;
  GenRows rows_;
  std::unique_ptr<char[]> block_;
  std::uint64_t offset_ = 0;  // bytes taken and matched so far
  std::int32_t rowGroups_ = 0;
  std::string failure_;
  bool unreadable_ = false;
  std::uint64_t failureOffset_ = UINT64_MAX;
  std::optional<GenBusErrorGuard> busGuard_;  // while the file is mapped
  // The file's size when the check began, 0 when it is read rather than
  // mapped; and the window of it mapped now (none: null).
  std::uint64_t mapSize_ = 0;
  char* window_ = nullptr;
  std::uint64_t windowFrom_ = 0;
  std::size_t windowBytes_ = 0;
};

FileCheck::FileCheck(int fd, bool mappable, bool parquet, GenRows rows, TextDecompressor* text)
    : fd_(fd), text_(text), parquet_(parquet), rows_(rows), block_(new char[kBlockBytes]) {
  struct stat st {};
  if (!mappable || text != nullptr || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size <= 0)
    return;
  busGuard_.emplace();
  if (busGuard_->ready()) mapSize_ = static_cast<std::uint64_t>(st.st_size);
}

bool FileCheck::MapWindowAt(std::uint64_t at) {
  if (window_ != nullptr && at - windowFrom_ < windowBytes_) return true;
  Unmap();
  const std::uint64_t from = at - at % kWindowBytes;
  const auto bytes =
      static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, mapSize_ - from));
  void* const p = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(from));
  if (p == MAP_FAILED) return false;
  window_ = static_cast<char*>(p);
  windowFrom_ = from;
  windowBytes_ = bytes;
  return true;
}

void FileCheck::Unmap() {
  if (window_ != nullptr) (void)::munmap(window_, windowBytes_);
  window_ = nullptr;
}

bool FileCheck::SameInMapping(const char* data, std::size_t size) {
  if (size > mapSize_ - offset_) return false;
  std::size_t done = 0;
  while (done < size) {
    const std::uint64_t at = offset_ + done;
    if (!MapWindowAt(at)) return false;
    const std::uint64_t inWindow = windowFrom_ + windowBytes_ - at;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, inWindow));
    const char* const mapped = window_ + (at - windowFrom_);
    if (!Gen_SameMapped(window_, window_ + windowBytes_, mapped, data + done, n)) return false;
    done += n;
  }
  return true;
}

void FileCheck::StopMapping() {
  Unmap();
  mapSize_ = 0;
  if (::lseek(fd_, static_cast<off_t>(offset_), SEEK_SET) < 0) {
    failure_ = "read error at byte offset " + Util_Decimal(offset_) + ": " + std::strerror(errno);
  }
}

bool FileCheck::Take(const char* data, std::size_t size, std::int32_t firstRow,
                     const GenFormatChunk* chunk) {
  if (mapSize_ != 0) {
    if (SameInMapping(data, size)) {
      offset_ += size;
      if (chunk != nullptr) ++rowGroups_;
      return true;
    }
    // Reading tells what is wrong, as it would have from the start.
    StopMapping();
    if (!failure_.empty()) return false;
  }
  return TakeRead(data, size, firstRow, chunk);
}

bool FileCheck::TakeRead(const char* data, std::size_t size, std::int32_t firstRow,
                         const GenFormatChunk* chunk) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t want = std::min(kBlockBytes, size - done);
    int error = 0;
    const std::size_t got = Read(block_.get(), want, &error);
    const std::size_t same = FirstDifference(block_.get(), data + done, got);
    if (same < got) {
      Differs(data, size, done + same, firstRow, chunk, block_.get() + same, got - same);
      SettleText();
      return false;
    }
    if (error != 0) {
      failure_ = ReadFailure(offset_ + done + got, error);
      unreadable_ = true;
      return false;
    }
    if (got < want) {
      Truncated(data, done + got, firstRow, chunk);
      return false;
    }
    done += got;
  }
  offset_ += size;
  if (chunk != nullptr) ++rowGroups_;
  return true;
}

std::string FileCheck::ParquetPlace(const GenFormatChunk* chunk, std::size_t at) const {
  if (chunk == nullptr) return offset_ == 0 && rowGroups_ == 0 ? "in the header" : "in the footer";
  std::string place = "row group " + Util_Decimal(static_cast<std::uint64_t>(rowGroups_) + 1);
  const char* column = chunk->ColumnAt(at);
  if (column != nullptr) place += std::string(", column \"") + column + "\"";
  return place;
}

std::string FileCheck::FoundLine(const char* found, std::size_t foundBytes, std::size_t most) {
  std::string line(found, LineLength(found, foundBytes, most));
  if (line.size() >= most || (!line.empty() && line.back() == '\n')) return line;
  // The block ended inside the line: read on a little.
  char more[kShownBytes + 1];
  int error = 0;
  const std::size_t got = Read(more, std::min(sizeof more, most - line.size()), &error);
  line.append(more, LineLength(more, got, most - line.size()));
  return line;
}

void FileCheck::Differs(const char* data, std::size_t size, std::size_t at, std::int32_t firstRow,
                        const GenFormatChunk* chunk, const char* found, std::size_t foundBytes) {
  failureOffset_ = offset_ + at;
  const std::string where = "byte offset " + Util_Decimal(offset_ + at);
  if (parquet_) {
    failure_ = "differs at " + where + " (" + ParquetPlace(chunk, at) + ")";
    return;
  }
  // Text rows: the row's start, and a window of it that shows the difference.
  const std::int32_t row = firstRow + (chunk != nullptr ? chunk->RowsWithin(at) : 0) + 1;
  const void* lineEnd = at > 0 ? ::memrchr(data, '\n', at) : nullptr;
  const std::size_t rowStart =
      lineEnd != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineEnd) - data) + 1
                         : 0;
  const std::size_t from =
      at - rowStart > kShownBytes - kShownBefore ? at - kShownBefore : rowStart;
  const std::size_t before = at - from;
  const std::size_t expectedBytes = LineLength(data + from, size - from, kShownBytes + 1);
  const std::string foundTail = FoundLine(found, foundBytes, kShownBytes + 1 - before);
  const std::string expected(data + from, std::min(expectedBytes, kShownBytes));
  const std::string foundRow = std::string(data + from, before) + foundTail;
  failure_ =
      "row " + Util_Decimal(static_cast<std::uint64_t>(row)) + " differs at " + where +
      ": expected " + Quoted(expected, from > rowStart, expectedBytes > kShownBytes) + ", found " +
      Quoted(foundRow.substr(0, kShownBytes), from > rowStart, foundRow.size() > kShownBytes);
}

void FileCheck::Truncated(const char* data, std::size_t at, std::int32_t firstRow,
                          const GenFormatChunk* chunk) {
  const std::uint64_t end = offset_ + at;
  failureOffset_ = end;
  const std::string ends =
      end == 0 ? "the file is empty" : "the file ends at byte offset " + Util_Decimal(end);
  if (parquet_) {
    failure_ = "truncated (" + ends + (end == 0 ? "" : ", " + ParquetPlace(chunk, at)) + ")";
    return;
  }
  const std::int32_t complete = firstRow + (chunk != nullptr ? chunk->RowsWithin(at) : 0);
  const bool insideRow = at > 0 && data[at - 1] != '\n';
  if (complete == rows_.first) {
    failure_ = "truncated before row " + Util_Decimal(static_cast<std::uint64_t>(complete) + 1);
  } else {
    failure_ = "truncated after row " + Util_Decimal(static_cast<std::uint64_t>(complete));
  }
  failure_ += " (" + ends;
  if (insideRow)
    failure_ += ", inside row " + Util_Decimal(static_cast<std::uint64_t>(complete) + 1);
  failure_ += ")";
}

void FileCheck::Finish() {
  if (mapSize_ != 0) StopMapping();
  if (!failure_.empty()) return;
  char extra[kShownBytes + 1];
  int error = 0;
  const std::size_t got = Read(extra, sizeof extra, &error);
  if (got == 0 && error != 0) {
    failure_ = ReadFailure(offset_, error);
    unreadable_ = true;
    return;
  }
  if (got == 0) return;
  SettleText();
  if (!failure_.empty()) return;
  failureOffset_ = offset_;
  const std::string where = "byte offset " + Util_Decimal(offset_);
  if (parquet_) {
    failure_ = "longer than expected: bytes after the footer from " + where;
    return;
  }
  const std::size_t shown = LineLength(extra, got, kShownBytes);
  const std::string text =
      Quoted(std::string(extra, shown), false, extra[shown - 1] != '\n' && shown < got);
  if (rows_.count == 0) {
    failure_ = "longer than expected: the file should be empty, found " + text;
    return;
  }
  const auto last =
      static_cast<std::uint64_t>(rows_.first) + static_cast<std::uint64_t>(rows_.count);
  failure_ = "longer than expected: bytes after row " + Util_Decimal(last) + " from " + where +
             ", found " + text;
}

}  // namespace

std::unique_ptr<GenFileCheck> Gen_NewFileCheck(int fd, bool mappable, bool parquet, GenRows rows,
                                               TextDecompressor* text) {
  return std::make_unique<FileCheck>(fd, mappable, parquet, rows, text);
}

}  // namespace zervgen
