// app/options.cpp: the command line. The parser reads the arguments into
// option settings of its own and hands them back with what the run driver
// is to do: run (with the plan made from them), show the help text or the
// version, or refuse the command line with one message (status -1). It
// prints nothing and ends nothing itself; every message's format is a
// literal that -Wformat checks against its arguments.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/compress_option.h"
#include "app/datagen.h"
#include "app/help.h"
#include "app/option_args.h"
#include "app/parquet_options.h"
#include "base/except.h"
#include "base/util.h"
#include "output/compress.h"
#include "output/output.h"
#include "parquet/chunk.h"
#include "parquet/codec.h"
#include "parquet/format.h"
#include "run/parquet_format.h"
#include "store/s3_config.h"

namespace zervgen {
namespace {

// Messages used in several places; macros, so that each use is a literal
// format that the compiler checks.
#define MSG_ONLY_ONE_ROW_OPTION \
  "%s: Only one of \"-n\", \"-4\", \"-40\", and \"-400\" may be specified.\n"
#define MSG_ONLY_ONE_FORMAT "%s: Only one of \"-ff\" and \"-dc\" may be specified.\n"
#define MSG_NAME_TOO_LONG "%s: The file name for \"%s\" is too long.\n"

// Checks a file or directory name given for `option`.
Status CheckName(const char* option, const char* value) {
  if (std::strlen(value) > static_cast<std::size_t>(kMaxNameChars)) {
    return Main_refuse(MSG_NAME_TOO_LONG, programName, option);
  }
  if (value[0] == '\0') {
    return Main_refuse("%s: The file name for \"%s\" cannot be \"\"1.\n", programName, option);
  }
  return Status::Ok();
}

}  // namespace

MainDelimiterFault Main_delimiterFault(unsigned char c) {
  using DelimiterFault = MainDelimiterFault;
  if (c >= 0x80) return DelimiterFault::kNotAscii;
  if (c == '\n' || c == '\r') return DelimiterFault::kLineEnd;
  if (std::isdigit(c) || c == '-' || c == '.' || c == '/') return DelimiterFault::kInNumbers;
  if (Output_InFixedText(static_cast<char>(c))) return DelimiterFault::kInFixedTexts;
  return DelimiterFault::kNone;
}

namespace {

Status CheckDelimiter(char delim) {
  const char text[2] = {delim, '\0'};
  using DelimiterFault = MainDelimiterFault;
  switch (Main_delimiterFault(static_cast<unsigned char>(delim))) {
    case DelimiterFault::kNone:
      break;
    case DelimiterFault::kNotAscii:
      return Main_refuse("%s: Option, \"-dc\", must be a single ASCII character.\n", programName);
    case DelimiterFault::kLineEnd:
      return Main_refuse("%s: Option, \"-dc\", cannot be a line end.\n", programName);
    case DelimiterFault::kInNumbers:
      return Main_refuse("%s: Option, \"-dc\", cannot be '%s': it occurs in numbers and dates.\n",
                         programName, text);
    case DelimiterFault::kInFixedTexts:
      return Main_refuse(
          "%s: Option, \"-dc\", cannot be '%s': it occurs in the fixed texts of the text "
          "columns.\n",
          programName, text);
  }
  return Status::Ok();
}

// Per-call parse state: the settings being read, and what is checked once
// all arguments are read.
struct ParseState {
  MainOptions settings{};
  int nRelations = 0;
  // Names are checked to be at most kMaxNameChars long, so a composed
  // relation file name fits kNameSize (main_options.h checks it).
  char filename[kMaxNameChars + 1] = "";
  char tmpValue[kMaxNameChars + 1] = "";
  bool partGiven = false;
  long long partValue = 0;            // -part as given; checked against -parts at the end
  MainParquetGiven parquet;           // the Parquet options as given; checked at the end
  bool compressGiven = false;         // -compress was given
  std::vector<MainRemoval> removals;  // -remove-object, as given
};

Status Main_setRelation(const char* argument, int* relationFlag, std::int16_t* nRelations) {
  CHECK_REQUIRE_TEXT(argument != nullptr, "argument != NULL");
  CHECK_REQUIRE_TEXT(relationFlag != nullptr, "relationFlag != NULL");
  CHECK_REQUIRE_TEXT(nRelations != nullptr, "nRelations != NULL");
  if (*relationFlag) return Main_refuse(MSG_WAS_SPECIFIED, programName, argument);
  if (*nRelations > 0) {
    return Main_refuse("%s: Only one of %s may be specified.\n", programName,
                       Gen_OptionList("\"", "\"", ", ", ", and ").c_str());
  }
  *relationFlag = 1;
  ++*nRelations;
  return Status::Ok();
}

// The ending of the files of a run: ".parquet" for Parquet files, the
// codec's for compressed text.
const char* FileEnding(const MainOptions* settings) {
  if (settings->format == MainFileFormat::kParquet) return kParquetEnding;
  return Compress_Suffix(settings->compress.codec);
}

void Main_setFile(const MainOptions* settings, int flag, char* fileName, const char* prefix,
                  const char* suffix) {
  CHECK_REQUIRE_TEXT(fileName != nullptr, "fileName != NULL");
  CHECK_REQUIRE_TEXT(prefix != nullptr, "prefix != NULL");
  CHECK_REQUIRE_TEXT(suffix != nullptr, "suffix != NULL");
  if (!flag) return;
  if (prefix[0] != '\0') {
    std::snprintf(fileName, kNameSize, "%s", prefix);
    Main_addCompressSuffix(settings->compress.codec, fileName, kNameSize);
  } else {
    std::snprintf(fileName, kNameSize, "%s.%s%s", "zerv", suffix, FileEnding(settings));
  }
}

// A relation option (-hu, -te, ...): one relation, given once.
Status OptionRelation(const char* arg, int index, ParseState* state) {
  std::int16_t nRelations = static_cast<std::int16_t>(state->nRelations);
  RETURN_IF_REFUSED(Main_setRelation(arg, &state->settings.selected[index], &nRelations));
  state->nRelations = nRelations;
  return Status::Ok();
}

Status OptionScale(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-s");
  long long scale = 0;
  RETURN_IF_REFUSED(Main_readNumber("-s", value, &scale));
  if (scale < 1) return Main_refuse("%s: Scale must be at least 1.\n", programName);
  if (scale > kMaxScale) {
    return Main_refuse("%s: Scale can not be greater than 10000.\n", programName);
  }
  settings->nRows = static_cast<std::int32_t>(scale * 10000);
  return Status::Ok();
}

Status OptionRows(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-n");
  if (settings->nRows != 0) return Main_refuse(MSG_ONLY_ONE_ROW_OPTION, programName);
  long long rows = 0;
  RETURN_IF_REFUSED(Main_readNumber("-n", value, &rows));
  if (rows < MIN_TUPLES) {
    return Main_refuse("%s: At least %ld rows must be specified.\n", programName,
                       static_cast<long>(MIN_TUPLES));
  }
  if (rows > MAX_TUPLES) {
    return Main_refuse("%s: No more than %ld rows may be specified.\n", programName,
                       static_cast<long>(MAX_TUPLES));
  }
  settings->nRows = static_cast<std::int32_t>(rows);
  return Status::Ok();
}

Status OptionFill(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-fc");
  if (settings->nChars != 0) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-fc");
  long long chars = 0;
  RETURN_IF_REFUSED(Main_readNumber("-fc", value, &chars));
  if (chars < 0 || chars > MAX_FILL_CHARS) {
    return Main_refuse("%s: No more than %d fill characters may be specified.\n", programName,
                       MAX_FILL_CHARS);
  }
  settings->nChars = static_cast<std::int16_t>(chars);
  return Status::Ok();
}

// -f, -t: a name that must be given once.
Status OptionName(int argc, char** argv, int* cur, const char* option,
                  char (&dest)[kMaxNameChars + 1]) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, option);
  if (dest[0] != '\0') return Main_refuse(MSG_WAS_SPECIFIED, programName, option);
  RETURN_IF_REFUSED(CheckName(option, value));
  std::snprintf(dest, sizeof dest, "%s", value);
  return Status::Ok();
}

