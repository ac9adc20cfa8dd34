// app/compress_option.cpp: -compress on the command line.
#include "app/compress_option.h"

#include <cstdio>
#include <cstring>

#include "base/except.h"
#include "base/progname.h"
#include "base/util.h"

namespace zervgen {

Status Main_readCompress(const char* value, TextCompression* out) {
  CHECK_REQUIRE_TEXT(value != nullptr, "value != NULL");
  CHECK_REQUIRE_TEXT(out != nullptr, "out != NULL");
  const Status read = Compress_Parse(value, out);
  if (read.ok()) return read;
  std::string message;
  switch (read.code()) {
    case StatusCode::kOutOfRange:
      Util_Appendf(&message,
                   "%s: Option, \"-compress\", takes a zstd level from 1 to %d and a gzip level "
                   "from 1 to %d, not '%s'.\n",
                   programName, kZstdMaxLevel, kGzipMaxLevel, value);
      break;
    default:
      Util_Appendf(&message,
                   "%s: Option, \"-compress\", must be zstd or gzip, with a level as zstd:N or "
                   "gzip:N, not '%s'.\n",
                   programName, value);
      break;
  }
  return Status::InvalidArgument(message);
}

Status Main_compressNotBuilt(TextCodec codec) {
  if (Compress_BuiltIn(codec)) return Status::Ok();
  std::string message;
  const char* package = Compress_Package(codec);
  Util_Appendf(&message,
               "%s: Option, \"-compress\", cannot be '%s': this zervgen was built without it (%s); "
               "build it with %s installed.\n",
               programName, Compress_Name(codec), package, package);
  return Status::InvalidArgument(message);
}

void Main_addCompressSuffix(TextCodec codec, char* fileName, std::size_t size) {
  CHECK_REQUIRE_TEXT(fileName != nullptr, "fileName != NULL");
  const char* suffix = Compress_Suffix(codec);
  const std::size_t n = std::strlen(fileName);
  const std::size_t k = std::strlen(suffix);
  if (k == 0 || std::strcmp(fileName, "-") == 0) return;
  if (n > k && std::strcmp(fileName + n - k, suffix) == 0) return;
  std::snprintf(fileName + n, size - n, "%s", suffix);
}

}  // namespace zervgen
