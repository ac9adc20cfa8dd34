// app/main_options.h: the run's option settings, as the parser completes
// them from the command line, and the bounds the parser holds them to.
#ifndef ZERVGEN_SRC_APP_MAIN_OPTIONS_H_
#define ZERVGEN_SRC_APP_MAIN_OPTIONS_H_

#include <cstdint>

#include "base/signals.h"
#include "output/compress.h"
#include "parquet/format.h"
#include "run/catalog.h"

namespace zervgen {

// Longest file or directory name the command line accepts.
inline constexpr int kMaxNameChars = 513;
// The ending of Parquet files, the longest a run gives its files (a text
// codec's, ".zst" or ".gz", is shorter).
inline constexpr char kParquetEnding[] = ".parquet";
// The longest relation file name a run composes: a name of kMaxNameChars,
// ".", the longest relation suffix and the longest ending.
inline constexpr int kLongestFileName = kMaxNameChars + 1 + static_cast<int>(Gen_LongestSuffix()) +
                                        static_cast<int>(sizeof kParquetEnding - 1);
// Room for every name the command line gives or the run composes, with its
// NUL.
inline constexpr int kNameSize = 528;
static_assert(kLongestFileName + 1 <= kNameSize, "a composed relation file name fits");
// A part file's name (with its NUL) must fit this many characters, and
// ".parquet" more for Parquet parts.
inline constexpr int kPartNameLimit = 520;
// Every name the run may make is recorded whole for the signal handler.
static_assert(kNameSize - 1 <= static_cast<int>(kRecordNameChars));
static_assert(kPartNameLimit - 1 + 8 <= static_cast<int>(kRecordNameChars));  // ".parquet"
inline constexpr std::int32_t kMaxScale = 10000;
// Bounds of -parts and -threads.
inline constexpr std::int32_t kMaxParts = 1000;
inline constexpr std::int32_t kMaxThreads = 1024;

// What the relation files are.
enum class MainFileFormat : std::uint8_t { kText, kParquet };

// Option settings, as the parser completes them from the command line; the
// driver hands them down to what reads them.
struct MainOptions {
  // Per relation, in run order (kGenRelations): whether it is generated,
  // and the file it goes to.
  int selected[kGenRelationCount];
  char relationFile[kGenRelationCount][kNameSize];
  std::int32_t nRows;
  std::int16_t nChars;
  char delimChar;
  int fixedFormat;
  char reportFile[kNameSize];
  char tmpDir[kNameSize];
  std::int32_t nParts;           // -parts: relations split into this many part files; 0: not split
  std::int32_t part;             // -part: the one part written; 0: all parts
  std::int32_t nThreads;         // -threads; 0: every core the process may run on
  MainFileFormat format;         // -parquet: Parquet files instead of text
  ParquetCodec parquetCodec;     // -codec (snappy by default); with -parquet only
  std::int32_t rowGroupRows;     // -rowgroup: rows per row group
  TextCompression compress;      // -compress: compressed text files; codec kNone: plain
  std::int32_t zstdLevel;        // -codec zstd:N; 0: zstd's level of the writer
  std::int32_t pageBytes;        // -pagesize: bytes of a data page; 0: the writer's
  int pageIndex;                 // -pageindex: column and offset indexes in Parquet files
  char bloomColumns[kNameSize];  // -bloom: the columns named, by commas; "" for none
  int verify;                    // -verify: check the files instead of writing them
  int json;                      // -json: -verify's lines as JSON objects
  int describe;                  // -describe: print what the run is, do nothing
  int head;                      // -head: tell each object's size and ETag, do nothing else
  char manifestFile[kNameSize];  // -manifest: the run's record; "" for none
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_APP_MAIN_OPTIONS_H_
