// How the readers outside the generation path tell a failure: the -compress
// value's reader, the reads of a Parquet file at offsets, and the reader of
// compressed text, each by the kind of its status and the exact words the
// -verify lines carry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/status.h"
#include "base/util.h"
#include "output/compress.h"
#include "run/verify_read.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::ScratchDir;
using zervgen_test::WriteText;

TEST(FailureStatus, CompressValueKinds) {
  struct Case {
    const char* text;
    StatusCode code;
    TextCodec codec;  // when kOk
    int level;        // when kOk
  };
  const Case cases[] = {
      {"zstd", StatusCode::kOk, TextCodec::kZstd, kZstdDefaultLevel},
      {"gzip", StatusCode::kOk, TextCodec::kGzip, kGzipDefaultLevel},
      {"zstd:19", StatusCode::kOk, TextCodec::kZstd, 19},
      {"gzip:09", StatusCode::kOk, TextCodec::kGzip, 9},
      {"zstd:20", StatusCode::kOutOfRange, TextCodec::kNone, 0},
      {"gzip:10", StatusCode::kOutOfRange, TextCodec::kNone, 0},
      {"gzip:0", StatusCode::kOutOfRange, TextCodec::kNone, 0},
      {"zstd:", StatusCode::kOutOfRange, TextCodec::kNone, 0},
      {"zstd:100", StatusCode::kOutOfRange, TextCodec::kNone, 0},
      {"zstd:-1", StatusCode::kOutOfRange, TextCodec::kNone, 0},
      {"gzip:x", StatusCode::kOutOfRange, TextCodec::kNone, 0},
      {"", StatusCode::kInvalidArgument, TextCodec::kNone, 0},
      {"zst", StatusCode::kInvalidArgument, TextCodec::kNone, 0},
      {"zstdx:1", StatusCode::kInvalidArgument, TextCodec::kNone, 0},
      {"lz4:1", StatusCode::kInvalidArgument, TextCodec::kNone, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TextCompression out{TextCodec::kNone, -7};
    const Status read = Compress_Parse(c.text, &out);
    EXPECT_EQ(read.code(), c.code);
    if (read.ok()) {
      EXPECT_EQ(out.codec, c.codec);
      EXPECT_EQ(out.level, c.level);
    } else {
      EXPECT_EQ(out.level, -7);  // a refused value leaves the setting alone
    }
  }
}

TEST(FailureStatus, ReadAtTellsShortFilesAndReadErrors) {
  ScratchDir dir;
  const std::string path = dir.File("ten");
  WriteText(path, "0123456789");
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const UniqueFd folder(::open(dir.path(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file && folder);
  struct Case {
    int fd;
    std::uint64_t offset;
    std::size_t n;
    StatusCode code;
    std::string what;
  };
  const Case cases[] = {
      {file.get(), 2, 4, StatusCode::kOk, ""},
      {file.get(), 0, 10, StatusCode::kOk, ""},
      {file.get(), 8, 4, StatusCode::kCorrupt, "truncated (the file ends at byte offset 10)"},
      {file.get(), 12, 1, StatusCode::kCorrupt, "truncated (the file ends at byte offset 12)"},
      {folder.get(), 3, 1, StatusCode::kIoError,
       std::string("read error at byte offset 3: ") + std::strerror(EISDIR)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char out[16] = {};
    const Status read = Gen_ReadAt(c.fd, c.offset, c.n, out);
    EXPECT_EQ(read.code(), c.code);
    EXPECT_EQ(read.what(), c.what);
    if (read.ok()) {
      EXPECT_EQ(std::string(out, c.n), std::string("0123456789").substr(c.offset, c.n));
    }
  }
}

TEST(FailureStatus, DecompressorTellsDamageAndReadErrors) {
  ScratchDir dir;
  const std::string garbage = dir.File("garbage");
  WriteText(garbage, "these bytes are no compressed text at all\n");
  struct Case {
    TextCodec codec;
    bool folder;  // read a folder: the read fails
    StatusCode code;
    std::string whatStart;
  };
  const Case cases[] = {
      {TextCodec::kZstd, false, StatusCode::kCorrupt,
       "damaged zstd data in the frame at compressed byte offset 0: "},
      {TextCodec::kGzip, false, StatusCode::kCorrupt,
       "damaged or cut short gzip data in the member at compressed byte offset 0"},
      {TextCodec::kZstd, true, StatusCode::kIoError,
       std::string("read error at compressed byte offset 0: ") + std::strerror(EISDIR)},
      {TextCodec::kGzip, true, StatusCode::kIoError,
       std::string("read error at compressed byte offset 0: ") + std::strerror(EISDIR)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.whatStart);
    if (!Compress_BuiltIn(c.codec)) continue;
    const UniqueFd fd(::open(c.folder ? dir.path() : garbage.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    TextDecompressor text(c.codec, fd.get());
    char buf[256];
    int error = 0;
    EXPECT_EQ(text.Read(buf, sizeof buf, &error), 0u);
    EXPECT_NE(error, 0);
    EXPECT_EQ(text.failure().code(), c.code);
    EXPECT_EQ(text.failure().what().rfind(c.whatStart, 0), 0u) << text.failure().what();
  }
}

}  // namespace
}  // namespace zervgen
