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

Status OptionParquet(MainOptions* settings) {
  if (settings->format == MainFileFormat::kParquet) {
    return Main_refuse(MSG_WAS_SPECIFIED, programName, "-parquet");
  }
  settings->format = MainFileFormat::kParquet;
  return Status::Ok();
}

// The N of "-codec zstd:N" into *level: digits only, within zstd's levels.
Status ParquetZstdLevel(const char* value, std::int32_t* level) {
  const char* digits = value + 5;
  long n = 0;
  const char* p = digits;
  for (; *p >= '0' && *p <= '9' && n <= kParquetZstdMaxLevel; ++p) n = n * 10 + (*p - '0');
  if (p == digits || *p != '\0' || n < kParquetZstdMinLevel || n > kParquetZstdMaxLevel) {
    return Main_refuse("%s: Option, \"-codec\", zstd level must be from %d to %d, not '%s'.\n",
                       programName, kParquetZstdMinLevel, kParquetZstdMaxLevel, value);
  }
  *level = static_cast<std::int32_t>(n);
  return Status::Ok();
}

Status OptionPageSize(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-pagesize");
  if (settings->pageBytes != 0) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-pagesize");
  long long bytes = 0;
  RETURN_IF_REFUSED(Main_readNumber("-pagesize", value, &bytes));
  if (bytes < static_cast<long long>(kParquetMinPageBytes) ||
      bytes > static_cast<long long>(kParquetMaxPageBytes)) {
    return Main_refuse("%s: The Parquet page size must be from %ld to %ld bytes.\n", programName,
                       static_cast<long>(kParquetMinPageBytes),
                       static_cast<long>(kParquetMaxPageBytes));
  }
  settings->pageBytes = static_cast<std::int32_t>(bytes);
  return Status::Ok();
}

Status OptionCodec(int argc, char** argv, int* cur, MainOptions* settings,
                   MainParquetGiven* given) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-codec");
  if (given->codec != nullptr) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-codec");
  ParquetCodec codec;
  if (std::strncmp(value, "zstd:", 5) == 0) {
    RETURN_IF_REFUSED(ParquetZstdLevel(value, &settings->zstdLevel));
    given->codec = value;
    settings->parquetCodec = ParquetCodec::kZstd;
    return Status::Ok();
  }
  if (!Parquet_CodecFromName(value, &codec)) {
    return Main_refuse("%s: Option, \"-codec\", must be none, snappy or zstd, not '%s'.\n",
                       programName, value);
  }
  given->codec = value;
  settings->parquetCodec = codec;
  return Status::Ok();
}

Status OptionRowGroup(int argc, char** argv, int* cur, MainOptions* settings,
                      MainParquetGiven* given) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-rowgroup");
  if (given->rowGroup != 0) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-rowgroup");
  long long rows = 0;
  RETURN_IF_REFUSED(Main_readNumber("-rowgroup", value, &rows));
  if (rows < kParquetMinRowGroup || rows > kParquetMaxRowGroup) {
    return Main_refuse("%s: The number of rows per row group must be from %ld to %ld.\n",
                       programName, static_cast<long>(kParquetMinRowGroup),
                       static_cast<long>(kParquetMaxRowGroup));
  }
  given->rowGroup = rows;
  settings->rowGroupRows = static_cast<std::int32_t>(rows);
  return Status::Ok();
}

Status OptionPageIndex(MainOptions* settings) {
  if (settings->pageIndex) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-pageindex");
  settings->pageIndex = 1;
  return Status::Ok();
}

// Checks the list of -bloom: names that are not empty, each given once,
// and the whole list fits its setting.
Status CheckBloomList(const char* value, std::size_t room) {
  std::vector<std::string> names;
  for (const char* p = value;; ++p) {
    const char* end = std::strchr(p, ',');
    names.emplace_back(p, end != nullptr ? end : p + std::strlen(p));
    if (names.back().empty() || std::strlen(value) >= room) {
      return Main_refuse("%s: Option, \"-bloom\", must be a list of column names, not '%s'.\n",
                         programName, value);
    }
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
      if (names[i] == names.back()) {
        return Main_refuse("%s: Option, \"-bloom\", cannot name '%s' twice.\n", programName,
                           names.back().c_str());
      }
    }
    if (end == nullptr) return Status::Ok();
    p = end;
  }
}

