// app/describe.cpp: the -describe document and the manifest; the removal
// of a run's objects by their ETags.
#include "app/describe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/parquet_options.h"
#include "base/date.h"
#include "base/except.h"
#include "core/columns.h"
#include "output/compress.h"
#include "run/catalog.h"
#include "store/object_reader.h"

namespace zervgen {
namespace {

const char* TypeName(GenValueType type) {
  switch (type) {
    case GenValueType::kInt32:
      return "int32";
    case GenValueType::kDecimal:
      return "decimal";
    case GenValueType::kDouble:
      return "double";
    case GenValueType::kDate:
      return "date";
    case GenValueType::kText:
      break;
  }
  return "text";
}

std::string IsoDate(std::int32_t dayNumber) {
  std::uint16_t day = 0;
  std::uint16_t month = 0;
  std::uint16_t year = 0;
  Date_Convert(static_cast<std::uint16_t>(dayNumber), &day, &month, &year);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned{year}, unsigned{month},
                unsigned{day});
  return text;
}

// The delimiter as -dc takes it back: "tab" for a tab.
std::string DelimiterWord(char delim) { return delim == '\t' ? "tab" : std::string(1, delim); }

const char* FormatName(const MainOptions& settings) {
  if (settings.format == MainFileFormat::kParquet) return "parquet";
  return settings.fixedFormat ? "fixed" : "delimited";
}

void WriteOptions(JsonWriter* j, const MainOptions& settings) {
  const bool parquet = settings.format == MainFileFormat::kParquet;
  const bool delimited = !parquet && !settings.fixedFormat;
  j->Key("options").BeginObject();
  j->Key("relations").BeginArray();
  for (int i = 0; i < kGenRelationCount; ++i) {
    if (settings.selected[i]) j->String(kGenRelations[i].name);
  }
  j->EndArray();
  j->Key("rows").Int(settings.nRows);
  j->Key("fill").Int(settings.nChars);
  j->Key("format").String(FormatName(settings));
  j->Key("delimiter");
  delimited ? j->String(std::string(1, settings.delimChar)) : j->Null();
  j->Key("codec").StringOrNull(parquet ? Main_codecText(settings).c_str() : nullptr);
  j->Key("rowgroup");
  parquet ? j->Int(settings.rowGroupRows) : j->Null();
  // The options given beyond a plain run's appear only when given, so that
  // a command line without them is described as it always was: compressed
  // text (its codec and level; the files' names end with its suffix) and
  // the Parquet options for engines.
  if (settings.compress.codec != TextCodec::kNone) {
    j->Key("compress").String(Compress_Name(settings.compress.codec));
    j->Key("compress_level").Int(settings.compress.level);
  }
  if (settings.pageBytes != 0) j->Key("pagesize").Int(settings.pageBytes);
  if (settings.pageIndex) j->Key("pageindex").Bool(true);
  if (settings.bloomColumns[0] != '\0') {
    j->Key("bloom").BeginArray();
    for (const std::string& name : Main_bloomColumns(settings)) j->String(name);
    j->EndArray();
  }
  const auto countOrNull = [j](std::int32_t count) { count != 0 ? j->Int(count) : j->Null(); };
  j->Key("parts");
  countOrNull(settings.nParts);
  j->Key("part");
  countOrNull(settings.part);
  j->Key("threads");
  countOrNull(settings.nThreads);
  j->Key("verify").Bool(settings.verify != 0);
  const bool report = settings.reportFile[0] != '\0' && !settings.verify;
  j->Key("report").StringOrNull(report ? settings.reportFile : nullptr);
  j->Key("manifest")
      .StringOrNull(settings.manifestFile[0] != '\0' ? settings.manifestFile : nullptr);
  j->Key("temp").String(settings.tmpDir);
  j->EndObject();
}

void WriteColumn(JsonWriter* j, const GenRelation& relation, const GenColumn& column,
                 const MainOptions& settings) {
  const GenColumnKind& kind = Gen_KindOf(column);
  const bool fill = column.dist == GenDist::kFill;
  const int width = Gen_FixedWidthOf(kind, settings.nChars);
  j->BeginObject();
  j->Key("name").String(kind.name);
  j->Key("type").String(TypeName(kind.type));
  if (kind.type == GenValueType::kDecimal) {
    j->Key("precision").Int(12);
    j->Key("scale").Int(2);
  }
  j->Key("width").Int(width);
  if (kind.type == GenValueType::kText) {
    j->Key("min_length").Int(fill ? settings.nChars : kind.minChars);
    j->Key("max_length").Int(width);
  } else {
    const GenFigures f = Gen_FiguresOf(relation, column, settings.nRows);
    if (kind.type != GenValueType::kDate) {
      j->Key("decimals").Int(kind.kind == OutputKind::kFloat ? 2 : 0);
      j->Key("min").Int(f.min);
      j->Key("max").Int(f.max);
    } else {
      j->Key("min").String(IsoDate(f.min));
      j->Key("max").String(IsoDate(f.max));
    }
  }
  j->Key("distinct");
  fill ? j->Null() : j->Int(Gen_FiguresOf(relation, column, settings.nRows).distinct);
  j->EndObject();
}

// The bytes of a file of `rows` fixed-format rows; -1 when they depend on
// the values.
long long FileBytes(const MainOptions& settings, const GenRelation& relation, std::int32_t rows) {
  if (settings.format == MainFileFormat::kParquet || !settings.fixedFormat) return -1;
  if (settings.compress.codec != TextCodec::kNone) return -1;
  long long width = 0;
  for (const GenColumn& c : relation.columns)
    width += Gen_FixedWidthOf(Gen_KindOf(c), settings.nChars);
  return (width + 1) * rows;
}

void WriteFile(JsonWriter* j, const GenFilePlan& file) {
  j->Key("path").String(file.path);
  j->Key("part");
  file.part != 0 ? j->Int(file.part) : j->Null();
  j->Key("first_row").Int(file.rows.first);
  j->Key("rows").Int(file.rows.count);
}

void WriteRelation(JsonWriter* j, const GenRelationPlan& plan, const MainOptions& settings) {
  const GenRelation& relation = Gen_RelationOf(plan.tag);
  j->BeginObject();
  j->Key("name").String(relation.name);
  j->Key("suffix").String(relation.suffix);
  j->Key("option").String(relation.option);
  j->Key("rows").Int(plan.total);
  j->Key("columns").BeginArray();
  for (const GenColumn& c : relation.columns) {
    if (c.dist != GenDist::kFill || settings.nChars > 0) WriteColumn(j, relation, c, settings);
  }
  j->EndArray();
  j->Key("files").BeginArray();
  for (const GenFilePlan& file : plan.files) {
    j->BeginObject();
    WriteFile(j, file);
    const long long bytes = FileBytes(settings, relation, file.rows.count);
    j->Key("bytes");
    bytes >= 0 ? j->Int(bytes) : j->Null();
    j->EndObject();
  }
  j->EndArray();
  j->EndObject();
}

// A figure of the rules: a constant as the column's own field gives it (a
// date's as its day), else {"rows_over", "plus"[, "at_most"]}.
void WriteRule(JsonWriter* j, const char* key, const GenNum& rule, bool date) {
  j->Key(key);
  if (rule.Constant()) {
    date ? j->String(IsoDate(rule.add)) : j->Int(rule.add);
    return;
  }
  j->BeginObject();
  j->Key("rows_over").Int(rule.perRows);
  j->Key("plus").Int(rule.add);
  if (rule.cap != 0) j->Key("at_most").Int(rule.cap);
  j->EndObject();
}

// What holds for every run, whatever its options: the bounds of the rows
// and of the fill, and each relation's count and figures as functions of
// the row count (every relation, in run order, its columns without the
// fill).
void WriteRules(JsonWriter* j) {
  j->Key("rules").BeginObject();
  j->Key("rows").BeginObject();
  j->Key("min").Int(MIN_TUPLES);
  j->Key("max").Int(MAX_TUPLES);
  j->EndObject();
  j->Key("fill").BeginObject();
  j->Key("min").Int(0);
  j->Key("max").Int(MAX_FILL_CHARS);
  j->EndObject();
  j->Key("relations").BeginArray();
  for (const GenRelation& relation : kGenRelations) {
    j->BeginObject();
    j->Key("name").String(relation.name);
    j->Key("fixed_rows");
    relation.oneRow ? j->Int(1) : j->Null();
    bool fill = false;
    j->Key("columns").BeginArray();
    for (const GenColumn& c : relation.columns) {
      const GenColumnKind& kind = Gen_KindOf(c);
      if (c.dist == GenDist::kFill) {
        fill = true;
        continue;
      }
      const GenRules rules = Gen_RulesOf(relation, c);
      const bool date = kind.type == GenValueType::kDate;
      j->BeginObject();
      j->Key("name").String(kind.name);
      if (kind.type != GenValueType::kText) {
        WriteRule(j, "min", rules.min, date);
        WriteRule(j, "max", rules.max, date);
      }
      WriteRule(j, "distinct", rules.distinct, false);
      j->EndObject();
    }
    j->EndArray();
    j->Key("takes_fill").Bool(fill);
    j->EndObject();
  }
  j->EndArray();
  j->EndObject();
}

// The text codecs of -compress NAME (whether or not this build has their
// library: the document is the same for every build), each with the
// command that writes a file's text to standard output (the file's path
// follows it).
void WriteCompressCodecs(JsonWriter* j) {
  j->Key("compress_codecs").BeginArray();
  for (const TextCodec codec : {TextCodec::kZstd, TextCodec::kGzip}) {
    j->BeginObject();
    j->Key("name").String(Compress_Name(codec));
    j->Key("decompress").BeginArray();
    if (codec == TextCodec::kZstd) {
      for (const char* word : {"zstd", "-dcq", "--"}) j->String(word);
    } else {
      for (const char* word : {"gzip", "-dc", "--"}) j->String(word);
    }
    j->EndArray();
    j->EndObject();
  }
  j->EndArray();
}

void WriteDescribe(JsonWriter* j, const MainOptions& settings, const GenRunPlan& plan, int argc,
                   char** argv) {
  j->BeginObject();
  j->Key("zervgen_describe").Int(1);
  j->Key("program").String("zervgen");
  j->Key("version").String(kVersion);
  j->Key("argv").BeginArray();
  for (int i = 0; i < argc; ++i) j->String(argv[i] != nullptr ? argv[i] : "");
  j->EndArray();
  WriteOptions(j, settings);
  j->Key("data_args").BeginArray();
  for (const std::string& arg : Main_DataArguments(settings)) j->String(arg);
  j->EndArray();
  j->Key("proof_args").BeginArray();
  for (const std::string& arg : Main_ProofArguments(settings)) j->String(arg);
  j->EndArray();
  WriteCompressCodecs(j);
  j->Key("banner").String(Main_Banner(argc > 0 ? argv[0] : nullptr));
  j->Key("relations").BeginArray();
  for (const GenRelationPlan& relation : plan.relations) WriteRelation(j, relation, settings);
  j->EndArray();
  WriteRules(j);
  j->EndObject();
}

}  // namespace

