// app/datagen.cpp: the run driver: the run sequence, the exception path, the
// cleanup of the column storage, the relation-file record and the signal
// handler.
#include "app/datagen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "app/describe.h"
#include "app/parquet_options.h"
#include "base/except.h"
#include "base/perf.h"
#include "base/pool.h"
#include "base/progress.h"
#include "base/report.h"
#include "base/timeutil.h"
#include "base/util.h"
#include "output/output.h"
#include "run/compressed_format.h"
#include "run/parquet_format.h"
#include "run/verify.h"

namespace zervgen {

namespace {

// The control block of the run under way, for the two endings that have no
// handle to the run: the signal handler (which removes its temporary files)
// and the last-resort cleanup of a raise that no handler takes. Set when
// the handlers are installed, cleared when the run returns.
GenControlBlock* volatile signalCb = nullptr;

constexpr int kHandledSignals[] = {SIGILL, SIGSEGV, SIGFPE, SIGTERM, SIGABRT, SIGINT};

void AppendNumber(char* buf, std::size_t cap, std::size_t* len, int value) {
  char digits[24];
  std::size_t n = Util_FormatUnsigned(digits, static_cast<unsigned long>(value));
  digits[n] = '\0';
  Signals_AppendText(buf, cap, len, digits);
}

// Writes the signal's lines to the report and standard error.
void SignalMessages(int sig) {
  const bool termination = Signals_IsEnding(sig);
  const bool unexpected = Signals_IsFault(sig);
  if (!termination && !unexpected) return;
  char line[kNameSize + 128];
  std::size_t len = 0;
  Signals_AppendText(line, sizeof line, &len,
                     termination ? "*** Error: Caught termination signal "
                                 : "*** Error: Terminated by unexpected signal ");
  AppendNumber(line, sizeof line, &len, sig);
  Signals_AppendText(line, sizeof line, &len, ".\n");
  Report_WriteRaw(line, len);
  len = 0;
  Signals_AppendText(line, sizeof line, &len, programName);
  Signals_AppendText(
      line, sizeof line, &len,
      termination ? ": Terminated by user.\n" : ": Terminated by unexpected signal.\n");
  (void)Util_WriteAll(STDERR_FILENO, line, len);
}

// Closes and removes the recorded relation file (only when its name still
// leads to it), noting in the report what became of it.
void SignalRemoveRelationFile() {
  char line[kNameSize + 96];
  const std::size_t len = Signals_RemovalNote(Signals_RemoveRelationFile(), line, sizeof line);
  if (len > 0) Report_WriteRaw(line, len);
}

// Removes the temporary files of the control block. Memory is left to the
// process's end: freeing it is not safe in a signal handler.
void SignalRemoveTempFiles(GenControlBlock* cb) {
  for (int i = 0; i < kGenSlots; ++i) {
    GenAttr* attr = Gen_Slot(cb, i);
    if (attr->inUse == 0 || attr->location != GEN_TEMP) continue;
    ::close(attr->fd);
    if (attr->fileName != nullptr) ::unlink(attr->fileName);
    attr->inUse = 0;
  }
}

// Installs the handler for `sig`, with every ending signal and fault held
// while it runs, so that a second signal (or a fault a worker hands on)
// cannot start the cleanup again.
bool InstallHandler(int sig) {
  struct sigaction action {};
  action.sa_handler = Main_signalHandler;
  Signals_EndingSet(&action.sa_mask);
  for (int other = 1; other < SIGRTMIN; ++other) {
    if (Signals_IsFault(other)) sigaddset(&action.sa_mask, other);
  }
  action.sa_flags = SA_RESTART;
  return ::sigaction(sig, &action, nullptr) == 0;
}

bool AlwaysHandled(int sig) {
  for (int handled : kHandledSignals) {
    if (sig == handled) return true;
  }
  return false;
}

// The further ending signals and faults, each unless the run started with
// it ignored: a run under nohup survives a closed terminal, a background
// job a quit key.
void InstallMoreEndingHandlers() {
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    if (AlwaysHandled(sig) || !(Signals_IsEnding(sig) || Signals_IsFault(sig))) continue;
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    if (!InstallHandler(sig)) {
      Report("*** Warning: Could not set up signal handler for %d\n", sig);
    }
  }
}

void WriteHeaderSettings(const MainOptions& settings, int argc, char** argv);

}  // namespace

