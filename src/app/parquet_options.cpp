// app/parquet_options.cpp: the Parquet options of the command line.
#include "app/parquet_options.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/help.h"
#include "app/option_args.h"
#include "base/progname.h"
#include "parquet/chunk.h"
#include "parquet/codec.h"
#include "parquet/format.h"
#include "run/catalog.h"
#include "run/parquet_format.h"

namespace zervgen {
namespace {

void OptionParquet(MainOptions* settings) {
  if (settings->format == MainFileFormat::kParquet) {
    Main_fail(MSG_WAS_SPECIFIED, programName, "-parquet");
  }
  settings->format = MainFileFormat::kParquet;
}

// The N of "-codec zstd:N": digits only, within zstd's levels.
std::int32_t ParquetZstdLevel(const char* value) {
  const char* digits = value + 5;
  long level = 0;
  const char* p = digits;
  for (; *p >= '0' && *p <= '9' && level <= kParquetZstdMaxLevel; ++p)
    level = level * 10 + (*p - '0');
  if (p == digits || *p != '\0' || level < kParquetZstdMinLevel || level > kParquetZstdMaxLevel) {
    Main_fail("%s: Option, \"-codec\", zstd level must be from %d to %d, not '%s'.\n", programName,
              kParquetZstdMinLevel, kParquetZstdMaxLevel, value);
  }
  return static_cast<std::int32_t>(level);
}

void OptionPageSize(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) Main_fail(MSG_REQUIRES_ARGUMENT, programName, "-pagesize");
  if (settings->pageBytes != 0) Main_fail(MSG_WAS_SPECIFIED, programName, "-pagesize");
  const long long bytes = Main_readNumber("-pagesize", value);
  if (bytes < static_cast<long long>(kParquetMinPageBytes) ||
      bytes > static_cast<long long>(kParquetMaxPageBytes)) {
    Main_fail("%s: The Parquet page size must be from %ld to %ld bytes.\n", programName,
              static_cast<long>(kParquetMinPageBytes), static_cast<long>(kParquetMaxPageBytes));
  }
  settings->pageBytes = static_cast<std::int32_t>(bytes);
}

void OptionCodec(int argc, char** argv, int* cur, MainOptions* settings, MainParquetGiven* given) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) Main_fail(MSG_REQUIRES_ARGUMENT, programName, "-codec");
  if (given->codec != nullptr) Main_fail(MSG_WAS_SPECIFIED, programName, "-codec");
  ParquetCodec codec;
  if (std::strncmp(value, "zstd:", 5) == 0) {
    settings->zstdLevel = ParquetZstdLevel(value);
    given->codec = value;
    settings->parquetCodec = ParquetCodec::kZstd;
    return;
  }
  if (!Parquet_CodecFromName(value, &codec)) {
    Main_fail("%s: Option, \"-codec\", must be none, snappy or zstd, not '%s'.\n", programName,
              value);
  }
  given->codec = value;
  settings->parquetCodec = codec;
}

void OptionRowGroup(int argc, char** argv, int* cur, MainOptions* settings,
                    MainParquetGiven* given) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) Main_fail(MSG_REQUIRES_ARGUMENT, programName, "-rowgroup");
  if (given->rowGroup != 0) Main_fail(MSG_WAS_SPECIFIED, programName, "-rowgroup");
  const long long rows = Main_readNumber("-rowgroup", value);
  if (rows < kParquetMinRowGroup || rows > kParquetMaxRowGroup) {
    Main_fail("%s: The number of rows per row group must be from %ld to %ld.\n", programName,
              static_cast<long>(kParquetMinRowGroup), static_cast<long>(kParquetMaxRowGroup));
  }
  given->rowGroup = rows;
  settings->rowGroupRows = static_cast<std::int32_t>(rows);
}

void OptionPageIndex(MainOptions* settings) {
  if (settings->pageIndex) Main_fail(MSG_WAS_SPECIFIED, programName, "-pageindex");
  settings->pageIndex = 1;
}

// -bloom: a list of names, each given once; whether the relations have
// them is checked once they are known.
void OptionBloom(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) Main_fail(MSG_REQUIRES_ARGUMENT, programName, "-bloom");
  if (settings->bloomColumns[0] != '\0') Main_fail(MSG_WAS_SPECIFIED, programName, "-bloom");
  std::vector<std::string> names;
  for (const char* p = value;; ++p) {
    const char* end = std::strchr(p, ',');
    names.emplace_back(p, end != nullptr ? end : p + std::strlen(p));
    if (names.back().empty() || std::strlen(value) >= sizeof settings->bloomColumns) {
      Main_fail("%s: Option, \"-bloom\", must be a list of column names, not '%s'.\n", programName,
                value);
    }
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
      if (names[i] == names.back()) {
        Main_fail("%s: Option, \"-bloom\", cannot name '%s' twice.\n", programName,
                  names.back().c_str());
      }
    }
    if (end == nullptr) break;
    p = end;
  }
  std::snprintf(settings->bloomColumns, sizeof settings->bloomColumns, "%s", value);
}

}  // namespace