std::string Main_codecText(const MainOptions& settings) {
  std::string text = Parquet_CodecName(settings.parquetCodec);
  if (settings.parquetCodec == ParquetCodec::kZstd && settings.zstdLevel != 0) {
    text.push_back(':');
    text.append(std::to_string(settings.zstdLevel));
  }
  return text;
}

std::vector<std::string> Main_DataArguments(const MainOptions& settings) {
  std::vector<std::string> args = {"-n", std::to_string(settings.nRows)};
  if (settings.nChars > 0) {
    args.insert(args.end(), {"-fc", std::to_string(settings.nChars)});
  }
  if (settings.format == MainFileFormat::kParquet) {
    args.insert(args.end(), {"-parquet", "-codec", Main_codecText(settings), "-rowgroup",
                             std::to_string(settings.rowGroupRows)});
    if (settings.pageBytes != 0) {
      args.insert(args.end(), {"-pagesize", std::to_string(settings.pageBytes)});
    }
    if (settings.pageIndex) args.emplace_back("-pageindex");
    if (settings.bloomColumns[0] != '\0')
      args.insert(args.end(), {"-bloom", settings.bloomColumns});
  } else if (settings.fixedFormat) {
    args.emplace_back("-ff");
  } else {
    args.insert(args.end(), {"-dc", DelimiterWord(settings.delimChar)});
  }
  return args;
}