void Main_cleanupAttr(GenAttr* attr) { Gen_releaseAttr(attr); }

void Main_cleanup(GenControlBlock* cb) {
  for (int i = 0; i < kGenSlots; ++i) Main_cleanupAttr(Gen_Slot(cb, i));
  Gen_releaseScratch(cb);
}

void Main_closeReport(PerfTimer* totalTimer) {
  CHECK_REQUIRE_TEXT(totalTimer != nullptr, "totalTimer != NULL");
  Perf_Stop(totalTimer);
  char text[80];
  Perf_Format(totalTimer, text);
  Report("\nTotal Time: %s\n", text);
  Report_Finish();
}

void Main_initSignalHandlers(GenControlBlock* cb) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  for (int sig : kHandledSignals) {
    if (!InstallHandler(sig)) {
      Report("*** Warning: Could not set up signal handler for %d\n", sig);
    }
  }
  // Numbers 30 and 31 (SIGPWR and SIGSYS here) end the run like every
  // other signal whose default action ends the process: ignored, a forced
  // SIGSYS would still end it, leaving the partial file behind.
  InstallMoreEndingHandlers();
  struct sigaction cpu {};
  if (::sigaction(SIGXCPU, nullptr, &cpu) == 0 && cpu.sa_handler == Main_signalHandler) {
    Signals_LeadCpuLimit();
  }
  // A file-size limit makes writes fail instead of killing the process, so
  // the full-disk path removes the partial file.
  std::signal(SIGXFSZ, SIG_IGN);
  signalCb = cb;
}

// Not instrumented by the address sanitizer: its check of the stack before
// _exit does not know the stack a handler may run on, and its warning would
// add to the messages.
[[gnu::no_sanitize_address]] void Main_signalHandler(int sig) {
  // Ending signals are held by the workers, so only a fault (raised in a
  // worker, or sent to the process and taken by one) lands here on a
  // worker. The main thread, which records and writes the files, does the
  // cleanup: the fault is handed to it and the worker waits for the end,
  // so that no two cleanups run at once and no write of the main thread
  // meets a file already closed. (A thread that is not the run's, such as
  // a sanitizer's own, cleans up as the main thread would.)
  if (Signals_OnWorkerThread()) {
    const pid_t process = ::getpid();  // the main thread's id
    (void)::syscall(SYS_tgkill, process, process, sig);
    for (;;) ::pause();
  }
  // One cleanup only: a thread that is not the run's may take a signal at
  // the same time as the main thread takes one (a sanitizer's own thread,
  // say); the later waits for the first to end the process.
  static std::atomic<bool> cleaning{false};
  if (cleaning.exchange(true)) {
    for (;;) ::pause();
  }
  std::signal(sig, SIG_IGN);
  Progress_End();
  SignalMessages(sig);
  SignalRemoveRelationFile();
  GenControlBlock* const cb = signalCb;
  if (cb != nullptr) {
    SignalRemoveTempFiles(cb);
    signalCb = nullptr;
  }
  Report_CloseRaw();
  ::_exit(255);
}

