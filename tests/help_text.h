// help_text.h: the closing parts of zervgen's help text as the end-to-end
// tests expect them: the delimiters refused, the codecs of the build, the
// compressed text, and the Parquet options for query engines.
#ifndef ZERVGEN_TESTS_HELP_TEXT_H_
#define ZERVGEN_TESTS_HELP_TEXT_H_

#include <string>

#include "e2e_util.h"

namespace zervgen_test {

// The closing lines of the help text: the printable delimiters refused.
inline std::string DelimiterHelp() {
  std::string refused;
  for (char c = '!'; c <= '~'; ++c) {
    if (!DelimiterRefusal(c).empty()) refused += c;
  }
  return "\nDelimiters:\n"
         "        -dc refuses a delimiter that can occur in a field: a line end, a\n"
         "        character beyond ASCII, a blank, and each of\n"
         "        " +
         refused + "\n";
}

// The last lines of the help text: the Parquet options for engines, and
// what -verify proves for Parquet.
inline const std::string kParquetEngineHelp =
    "\n"
    "Parquet options for query engines (each needs -parquet):\n"
    "        -codec zstd:N  Compresses with zstd at level N, 1 to 22 (zstd alone\n"
    "                    is level 3).\n"
    "        -pagesize B Makes data pages of about B bytes of values before\n"
    "                    compression, 1024 to 67108864 (default 1048576).\n"
    "        -pageindex  Writes a column index and an offset index for every\n"
    "                    column chunk, before the footer, so that readers can\n"
    "                    skip pages by their minimum and maximum.\n"
    "        -bloom COLUMNS  Writes a bloom filter of each column of COLUMNS\n"
    "                    (names as -describe lists them, split by commas) for\n"
    "                    every row group, after its column chunks, so that\n"
    "                    readers can skip the row groups that cannot hold a\n"
    "                    value; about 1 in 100 absent values passes.\n"
    "With -verify, a Parquet file is compared by what a reader decodes from it:\n"
    "its metadata apart from sizes and offsets, every page's header and values,\n"
    "and its bloom filters, so pages compressed by another codec library\n"
    "version or level verify OK.\n";

// The very last lines: writing to object storage.
inline const std::string kObjectStorageHelp =
    std::string("\n") +
    "Object storage:\n"
    "        -f s3://BUCKET/PREFIX writes each file as an object of an S3\n"
    "                    bucket, named as the file would be (PREFIX.hun,\n"
    "                    PREFIX.hun.3.zst, PREFIX.hun.parquet); -manifest\n"
    "                    s3://BUCKET/NAME writes the manifest so.  The\n"
    "                    credentials, region and endpoint are those of\n"
    "                    AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,\n"
    "                    AWS_SESSION_TOKEN, AWS_REGION and AWS_ENDPOINT_URL (a\n"
    "                    local server's URL, whose objects are named\n"
    "                    URL/BUCKET/KEY).  An object appears only when it is\n"
    "                    complete, and an existing one is refused before\n"
    "                    anything is generated.  With -verify, the objects are\n"
    "                    read and compared.\n" +
    (ZERVGEN_HAVE_CURL != 0 ? ""
                            : "                    This build was built without: "
                              "libcurl4-openssl-dev.\n") +
    "        -remove-object NAME=ETAG removes the run's object NAME (as\n"
    "                    -describe names it) when its ETag is ETAG (as -verify\n"
    "                    -json tells it), and does nothing else; repeatable,\n"
    "                    all or none: when one object's ETag is another, none is\n"
    "                    removed.  A file, or a name the run does not write, is\n"
    "                    refused.\n"
    "        -head tells each object of the run as a JSON line with its size and\n"
    "                    ETag (a HEAD; no byte is read), and does nothing else.\n";

// The codecs of the binary under test, as the build found their libraries.
constexpr bool kHaveSnappy = ZERVGEN_HAVE_SNAPPY != 0;
constexpr bool kHaveZstd = ZERVGEN_HAVE_ZSTD != 0;
constexpr bool kHaveGzip = ZERVGEN_HAVE_DEFLATE != 0;

// The help lines under -codec: the codecs this build has, and the libraries
// it was built without.
inline std::string CodecsHelp() {
  const std::string indent(20, ' ');
  std::string has = std::string(kHaveSnappy ? "snappy " : "") + (kHaveZstd ? "zstd " : "") + "none";
  std::string text = indent + "This build has: " + has + ".\n";
  if (!kHaveSnappy || !kHaveZstd) {
    text += indent + "It was built without:" + (kHaveSnappy ? "" : " libsnappy-dev") +
            (kHaveZstd ? "" : " libzstd-dev") + ".\n";
  }
  return text;
}

// The closing lines of the help text: -compress, and the codec libraries
// this build lacks.
inline std::string CompressHelp() {
  const bool deflate = ZERVGEN_HAVE_DEFLATE != 0;
  std::string text =
      "\nCompressed text:\n"
      "        -compress C Compresses each text file with C: zstd or gzip, at a\n"
      "                    level given as zstd:N (1 to 19, default 1) or gzip:N\n"
      "                    (1 to 9, default 1).  Files take the suffix \".zst\" or\n"
      "                    \".gz\" after their whole name (zerv.hun.zst, parts\n"
      "                    zerv.hun.K.zst; -f NAME writes NAME.zst unless NAME ends\n"
      "                    so); -f - writes the compressed bytes.  Each run of\n"
      "                    4096 or 8192 rows, counted from a table's first row, is\n"
      "                    one zstd frame or gzip member, so the bytes are the same\n"
      "                    for any -threads, and the parts decompressed in order\n"
      "                    are the text of the whole table.  With -verify, the text\n"
      "                    of each file is compared.  Not with -parquet.\n";
  if (!kHaveZstd || !deflate) {
    text += std::string(20, ' ') +
            "This build was built without:" + (kHaveZstd ? "" : " libzstd-dev") +
            (deflate ? "" : " libdeflate-dev") + ".\n";
  }
  return text;
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_HELP_TEXT_H_
