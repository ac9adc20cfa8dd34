// base/report.h: the optional report file. Owns the report's descriptor. Every
// line goes through Report, which writes nothing while no report is open.
// Lines are written straight to the descriptor (no buffer), so a signal
// handler can add its lines and close the report at any moment.
#ifndef ZERVGEN_SRC_BASE_REPORT_H_
#define ZERVGEN_SRC_BASE_REPORT_H_

#include <cstddef>

namespace zervgen {

// Creates the report file (never overwriting). A file that cannot be created
// is told on standard error and leaves the run without a report.
// REQUIRES: path != NULL, no report open
void Report_OpenFile(const char* path);

// Formatted write to the report; returns the characters written, 0 when no
// report is open. A failed write closes the report (later lines write
// nothing) and raises XEPT_RESOURCE, after "Report file error." and the
// reason on standard error.
// REQUIRES: format != NULL
int Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True once a write to the report last opened has failed; its reason (a full disk, or
// the system's own) has then been told on standard error, so the run's end
// need not call it an internal error.
bool Report_WriteFailed();

// Closes the report if one is open; harmless when called again.
void Report_CloseFile();

// Closes the report at the end of a run that went well. A close that fails
// may have lost the last lines as a failed write does, and is told and
// raised the same way ("Report file error." and the reason on standard
// error, XEPT_RESOURCE).
void Report_Finish();

// Nonzero while a report is open.
bool Report_IsOpen();

// Async-signal-safe: writes `n` bytes to the report if one is open, and
// closes it. For the signal handler only.
void Report_WriteRaw(const char* text, std::size_t n);
void Report_CloseRaw();

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_REPORT_H_