Status OptionReport(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (settings->reportFile[0] != '\0') return Main_refuse(MSG_WAS_SPECIFIED, programName, "-r");
  if (value == nullptr) value = "zerv.rpt";
  RETURN_IF_REFUSED(CheckName("-r", value));
  std::snprintf(settings->reportFile, kNameSize, "%s", value);
  return Status::Ok();
}

Status OptionPreset(std::int32_t rows, MainOptions* settings) {
  if (settings->nRows != 0) return Main_refuse(MSG_ONLY_ONE_ROW_OPTION, programName);
  settings->nRows = rows;
  return Status::Ok();
}

Status OptionFixed(MainOptions* settings) {
  if (settings->fixedFormat) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-ff");
  if (settings->delimChar != '\0') return Main_refuse(MSG_ONLY_ONE_FORMAT, programName);
  settings->fixedFormat = 1;
  return Status::Ok();
}

Status OptionDelimiter(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (settings->delimChar != '\0') return Main_refuse(MSG_WAS_SPECIFIED, programName, "-dc");
  if (settings->fixedFormat) return Main_refuse(MSG_ONLY_ONE_FORMAT, programName);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-dc");
  settings->delimChar = std::strcmp(value, "tab") == 0 ? '\t' : value[0];
  return CheckDelimiter(settings->delimChar);
}