void Main_openReport(const MainOptions& settings, int argc, char** argv, PerfTimer* totalTimer) {
  CHECK_REQUIRE(argc > 0);
  CHECK_REQUIRE_TEXT(argv != nullptr, "argv != NULL");
  CHECK_REQUIRE_TEXT(totalTimer != nullptr, "totalTimer != NULL");
  // A check writes no file: the report of -r is left out.
  if (settings.reportFile[0] != '\0' && !settings.verify) Report_OpenFile(settings.reportFile);
  Perf_Init(totalTimer);
  Perf_Start(totalTimer);
  WriteHeaderSettings(settings, argc, argv);
  if (settings.format == MainFileFormat::kParquet) {
    Report("Fmt:  parquet, %s pages, %ld rows per row group.\n", Main_codecText(settings).c_str(),
           static_cast<long>(settings.rowGroupRows));
    if (settings.pageBytes != 0 || settings.pageIndex) {
      Report("      pages of %ld bytes%s.\n",
             static_cast<long>(settings.pageBytes != 0 ? settings.pageBytes : kParquetPageBytes),
             settings.pageIndex ? ", with column and offset indexes" : "");
    }
    if (settings.bloomColumns[0] != '\0') {
      Report("      bloom filters of %s.\n", settings.bloomColumns);
    }
  } else if (settings.fixedFormat) {
    Report("Fmt:  fixed.\n");
    Report("%s", Gen_ColumnMap(settings.nChars).c_str());
  } else {
    Report("Fmt:  variable.\n");
  }
  const TextCompression& compress = settings.compress;
  if (compress.codec != TextCodec::kNone) {
    Report("Comp: %s level %d, one %s per 4096 or 8192 rows; files end in \"%s\".\n",
           Compress_Name(compress.codec), compress.level,
           compress.codec == TextCodec::kZstd ? "frame" : "member",
           Compress_Suffix(compress.codec));
  }
  Report("\n");
}

namespace {

constexpr const char* kMonthNames[12] = {"January",   "Februrary", "March",    "April",
                                         "May",       "June",      "July",     "August",
                                         "September", "October",   "November", "December"};

void WriteHeaderSettings(const MainOptions& settings, int argc, char** argv) {
  TimeRecord now{};
  TU_GetTime(&now);
  Report("\t\t\t%s\n", "Z E R V G E N   R E P O R T");
  Report("\t\t\t%s\n\n", "=============   ===========");
  Report("Date: %s %d, %d.\n", kMonthNames[now.month - 1], now.day, now.year);
  Report("Rows: %ld.\n", static_cast<long>(settings.nRows));
  if (settings.part != 0) {
    Report("Parts: %ld of %ld.\n", static_cast<long>(settings.part),
           static_cast<long>(settings.nParts));
  } else if (settings.nParts != 0) {
    Report("Parts: all %ld.\n", static_cast<long>(settings.nParts));
  }
  if (settings.nChars == 0) {
    Report("Fill: none specified.\n");
  } else {
    Report("Fill: %d character%s.\n", settings.nChars, settings.nChars == 1 ? "" : "s");
  }
  Report("Temp: %s\n", settings.tmpDir);
  Report("Cmd:  ");
  for (int i = 0; i < argc; ++i) Report("%s%s", argv[i], i + 1 < argc ? " " : "");
  Report("\n");
  Report("Ver:  %s.\n", kVersion);
}

}  // namespace

