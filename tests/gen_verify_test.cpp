// Tests of the check of one file: how it shows the bytes of a row in its
// lines, and that a file compared through a mapping is told exactly as one
// read, also when it is cut short, changed or grown while it is checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "run/format.h"
#include "run/verify.h"
#include "test_util.h"

namespace zervgen {
namespace {

TEST(GenVerify, EscapedShowsEveryByteAsPrintableText) {
  struct Case {
    std::string bytes;
    const char* shown;
  };
  const Case cases[] = {
      {"", ""},
      {"12,abc XYZ~!", "12,abc XYZ~!"},
      {"a\tb\r\n", "a\\tb\\r\\n"},
      {"say \"hi\" \\ there", "say \\\"hi\\\" \\\\ there"},
      {std::string("\x00\x01\x1f\x7f", 4), "\\x00\\x01\\x1F\\x7F"},
      {"\xc3\xa9\xff", "\\xC3\\xA9\\xFF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Util_Escaped(c.bytes.data(), c.bytes.size()), c.shown);
  }
}

// Text rows of 128 bytes, 32 to a page: row i (from 0) is its number in
// eight digits, a comma, 118 'a's and a line end.
constexpr std::size_t kRowBytes = 128;
constexpr std::int32_t kRows = 65536;  // 8 MiB: two mapped windows
constexpr std::int32_t kPieceRows = 4096;

std::string Rows() {
  std::string text;
  text.reserve(kRowBytes * kRows);
  for (std::int32_t i = 0; i < kRows; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%08d,", static_cast<int>(i));
    text.append(number).append(kRowBytes - 10, 'a').push_back('\n');
  }
  return text;
}

// Bytes of text rows as the writer hands them over.
class RowsChunk : public GenFormatChunk {
 public:
  RowsChunk(const char* data, std::size_t size) : data_(data), size_(size) {}
  std::int32_t Format(const GenChunkView&) override { return 0; }
  const char* data() const override { return data_; }
  std::size_t size() const override { return size_; }
  std::int32_t RowsWithin(std::size_t bytes) const override {
    return static_cast<std::int32_t>(std::count(data_, data_ + bytes, '\n'));
  }

 private:
  const char* data_;
  std::size_t size_;
};

// Checks `path` against `expected` piece by piece; `between` runs after the
// first piece was taken (when the file is mapped already). Returns the
// failure, "" when the file verified.
std::string CheckFile(const std::string& path, const std::string& expected, bool mappable,
                      const std::function<void()>& between) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  const GenRows rows{kRows, 0, kRows};
  std::unique_ptr<GenFileCheck> check = Gen_NewFileCheck(fd, mappable, false, rows);
  bool all = true;
  for (std::int32_t first = 0; all && first < kRows; first += kPieceRows) {
    const RowsChunk chunk(expected.data() + first * kRowBytes, kPieceRows * kRowBytes);
    all = check->Take(chunk.data(), chunk.size(), first, &chunk);
    if (first == 0) between();
  }
  if (all) check->Finish();
  const std::string failure = check->failure();
  check.reset();
  ::close(fd);
  return failure;
}

void Overwrite(const std::string& path, long long offset, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

TEST(GenVerify, FileChangedWhileCheckedIsToldAsWhenRead) {
  const std::string kRowsText = Rows();
  const std::string kA24(24, 'a');
  const std::string kA63(63, 'a');
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;  // of the file, after the first piece
    const char* failure;
  };
  auto cut = [](long long size) {
    return [size](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), size), 0); };
  };
  auto put = [](long long offset, std::string bytes) {
    return [offset, bytes](const std::string& path) { Overwrite(path, offset, bytes); };
  };
  const std::string lastRow = "row 65536 differs at byte offset 8388607: expected \"..." + kA24 +
                              "\\n\", found \"..." + kA24 + "x\"";
  const std::string atWindow = "row 32769 differs at byte offset 4194304: expected \"00032768," +
                               kA63 + "...\", found \"x0032768," + kA63 + "...\"";
  const std::string beforeWindow = "row 32768 differs at byte offset 4194303: expected \"..." +
                                   kA24 + "\\n\", found \"..." + kA24 + "x00032768," +
                                   std::string(38, 'a') + "...\"";
  const std::string atPiece = "row 8193 differs at byte offset 1048576: expected \"00008192," +
                              kA63 + "...\", found \"x0008192," + kA63 + "...\"";
  const Case cases[] = {
      {"untouched", [](const std::string&) {}, ""},
      {"cut at a page edge under the mapping", cut(1048576),
       "truncated after row 8192 (the file ends at byte offset 1048576)"},
      {"cut inside a page", cut(1049576),
       "truncated after row 8199 (the file ends at byte offset 1049576, inside row 8200)"},
      {"cut in the second window", cut(5242880),
       "truncated after row 40960 (the file ends at byte offset 5242880)"},
      {"cut to nothing past what was taken", cut(0),
       "truncated after row 4096 (the file ends at byte offset 524288)"},
      {"its last byte changed", put(8388607, "x"), lastRow.c_str()},
      {"the first byte of the second window changed", put(4194304, "x"), atWindow.c_str()},
      {"the last byte of the first window changed", put(4194303, "x"), beforeWindow.c_str()},
      {"the first byte of a piece changed", put(1048576, "x"), atPiece.c_str()},
      {"grown", put(8388608, "zz"),
       "longer than expected: bytes after row 65536 from byte offset 8388608, found \"zz\""},
  };
  zervgen_test::ScratchDir dir;
  const std::string path = dir.File("rows.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool mappable : {true, false}) {
      SCOPED_TRACE(mappable ? "mapped" : "read");
      zervgen_test::WriteText(path, kRowsText);
      EXPECT_EQ(CheckFile(path, kRowsText, mappable, [&] { c.change(path); }), c.failure);
    }
  }
}

}  // namespace
}  // namespace zervgen