// -bloom: a list of names, each given once; whether the relations have
// them is checked once they are known.
Status OptionBloom(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-bloom");
  if (settings->bloomColumns[0] != '\0') {
    return Main_refuse(MSG_WAS_SPECIFIED, programName, "-bloom");
  }
  RETURN_IF_REFUSED(CheckBloomList(value, sizeof settings->bloomColumns));
  std::snprintf(settings->bloomColumns, sizeof settings->bloomColumns, "%s", value);
  return Status::Ok();
}

// The options that need -parquet, when it is not given: refused.
Status CompleteWithoutParquet(const MainParquetGiven& given, const MainOptions& settings) {
  if (given.codec != nullptr) {
    return Main_refuse("%s: Option, \"-codec\", requires \"-parquet\" to be specified.\n",
                       programName);
  }
  if (given.rowGroup != 0) {
    return Main_refuse("%s: Option, \"-rowgroup\", requires \"-parquet\" to be specified.\n",
                       programName);
  }
  if (settings.pageBytes != 0) {
    return Main_refuse("%s: Option, \"-pagesize\", requires \"-parquet\" to be specified.\n",
                       programName);
  }
  if (settings.pageIndex) {
    return Main_refuse("%s: Option, \"-pageindex\", requires \"-parquet\" to be specified.\n",
                       programName);
  }
  if (settings.bloomColumns[0] != '\0') {
    return Main_refuse("%s: Option, \"-bloom\", requires \"-parquet\" to be specified.\n",
                       programName);
  }
  return Status::Ok();
}

// A build without a codec's library refuses it rather than write other
// bytes than the same command writes elsewhere.
Status CheckCodecBuilt(const MainParquetGiven& given, ParquetCodec codec) {
  if (Parquet_CodecBuiltIn(codec)) return Status::Ok();
  if (given.codec == nullptr) {
    return Main_refuse(
        "%s: Option, \"-parquet\", compresses with %s unless \"-codec\" says otherwise, and this "
        "zervgen was built without %s (%s); build it with %s installed, or add \"-codec none\".\n",
        programName, Parquet_CodecName(codec), Parquet_CodecName(codec), Main_codecPackage(codec),
        Main_codecPackage(codec));
  }
  return Main_refuse(
      "%s: Option, \"-codec\", cannot be '%s': this zervgen was built without it (%s); build it "
      "with %s installed, or use \"-codec none\".\n",
      programName, Parquet_CodecName(codec), Main_codecPackage(codec), Main_codecPackage(codec));
}

}  // namespace

Status Main_parseParquetOption(int argc, char** argv, int* cur, MainOptions* settings,
                               MainParquetGiven* given, bool* known) {
  const char* arg = argv[*cur];
  auto is = [arg](const char* option) { return std::strcmp(arg, option) == 0; };
  *known = true;
  if (is("-parquet")) return OptionParquet(settings);
  if (is("-codec")) return OptionCodec(argc, argv, cur, settings, given);
  if (is("-rowgroup")) return OptionRowGroup(argc, argv, cur, settings, given);
  if (is("-pagesize")) return OptionPageSize(argc, argv, cur, settings);
  if (is("-pageindex")) return OptionPageIndex(settings);
  if (is("-bloom")) return OptionBloom(argc, argv, cur, settings);
  *known = false;
  return Status::Ok();
}

Status Main_completeParquet(const MainParquetGiven& given, bool compressGiven,
                            MainOptions* settings) {
  if (settings->format != MainFileFormat::kParquet) return CompleteWithoutParquet(given, *settings);
  if (compressGiven) {
    return Main_refuse(
        "%s: Only one of \"-parquet\" and \"-compress\" may be specified (\"-codec\" compresses "
        "Parquet pages).\n",
        programName);
  }
  if (settings->fixedFormat) {
    return Main_refuse("%s: Only one of \"-parquet\" and \"-ff\" may be specified.\n", programName);
  }
  if (settings->delimChar != '\0') {
    return Main_refuse("%s: Only one of \"-parquet\" and \"-dc\" may be specified.\n", programName);
  }
  if (given.codec == nullptr) settings->parquetCodec = ParquetCodec::kSnappy;
  if (given.rowGroup == 0) settings->rowGroupRows = kParquetDefaultRowGroup;
  return CheckCodecBuilt(given, settings->parquetCodec);
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
Status Main_completeBloom(const MainOptions& settings) {
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
      return Main_refuse(
          "%s: Option, \"-bloom\", names no column of the relations written: '%s'.\n", programName,
          name.c_str());
    }
  }
  return Status::Ok();
}

}  // namespace zervgen