// -parts, -threads: a count given once, from 1 to `max`.
Status OptionCount(int argc, char** argv, int* cur, const char* option, std::int32_t* dest,
                   long max) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, option);
  if (*dest != 0) return Main_refuse(MSG_WAS_SPECIFIED, programName, option);
  long long count = 0;
  RETURN_IF_REFUSED(Main_readNumber(option, value, &count));
  if (count < 1 || count > max) {
    if (std::strcmp(option, "-parts") == 0) {
      return Main_refuse("%s: The number of parts must be from 1 to %ld.\n", programName, max);
    }
    return Main_refuse("%s: The number of threads must be from 1 to %ld.\n", programName, max);
  }
  *dest = static_cast<std::int32_t>(count);
  return Status::Ok();
}

// -part: its range depends on -parts, which may come later.
Status OptionPart(int argc, char** argv, int* cur, ParseState* state) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-part");
  if (state->partGiven) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-part");
  state->partGiven = true;
  return Main_readNumber("-part", value, &state->partValue);
}

// -verify, -verify's -json, -describe: a flag given once.
Status OptionFlag(const char* option, int* flag) {
  if (*flag) return Main_refuse(MSG_WAS_SPECIFIED, programName, option);
  *flag = 1;
  return Status::Ok();
}

Status OptionManifest(int argc, char** argv, int* cur, MainOptions* settings) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-manifest");
  if (settings->manifestFile[0] != '\0') {
    return Main_refuse(MSG_WAS_SPECIFIED, programName, "-manifest");
  }
  RETURN_IF_REFUSED(CheckName("-manifest", value));
  // Standard output may carry rows: a JSON document after them would reach
  // their reader as more rows.
  if (std::strcmp(value, "-") == 0) {
    return Main_refuse(
        "%s: Option, \"-manifest\", cannot be '-': the manifest is written to a file, "
        "never to standard output.\n",
        programName);
  }
  std::snprintf(settings->manifestFile, kNameSize, "%s", value);
  return Status::Ok();
}

// -remove-object NAME=ETAG, any number of times: the ETag is what follows
// the last "=" (an ETag holds none; an object's name may).
Status OptionRemoveObject(int argc, char** argv, int* cur, ParseState* state) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-remove-object");
  const char* cut = std::strrchr(value, '=');
  if (cut == nullptr || cut == value || cut[1] == '\0') {
    return Main_refuse(
        "%s: Option, \"-remove-object\", must be NAME=ETAG: an object of the run and the ETag "
        "it must have to be removed.\n",
        programName);
  }
  state->removals.push_back({std::string(value, cut), std::string(cut + 1)});
  return Status::Ok();
}

Status OptionCompress(int argc, char** argv, int* cur, ParseState* state) {
  const char* value = Main_getNextArgument(argc, argv, cur);
  if (value == nullptr) return Main_refuse(MSG_REQUIRES_ARGUMENT, programName, "-compress");
  if (state->compressGiven) return Main_refuse(MSG_WAS_SPECIFIED, programName, "-compress");
  state->compressGiven = true;
  return Main_readCompress(value, &state->settings.compress);
}

