// app/datagen.h: the run driver and the command line. The parser hands the
// driver the run's settings and plan; the driver owns the run: its control
// block, its total timer, its exception handlers and the signal handler.
#ifndef ZERVGEN_SRC_APP_DATAGEN_H_
#define ZERVGEN_SRC_APP_DATAGEN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "app/describe.h"
#include "app/main_options.h"
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
  // kRun: the objects of the run -remove-object names, in the order given;
  // when there are any, they are removed and nothing else is done.
  std::vector<MainRemoval> removals;
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