std::vector<std::string> Main_ProofArguments(const MainOptions& settings) {
  std::vector<std::string> args = Main_DataArguments(settings);
  if (settings.compress.codec != TextCodec::kNone) {
    args.insert(args.end(), {"-compress", std::string(Compress_Name(settings.compress.codec)) +
                                              ":" + std::to_string(settings.compress.level)});
  }
  return args;
}

std::string Main_Banner(const char* invoked) {
  return std::string(invoked != nullptr ? invoked : "") + " - " + kBannerText;
}

std::string Main_DescribeText(const MainOptions& settings, const GenRunPlan& plan, int argc,
                              char** argv) {
  CHECK_REQUIRE(argc > 0);
  CHECK_REQUIRE_TEXT(argv != nullptr, "argv != NULL");
  JsonWriter j(2);
  WriteDescribe(&j, settings, plan, argc, argv);
  return j.text() + "\n";
}

std::string Main_ManifestText(const MainOptions& settings, const GenRunPlan& plan, int argc,
                              char** argv, const std::vector<MainWritten>& written) {
  CHECK_REQUIRE(argc > 0);
  CHECK_REQUIRE_TEXT(argv != nullptr, "argv != NULL");
  JsonWriter j(2);
  j.BeginObject();
  j.Key("zervgen_manifest").Int(1);
  j.Key("describe");
  WriteDescribe(&j, settings, plan, argc, argv);
  j.Key("written").BeginArray();
  for (const MainWritten& w : written) {
    j.BeginObject();
    j.Key("relation").String(w.relName);
    WriteFile(&j, *w.file);
    j.Key("bytes").Int(static_cast<long long>(w.bytes));
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
  return j.text() + "\n";
}

namespace {

// Writes one line to standard output; *writeError keeps the errno of the
// first that could not be written.
void PutLine(const std::string& line, int* writeError) {
  errno = 0;
  if ((std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0) && *writeError == 0) {
    *writeError = errno != 0 ? errno : EIO;
  }
}

// One line of -remove-object's.
void TellRemoval(const std::string& name, const std::string& verdict, int* writeError) {
  PutLine(Util_Escaped(name.data(), name.size(), false) + ": " + verdict + "\n", writeError);
}

int StoreFailed(const Status& failure) {
  std::fprintf(stderr, "%s: %s.\n", programName, failure.message().c_str());
  return -1;
}

}  // namespace

int Main_HeadObjects(const GenRunPlan& plan) {
  int writeError = 0;
  for (const GenRelationFile& file : Gen_PlanFiles(plan)) {
    StoreObjectHead head;
    const Status status = Store_HeadObject(file.path, &head);
    JsonWriter j;
    j.BeginObject();
    j.Key("zervgen_head").Int(1);
    j.Key("relation").String(file.relName);
    j.Key("path").String(file.path);
    j.Key("size");
    status.ok() ? j.Int(static_cast<long long>(head.size)) : j.Null();
    j.Key("etag").StringOrNull(status.ok() ? head.etag.c_str() : nullptr);
    j.Key("failure").StringOrNull(status.ok()           ? nullptr
                                  : status.IsNotFound() ? "missing"
                                                        : "unreadable");
    const std::string why = status.ok() || status.IsNotFound() ? "" : status.what();
    j.Key("detail").StringOrNull(why.empty() ? nullptr : why.c_str());
    j.EndObject();
    PutLine(j.text() + "\n", &writeError);
  }
  if (writeError == 0) return 0;
  if (writeError != EPIPE) {
    std::fprintf(stderr, "%s: Write error: \"%s\".\n", programName, std::strerror(writeError));
  }
  return -1;
}

int Main_RemoveObjects(const std::vector<MainRemoval>& removals) {
  // Every object is asked for before any is removed.
  std::vector<bool> there(removals.size(), false);
  int kept = 0;
  int writeError = 0;
  for (std::size_t i = 0; i < removals.size(); ++i) {
    StoreObjectHead head;
    const Status status = Store_HeadObject(removals[i].name, &head);
    if (status.IsNotFound()) {
      TellRemoval(removals[i].name, "not there", &writeError);
      continue;
    }
    if (!status.ok()) return StoreFailed(status);
    there[i] = true;
    const std::string given = Store_QuotedEtag(removals[i].etag);
    if (head.etag != given) {
      TellRemoval(removals[i].name, "KEPT: its ETag is " + head.etag + ", not " + given,
                  &writeError);
      ++kept;
    }
  }
  if (kept == 0) {
    for (std::size_t i = 0; i < removals.size(); ++i) {
      if (!there[i]) continue;
      const Status status = Store_RemoveObject(removals[i].name, removals[i].etag);
      if (status == StatusCode::kAlreadyExists) {
        TellRemoval(removals[i].name, "KEPT: " + status.what(), &writeError);
        ++kept;
      } else if (!status.ok()) {
        return StoreFailed(status);
      } else {
        TellRemoval(removals[i].name, "removed", &writeError);
      }
    }
  }
  if (writeError != 0) {
    std::fprintf(stderr, "%s: Write error: \"%s\".\n", programName, std::strerror(writeError));
    return -1;
  }
  if (kept != 0) {
    std::fprintf(stderr, "%s: %d of %zu objects NOT removed.\n", programName, kept,
                 removals.size());
    return 1;
  }
  return 0;
}

}  // namespace zervgen