// Acts on the argument at *cur; sets *known to false, having done nothing,
// when it is no option at all.
Status ParseOne(int argc, char** argv, int* cur, ParseState* state, bool* known) {
  MainOptions* settings = &state->settings;
  RETURN_IF_REFUSED(Main_parseParquetOption(argc, argv, cur, settings, &state->parquet, known));
  if (*known) return Status::Ok();
  *known = true;
  const char* arg = argv[*cur];
  auto is = [arg](const char* option) { return std::strcmp(arg, option) == 0; };
  for (int i = 0; i < kGenRelationCount; ++i) {
    if (is(kGenRelations[i].option)) return OptionRelation(arg, i, state);
  }
  if (is("-s")) return OptionScale(argc, argv, cur, settings);
  if (is("-n")) return OptionRows(argc, argv, cur, settings);
  if (is("-fc")) return OptionFill(argc, argv, cur, settings);
  if (is("-f")) return OptionName(argc, argv, cur, "-f", state->filename);
  if (is("-r")) return OptionReport(argc, argv, cur, settings);
  if (is("-t")) return OptionName(argc, argv, cur, "-t", state->tmpValue);
  if (is("-4")) return OptionPreset(10000, settings);
  if (is("-40")) return OptionPreset(100000, settings);
  if (is("-400")) return OptionPreset(1000000, settings);
  if (is("-ff")) return OptionFixed(settings);
  if (is("-dc")) return OptionDelimiter(argc, argv, cur, settings);
  if (is("-parts")) return OptionCount(argc, argv, cur, arg, &settings->nParts, kMaxParts);
  if (is("-part")) return OptionPart(argc, argv, cur, state);
  if (is("-threads")) return OptionCount(argc, argv, cur, arg, &settings->nThreads, kMaxThreads);
  if (is("-compress")) return OptionCompress(argc, argv, cur, state);
  if (is("-verify")) return OptionFlag("-verify", &settings->verify);
  if (is("-json")) return OptionFlag("-json", &settings->json);
  if (is("-describe")) return OptionFlag("-describe", &settings->describe);
  if (is("-manifest")) return OptionManifest(argc, argv, cur, settings);
  if (is("-remove-object")) return OptionRemoveObject(argc, argv, cur, state);
  if (is("-head")) return OptionFlag("-head", &settings->head);
  *known = false;
  return Status::Ok();
}

// Digits of a part number, for the suffix ".K" of a part file's name.
std::size_t Digits(std::int32_t number) {
  std::size_t digits = 1;
  for (; number >= 10; number /= 10) ++digits;
  return digits;
}

// Checks -part against -parts, and that every part file name (the relation
// file name and ".K") fits the name buffers.
Status CompleteParts(const ParseState& state, MainOptions* settings) {
  if (state.partGiven && settings->nParts == 0) {
    return Main_refuse("%s: Option, \"-part\", requires \"-parts\" to be specified.\n",
                       programName);
  }
  if (settings->nParts == 0) return Status::Ok();
  if (state.partGiven && (state.partValue < 1 || state.partValue > settings->nParts)) {
    return Main_refuse("%s: Option, \"-part\", must be from 1 to the number of parts, %ld.\n",
                       programName, static_cast<long>(settings->nParts));
  }
  settings->part = static_cast<std::int32_t>(state.partGiven ? state.partValue : 0);
  if (std::strcmp(state.filename, "-") == 0 && settings->part == 0) {
    return Main_refuse("%s: Cannot write all parts to \"-\"; choose one with \"-part\".\n",
                       programName);
  }
  const std::size_t suffix = 1 + Digits(settings->part != 0 ? settings->part : settings->nParts);
  for (const char* name : settings->relationFile) {
    const std::size_t limit = kPartNameLimit + std::strlen(FileEnding(settings));
    if (std::strlen(name) + suffix >= limit) {
      return Main_refuse(MSG_NAME_TOO_LONG, programName, "-f");
    }
  }
  return Status::Ok();
}

// A report named like a file the run writes would be created first and
// then found by the check of the relation files, or written over by rows:
// refused before anything is created, as an option error. So is a
// manifest named like a relation file or the report.
Status CheckReportName(const MainOptions* settings, const GenRunPlan& plan) {
  const char* manifest = settings->manifestFile;
  for (const GenRelationFile& file : Gen_PlanFiles(plan)) {
    if (std::strcmp(file.path, "-") == 0) continue;
    if (settings->reportFile[0] != '\0' && Util_SameFile(settings->reportFile, file.path)) {
      return Main_refuse(
          "%s: Option, \"-r\", cannot be '%s': a relation is written to that file.\n", programName,
          settings->reportFile);
    }
    if (manifest[0] != '\0' && Util_SameFile(manifest, file.path)) {
      return Main_refuse(
          "%s: Option, \"-manifest\", cannot be '%s': a relation is written to that file.\n",
          programName, manifest);
    }
  }
  if (manifest[0] != '\0' && settings->reportFile[0] != '\0' &&
      Util_SameFile(manifest, settings->reportFile)) {
    return Main_refuse(
        "%s: Option, \"-manifest\", cannot be '%s': the report is written to that file.\n",
        programName, manifest);
  }
  return Status::Ok();
}