MainParse Main_processArguments(int argc, char** argv) {
  MainParse parse = Main_parseArguments(argc, argv);
  switch (parse.outcome) {
    case MainParse::kRun:
      return parse;
    case MainParse::kVersion:
      std::fputs(parse.text.c_str(), stdout);
      break;
    case MainParse::kHelp:
    case MainParse::kRefused:
      std::fputs(parse.text.c_str(), stderr);
      break;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(parse.status);
}

namespace {

// Whether a relation of the plan goes to standard output ("-f -").
bool WritesToStandardOutput(const GenRunPlan& plan) {
  for (const GenRelationFile& file : Gen_PlanFiles(plan)) {
    if (std::strcmp(file.path, "-") == 0) return true;
  }
  return false;
}

GenParquetSettings ParquetSettings(const MainOptions& settings) {
  GenParquetSettings parquet;
  parquet.codec = settings.parquetCodec;
  parquet.rowGroupRows = settings.rowGroupRows;
  if (settings.zstdLevel != 0) parquet.pages.zstdLevel = settings.zstdLevel;
  if (settings.pageBytes != 0)
    parquet.pages.pageBytes = static_cast<std::size_t>(settings.pageBytes);
  parquet.pageIndex = settings.pageIndex != 0;
  parquet.bloomColumns = Main_bloomColumns(settings);
  return parquet;
}

// What makes each file's format: Parquet files, or text rows, with the
// texts in `framing`, the run's one framing.
GenFormatMaker FormatMaker(const MainOptions& settings, const OutputFormat& framing) {
  // -verify compares a compressed file's text with the rows' text.
  const TextCompression compression = settings.compress;
  if (settings.format != MainFileFormat::kParquet && compression.codec != TextCodec::kNone &&
      !settings.verify) {
    return [framing, compression](const char*, std::span<const GenColumnSpec> fields) {
      return Gen_CompressedFormat(framing, fields, compression);
    };
  }
  if (settings.format != MainFileFormat::kParquet) {
    return
        [framing](const char*, std::span<const GenColumnSpec>) { return Gen_TextFormat(framing); };
  }
  const GenParquetSettings parquet = ParquetSettings(settings);
  return [framing, parquet](const char* relName, std::span<const GenColumnSpec> fields) {
    return Gen_ParquetFormat(relName, fields, framing, parquet);
  };
}

// The memory the writer of the run's files needs besides the columns; 0
// for text, whose writer falls back on its reserved buffer.
std::size_t WriterBytes(const MainOptions& settings) {
  if (settings.compress.codec != TextCodec::kNone) {
    return Gen_CompressedWriterBytes(settings.compress);
  }
  if (settings.format != MainFileFormat::kParquet) return 0;
  return Gen_ParquetWriterBytes(ParquetSettings(settings), settings.nRows, settings.nChars);
}

// Checks the files of the plan instead of writing them, with every column
// in memory: no file is created. *exitStatus is 0 when all are as they
// should be, 1 otherwise; NoMemory when the columns or a file's bytes
// could not have the memory they need.
Status Verify(GenControlBlock* cb, const MainParse& run, const GenFormatMaker& makeFormat,
              PerfTimer* totalTimer, int* exitStatus) {
  const MainOptions& settings = run.settings;
  cb->noTempFiles = 1;
  Gen_InitializeCB(cb, settings.nRows, settings.nChars, settings.tmpDir);
  GenVerifyTally tally;
  tally.json = settings.json != 0;
  for (const GenRelationPlan& relation : run.plan.relations) {
    const Status status =
        Gen_VerifyRelation(cb, relation, makeFormat, settings.format == MainFileFormat::kParquet,
                           &tally, settings.compress.codec);
    if (!status.ok()) return status;
  }
  Main_cleanup(cb);
  Main_closeReport(totalTimer);
  // Lines that did not reach their reader leave the check unproven.
  if (tally.outputError != 0) {
    std::fprintf(stderr, "%s: Write error: \"%s\".\n", programName,
                 std::strerror(tally.outputError));
    *exitStatus = -1;
  } else if (tally.failed != 0) {
    std::fprintf(stderr, "%s: %d of %d files did NOT verify.\n", programName, tally.failed,
                 tally.files);
    *exitStatus = 1;
  }
  return Status::Ok();
}

// Writes `text` whole to standard output; IoError with the errno of the
// failure when it could not.
Status WriteStandardOutput(const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) {
    return Status::Ok();
  }
  return Status::IoError("standard output", {}, errno != 0 ? errno : EIO);
}

// -describe: prints the run's document; *exitStatus -1 when it could not be
// written whole. A reader that stopped early (a closed pipe) hears nothing
// more, as with rows.
Status Describe(const MainParse& run, int argc, char** argv, int* exitStatus) {
  const Status written = WriteStandardOutput(Main_DescribeText(run.settings, run.plan, argc, argv));
  if (!written.ok()) {
    if (written.error() != EPIPE) {
      std::fprintf(stderr, "%s: Write error: \"%s\".\n", programName, written.what().c_str());
    }
    *exitStatus = -1;
  }
  return Status::Ok();
}

// The files of the plan, and the manifest, checked before any column is
// generated.
void CheckFilesToCreate(const MainParse& run) {
  std::vector<GenRelationFile> files = Gen_PlanFiles(run.plan);
  if (run.settings.manifestFile[0] != '\0')
    files.push_back({"manifest", run.settings.manifestFile});
  Gen_CheckRelationFiles(files);
}

// Writes the manifest of the complete run, created new and recorded like a
// relation file while it is written: a manifest that cannot be written
// whole is removed. *exitStatus -1 then; the relation files stay.
void WriteManifest(const MainParse& run, int argc, char** argv,
                   const std::vector<MainWritten>& written, int* exitStatus) {
  const std::string text = Main_ManifestText(run.settings, run.plan, argc, argv, written);
  RelationFile file(run.settings.manifestFile, "manifest");
  std::size_t done = 0;
  int error = file.Write(text.data(), text.size(), &done);
  if (error == 0) error = file.Close();
  if (error == 0) return;
  (void)file.Remove();
  const std::string reason =
      file.storeFailure().empty() ? std::strerror(error) : file.storeFailure();
  std::fprintf(stderr, "%s: The manifest, '%s', could not be written: \"%s\"; it was removed.\n",
               programName, run.settings.manifestFile, reason.c_str());
  *exitStatus = -1;
}

// The run after the handler is armed; returns Ok after a complete run, with
// its exit status in *exitStatus, and NoMemory (the relation file
// removed) when memory the run cannot do without could not be had.
Status Run(GenControlBlock* cb, int argc, char** argv, int* exitStatus) {
  Main_initSignalHandlers(cb);
  const MainParse run = Main_processArguments(argc, argv);
  const MainOptions& settings = run.settings;
  // Standard output carries nothing but rows (or a check's lines) from here
  // on: every check line, of the set-up and of the writing, goes to standard
  // error, where a loader reading the pipe does not take it for rows.
  // Decided here only.
  Xept_SetCheckLinesToStderr(WritesToStandardOutput(run.plan) || settings.verify ||
                             settings.describe || settings.head || !run.removals.empty());
  if (settings.describe) return Describe(run, argc, argv, exitStatus);
  if (!run.removals.empty() || settings.head) {
    *exitStatus = settings.head ? Main_HeadObjects(run.plan) : Main_RemoveObjects(run.removals);
    return Status::Ok();
  }
  PerfTimer totalTimer{};
  Main_openReport(settings, argc, argv, &totalTimer);
  const OutputFormat framing = Output_MakeFormat(settings.delimChar, settings.fixedFormat);
  cb->threads = settings.nThreads;
  // Both formats read the columns of few values as run numbers.
  cb->keepRunNumbers = 1;
  const GenFormatMaker makeFormat = FormatMaker(settings, framing);
  if (settings.verify) return Verify(cb, run, makeFormat, &totalTimer, exitStatus);
  // Fails before the long work when a file of the plan cannot be created,
  // with the writer's own messages, in the order the files are written.
  CheckFilesToCreate(run);
  Gen_CheckTempFolder(settings.tmpDir);
  Gen_InitializeCB(cb, settings.nRows, settings.nChars, settings.tmpDir, WriterBytes(settings));
  std::vector<MainWritten> written;
  const GenFileAction write = [&written](GenControlBlock* block, const GenFilePlan& file,
                                         const char* relName, std::span<const GenColumnSpec> fields,
                                         GenFormat* format) {
    std::uint64_t bytes = 0;
    const Status status =
        Gen_writeRelation(block, file.path.c_str(), relName, fields, file.rows, format, &bytes);
    if (status.ok()) written.push_back({relName, &file, bytes});
    return status;
  };
  for (const GenRelationPlan& relation : run.plan.relations) {
    const Status status = Gen_Relation(cb, relation, makeFormat, write);
    if (!status.ok()) return status;
  }
  Main_cleanup(cb);
  Main_closeReport(&totalTimer);
  if (settings.manifestFile[0] != '\0') WriteManifest(run, argc, argv, written, exitStatus);
  return Status::Ok();
}

// Removes everything the run leaves behind: the relation file being written
// and the column storage of `cb` with its temporary files. Harmless when
// repeated.
void CleanupRun(GenControlBlock* cb) {
  {
    SignalGuard guard;
    (void)Signals_RemoveRelationFile();
  }
  if (cb != nullptr) Main_cleanup(cb);
}

// The last-resort cleanup: the run's control block is the one recorded for
// the signal handler.
void CleanupRecordedRun() { CleanupRun(signalCb); }

// Clears the record of the run's control block when the run returns, before
// the block goes out of scope.
struct ForgetOnReturn {
  ForgetOnReturn() = default;
  ForgetOnReturn(const ForgetOnReturn&) = delete;
  ForgetOnReturn& operator=(const ForgetOnReturn&) = delete;
  ~ForgetOnReturn() { signalCb = nullptr; }
};

// Writes `line` to the report; a report that fails now ends nothing more.
void ReportQuietly(const char* line) {
  XeptFrame* quiet = Xept_GetBuffer(XEPT_ANY);
  try {
    Report("%s", line);
    Xept_PopHandler();
  } catch (const XeptRaised& raised) {
    if (raised.frame != quiet) throw;
  }
}

// How a run ended that did not complete: a raise of a class, or memory the
// run could not do without.
struct RunFailure {
  bool outOfMemory;
  std::int16_t cls;  // the class raised; unused when out of memory
};

// The failed run's last lines. Classes 32 and 33, and a report write that
// failed (class 6, told with its reason), have been explained where they
// arose.
void ExplainFailure(const RunFailure& failure) {
  const std::int16_t cls = failure.cls;
  if (failure.outOfMemory) {
    ReportQuietly("*** Error: Not enough memory to continue.\n");
    std::fprintf(stderr, "%s: Out of memory.\n", programName);
  } else if ((cls < XEPT_GEN_FAILED || cls > XEPT_GEN_DISK_FULL) &&
             !(cls == XEPT_RESOURCE && Report_WriteFailed())) {
    char line[64];
    std::snprintf(line, sizeof line, "*** ERROR: Internal error %d\n", cls);
    ReportQuietly(line);
    std::fprintf(stderr, "%s: Internal error %d.\n", programName, cls);
  }
}

// Ends a failed run: the files go first, whatever the report does.
int EndFailedRun(GenControlBlock* cb, const RunFailure& failure) {
  CleanupRun(cb);
  Xept_SetLastResort(nullptr);
  ExplainFailure(failure);
  Report_CloseFile();
  return -1;
}

}  // namespace