bool Main_parseParquetOption(int argc, char** argv, int* cur, MainOptions* settings,
                             MainParquetGiven* given) {
  const char* arg = argv[*cur];
  auto is = [arg](const char* option) { return std::strcmp(arg, option) == 0; };
  if (is("-parquet"))
    OptionParquet(settings);
  else if (is("-codec"))
    OptionCodec(argc, argv, cur, settings, given);
  else if (is("-rowgroup"))
    OptionRowGroup(argc, argv, cur, settings, given);
  else if (is("-pagesize"))
    OptionPageSize(argc, argv, cur, settings);
  else if (is("-pageindex"))
    OptionPageIndex(settings);
  else if (is("-bloom"))
    OptionBloom(argc, argv, cur, settings);
  else
    return false;
  return true;
}

void Main_completeParquet(const MainParquetGiven& given, bool compressGiven,
                          MainOptions* settings) {
  if (settings->format != MainFileFormat::kParquet) {
    if (given.codec != nullptr) {
      Main_fail("%s: Option, \"-codec\", requires \"-parquet\" to be specified.\n", programName);
    }
    if (given.rowGroup != 0) {
      Main_fail("%s: Option, \"-rowgroup\", requires \"-parquet\" to be specified.\n", programName);
    }
    if (settings->pageBytes != 0) {
      Main_fail("%s: Option, \"-pagesize\", requires \"-parquet\" to be specified.\n", programName);
    }
    if (settings->pageIndex) {
      Main_fail("%s: Option, \"-pageindex\", requires \"-parquet\" to be specified.\n",
                programName);
    }
    if (settings->bloomColumns[0] != '\0') {
      Main_fail("%s: Option, \"-bloom\", requires \"-parquet\" to be specified.\n", programName);
    }
    return;
  }
  if (compressGiven) {
    Main_fail(
        "%s: Only one of \"-parquet\" and \"-compress\" may be specified (\"-codec\" compresses "
        "Parquet pages).\n",
        programName);
  }
  if (settings->fixedFormat) {
    Main_fail("%s: Only one of \"-parquet\" and \"-ff\" may be specified.\n", programName);
  }
  if (settings->delimChar != '\0') {
    Main_fail("%s: Only one of \"-parquet\" and \"-dc\" may be specified.\n", programName);
  }
  if (given.codec == nullptr) settings->parquetCodec = ParquetCodec::kSnappy;
  if (given.rowGroup == 0) settings->rowGroupRows = kParquetDefaultRowGroup;
  // A build without a codec's library refuses it rather than write other
  // bytes than the same command writes elsewhere.
  const ParquetCodec codec = settings->parquetCodec;
  if (!Parquet_CodecBuiltIn(codec)) {
    if (given.codec == nullptr) {
      Main_fail(
          "%s: Option, \"-parquet\", compresses with %s unless \"-codec\" says otherwise, and this "
          "zervgen was built without %s (%s); build it with %s installed, or add \"-codec none\".\n",
          programName, Parquet_CodecName(codec), Parquet_CodecName(codec), Main_codecPackage(codec),
          Main_codecPackage(codec));
    }
    Main_fail(
        "%s: Option, \"-codec\", cannot be '%s': this zervgen was built without it (%s); build it "
        "with %s installed, or use \"-codec none\".\n",
        programName, Parquet_CodecName(codec), Main_codecPackage(codec), Main_codecPackage(codec));
  }
}

std::vector<std::string> Main_bloomColumns(const MainOptions& settings) {
  std::vector<std::string> names;
  const char* p = settings.bloomColumns;
  while (*p != '\0') {
    const char* end = std::strchr(p, ',');
    if (end == nullptr) end = p + std::strlen(p);
    names.emplace_back(p, end);
    p = *end == ',' ? end + 1 : end;
  }
  return names;
}

// A column is in a relation written as -describe lists it: the fill only
// with fill characters.
void Main_completeBloom(const MainOptions& settings) {
  for (const std::string& name : Main_bloomColumns(settings)) {
    bool found = false;
    for (int i = 0; i < kGenRelationCount; ++i) {
      if (!settings.selected[i]) continue;
      for (const GenColumn& c : kGenRelations[i].columns) {
        const bool shown = c.dist != GenDist::kFill || settings.nChars > 0;
        found = found || (shown && name == Gen_KindOf(c).name);
      }
    }
    if (!found) {
      Main_fail("%s: Option, \"-bloom\", names no column of the relations written: '%s'.\n",
                programName, name.c_str());
    }
  }
}

}  // namespace zervgen