// -json belongs to -verify, which writes no file and so leaves no manifest.
Status CompleteMachineOptions(const MainOptions* settings) {
  if (settings->json && !settings->verify) {
    return Main_refuse("%s: Option, \"-json\", requires \"-verify\" to be specified.\n",
                       programName);
  }
  if (settings->manifestFile[0] != '\0' && settings->verify) {
    return Main_refuse("%s: Only one of \"-manifest\" and \"-verify\" may be specified.\n",
                       programName);
  }
  return Status::Ok();
}

// -head tells the run's objects and does nothing else: not with -verify,
// -describe, -manifest or -remove-object, and not for a run of files.
Status CheckHead(const ParseState& state, const GenRunPlan& plan) {
  const MainOptions& settings = state.settings;
  if (!settings.head) return Status::Ok();
  const char* other = settings.verify                    ? "-verify"
                      : settings.describe                ? "-describe"
                      : settings.manifestFile[0] != '\0' ? "-manifest"
                      : !state.removals.empty()          ? "-remove-object"
                                                         : nullptr;
  if (other != nullptr) {
    return Main_refuse("%s: Only one of \"-head\" and \"%s\" may be specified.\n", programName,
                       other);
  }
  for (const GenRelationFile& file : Gen_PlanFiles(plan)) {
    if (!S3_IsObjectName(file.path)) {
      return Main_refuse(
          "%s: Option, \"-head\", tells objects (s3://), and '%s' is a file: use \"-verify\".\n",
          programName, file.path);
    }
  }
  return Status::Ok();
}

// -remove-object removes objects of the run and does nothing else: never a
// file, never a name the run does not write, and not with -verify,
// -describe or -manifest.
Status CheckRemovals(const ParseState& state, const GenRunPlan& plan) {
  if (state.removals.empty()) return Status::Ok();
  const MainOptions& settings = state.settings;
  const char* other = settings.verify                    ? "-verify"
                      : settings.describe                ? "-describe"
                      : settings.manifestFile[0] != '\0' ? "-manifest"
                                                         : nullptr;
  if (other != nullptr) {
    return Main_refuse("%s: Only one of \"-remove-object\" and \"%s\" may be specified.\n",
                       programName, other);
  }
  const std::vector<GenRelationFile> files = Gen_PlanFiles(plan);
  for (const MainRemoval& removal : state.removals) {
    const char* name = removal.name.c_str();
    if (!S3_IsObjectName(removal.name)) {
      return Main_refuse(
          "%s: Option, \"-remove-object\", cannot be '%s': it removes objects (s3://), never a "
          "file.\n",
          programName, name);
    }
    const bool ours = std::any_of(files.begin(), files.end(), [&](const GenRelationFile& file) {
      return removal.name == file.path;
    });
    if (!ours) {
      return Main_refuse(
          "%s: Option, \"-remove-object\", cannot be '%s': the run writes no such object.\n",
          programName, name);
    }
  }
  return Status::Ok();
}

// The run's plan from the option settings.
GenRunPlan PlanRun(const MainOptions* settings) {
  GenPlanSettings plan{};
  plan.nRows = settings->nRows;
  for (int i = 0; i < kGenRelationCount; ++i) {
    plan.selected[i] = settings->selected[i] != 0;
    plan.paths[i] = settings->relationFile[i];
  }
  plan.nParts = settings->nParts;
  plan.part = settings->part;
  plan.suffix = FileEnding(settings);
  return Gen_PlanRun(plan);
}

