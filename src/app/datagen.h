// app/datagen.h: the run driver and the command line. The parser hands the
// driver the run's settings and plan; the driver owns the run: its control
// block, its total timer, its exception handlers and the signal handler.
#ifndef ZERVGEN_SRC_APP_DATAGEN_H_
#define ZERVGEN_SRC_APP_DATAGEN_H_

#include <cstdint>
#include <string>

#include "base/env.h"
#include "base/perf.h"
#include "base/progname.h"
#include "base/signals.h"
#include "core/columns.h"
#include "output/compress.h"
#include "parquet/format.h"
#include "run/plan.h"
#include "run/schemas.h"

namespace zervgen {

// Room for a name of kMaxNameChars and the longest suffix made for it
// (".hun.parquet"), with its NUL.
inline constexpr int kNameSize = 528;
// A part file's name (with its NUL) must fit this many characters, and
// ".parquet" more for Parquet parts.
inline constexpr int kPartNameLimit = 520;
// Every name the run may make is recorded whole for the signal handler.
static_assert(kNameSize - 1 <= static_cast<int>(kRecordNameChars));
static_assert(kPartNameLimit - 1 + 8 <= static_cast<int>(kRecordNameChars));  // ".parquet"
// Longest file or directory name the command line accepts.
inline constexpr int kMaxNameChars = 513;
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
  char manifestFile[kNameSize];  // -manifest: the run's record; "" for none
};

// The whole run, meeting the world through `env` (null: the real
// environment); returns the exit status: 0 after a complete run (with
// -verify: every file as it should be), 1 when -verify found a file that is
// not, -1 after a failure.
int Main_Run(int argc, char** argv, Env* env = nullptr);

// What the command line asks for.
struct MainParse {
  enum Outcome { kRun, kHelp, kVersion, kRefused };
  Outcome outcome;
  int status;            // the exit status of kHelp, kVersion (0) and kRefused (-1)
  std::string text;      // kHelp: the help text; kVersion: the version line;
                         // kRefused: the message (for an unknown option, with the synopsis)
  MainOptions settings;  // kRun: the settings, complete
  GenRunPlan plan;       // kRun: the relations and files the settings ask for
};

// Reads the command line into the settings it hands back (each parse starts
// from none) and says what to do; prints nothing and ends nothing. Refusals
// come in the order the arguments are read, the first one ending the parse.
// REQUIRES: argc > 0, argv != NULL
MainParse Main_parseArguments(int argc, char** argv);
// Parses the command line; returns the parse only when it is a run (its
// settings and plan): otherwise writes the parser's text (standard error;
// the version on standard output) and ends the process with its status.
MainParse Main_processArguments(int argc, char** argv);
// The synopsis printed with the help text and after an unknown option.
std::string Main_synopsisText();

// Opens the report (when `settings` ask for one), starts `totalTimer` and
// writes the report header.
// REQUIRES: argc > 0, argv != NULL, totalTimer != NULL
void Main_openReport(const MainOptions& settings, int argc, char** argv, PerfTimer* totalTimer);
// Stops `totalTimer`, writes it, closes the report.
// REQUIRES: totalTimer != NULL
void Main_closeReport(PerfTimer* totalTimer);

// Releases the storage of all slots (memory and temporary files); releasing
// twice is harmless.
void Main_cleanup(GenControlBlock* cb);
void Main_cleanupAttr(GenAttr* attr);

// Installs the signal handler for SIGILL, SIGSEGV, SIGFPE, SIGTERM, SIGABRT
// and SIGINT, and for every further ending signal and fault (signals.h)
// that the run did not start with ignored; ignores SIGXFSZ; records `cb`
// for the handler and the last-resort cleanup (Main_Run forgets it when
// the run returns).
// REQUIRES: cb != NULL
void Main_initSignalHandlers(GenControlBlock* cb);
[[noreturn]] void Main_signalHandler(int sig);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_APP_DATAGEN_H_