int Main_Run(int argc, char** argv, Env* env) {
  Env_Set(env);
  // A closed standard descriptor gets a stand-in before anything is opened:
  // a report or relation file must never take its number.
  Util_OccupyStandardDescriptors();
  const char* invoked = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
  // A closed pipe is seen as a failed write, from the banner on: a reader of
  // standard error that went away does not end the run.
  std::signal(SIGPIPE, SIG_IGN);
  std::fprintf(stderr, "%s - %s\n", invoked, kBannerText);
  Gen_TuneThreads();
  // The run's control block, recorded for the signal handler until the run
  // returns.
  GenControlBlock cb{};
  const ForgetOnReturn forget;
  Xept_Reset();
  Xept_SetLastResort(CleanupRecordedRun);
  // Two frames: a raise while the first one's raise unwinds (a report line
  // written on the way out failing too) still finds the second.
  XeptFrame* outer = Xept_GetBuffer(XEPT_ANY);
  XeptFrame* handler = Xept_GetBuffer(XEPT_ANY);
  Status status = Status::Ok();
  int exitStatus = 0;
  try {
    status = Run(&cb, argc, argv, &exitStatus);
  } catch (const XeptRaised& raised) {
    if (raised.frame != handler && raised.frame != outer) throw;
    if (raised.frame == handler) Xept_PopHandler();  // the outer frame
    return EndFailedRun(&cb, RunFailure{false, raised.cls});
  } catch (const std::bad_alloc&) {
    // The library could not have memory for a container of the run.
    status = Status::NoMemory();
  }
  if (status.IsNoMemory()) {
    Xept_Reset();
    return EndFailedRun(&cb, RunFailure{true, 0});
  }
  Xept_PopHandler();
  Xept_PopHandler();
  Xept_SetLastResort(nullptr);
  return exitStatus;
}

}  // namespace zervgen