// The relations and their file names: those the options chose, or all of
// them; "-" only for one chosen relation.
Status CompleteFiles(ParseState* state) {
  MainOptions* settings = &state->settings;
  if (std::strcmp(state->filename, "-") == 0 && state->nRelations == 0) {
    return Main_refuse("%s: Cannot specify \"-\" without specifying one of\n%s.\n", programName,
                       Gen_OptionList("", "", ", ", ", ").c_str());
  }
  for (int i = 0; i < kGenRelationCount; ++i) {
    const char* suffix = kGenRelations[i].suffix;
    if (state->nRelations > 0) {
      Main_setFile(settings, settings->selected[i], settings->relationFile[i], state->filename,
                   suffix);
    } else {
      settings->selected[i] = 1;
      const char* prefix = state->filename[0] != '\0' ? state->filename : "zerv";
      std::snprintf(settings->relationFile[i], kNameSize, "%s.%s%s", prefix, suffix,
                    FileEnding(settings));
    }
  }
  return Status::Ok();
}

// Completes the settings of `state` once every argument is read, and makes
// the run's plan from them into *plan.
Status CompleteSettings(ParseState* state, GenRunPlan* plan) {
  MainOptions* settings = &state->settings;
  RETURN_IF_REFUSED(Main_completeParquet(state->parquet, state->compressGiven, settings));
  RETURN_IF_REFUSED(CompleteFiles(state));
  if (settings->nRows == 0) settings->nRows = 100000;
  std::snprintf(settings->tmpDir, kNameSize, "%s",
                state->tmpValue[0] != '\0' ? state->tmpValue : ".");
  if (!settings->fixedFormat && settings->delimChar == '\0') settings->delimChar = ',';
  RETURN_IF_REFUSED(CompleteParts(*state, settings));
  if (settings->format == MainFileFormat::kParquet) {
    RETURN_IF_REFUSED(Main_completeBloom(*settings));
  }
  RETURN_IF_REFUSED(CompleteMachineOptions(settings));
  *plan = PlanRun(settings);
  RETURN_IF_REFUSED(CheckReportName(settings, *plan));
  RETURN_IF_REFUSED(CheckRemovals(*state, *plan));
  RETURN_IF_REFUSED(CheckHead(*state, *plan));
  // A build without the codec's library refuses it, once the command line
  // is otherwise found good.
  return Main_compressNotBuilt(settings->compress.codec);
}

// A parse that is not (yet) a run: no settings, no plan.
MainParse NoRun(MainParse::Outcome outcome, int status, std::string text) {
  MainParse parse{};
  parse.outcome = outcome;
  parse.status = status;
  parse.text = std::move(text);
  return parse;
}

// The refused command line, its message the refusal's.
MainParse Refused(const Status& refusal) { return NoRun(MainParse::kRefused, -1, refusal.what()); }

// What an argument that is no option asks for: the help text, the version,
// or the refusal of the unknown option with the synopsis.
MainParse NoOption(const char* arg) {
  if (std::strncmp(arg, "-he", 3) == 0 || arg[0] == '?' || std::strcmp(arg, "--help") == 0) {
    return NoRun(MainParse::kHelp, 0, Main_helpText());
  }
  if (std::strcmp(arg, "--version") == 0) {
    return NoRun(MainParse::kVersion, 0,
                 std::string("zervgen ") + kVersion + "\nParquet codecs: " + Main_builtCodecs() +
                     "\nText codecs: " + Main_builtTextCodecs() + "\n");
  }
  std::string text;
  Util_Appendf(&text, "%s: Unknown option, '%s'.\n\nSynopsis:\n", programName, arg);
  return NoRun(MainParse::kRefused, -1, text + Main_synopsisText());
}

}  // namespace

MainParse Main_parseArguments(int argc, char** argv) {
  CHECK_REQUIRE(argc > 0);
  CHECK_REQUIRE_TEXT(argv != nullptr, "argv != NULL");
  programName = argv[0] != nullptr ? argv[0] : "";
  ParseState state;
  for (int cur = 1; cur < argc; ++cur) {
    CHECK_ASSERT_TEXT(argv[cur] != nullptr, "argv[i] != NULL");
    bool known = false;
    const Status read = ParseOne(argc, argv, &cur, &state, &known);
    if (!read.ok()) return Refused(read);
    if (!known) return NoOption(argv[cur]);
  }
  MainParse run = NoRun(MainParse::kRun, 0, {});
  const Status complete = CompleteSettings(&state, &run.plan);
  if (!complete.ok()) return Refused(complete);
  run.settings = state.settings;
  run.removals = std::move(state.removals);
  return run;
}

}  // namespace zervgen
