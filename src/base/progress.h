// base/progress.h: the progress of the relation being generated, on a terminal.
// Shown only when standard error is a terminal: one line, rewritten in place
// at most a few times a second, first while the relation's columns are
// generated (columns done of total), then while its rows are written (rows,
// percent, rate, time elapsed and left); when the relation is done the line
// gives way to a one-line summary (rows, bytes, seconds, MB/s). Nothing at
// all is written when standard error is not a terminal. Only the thread
// that began the relation (the main thread) writes; calls from other
// threads do nothing.
#ifndef ZERVGEN_SRC_BASE_PROGRESS_H_
#define ZERVGEN_SRC_BASE_PROGRESS_H_

#include <cstddef>
#include <cstdint>

namespace zervgen {

// Starts the relation's clock; decides whether anything is shown.
// REQUIRES: relName != NULL and stays valid until Progress_Finish
void Progress_Begin(const char* relName, std::int32_t rows);
// `done` of `total` columns are generated; shows the column line when it
// changed or a while has passed. Nothing for total 0.
void Progress_Columns(int done, int total);
// `rows` more rows and `bytes` more bytes are written (the parts of a
// relation add up); the first call starts the row phase.
void Progress_Rows(std::int32_t rows, std::size_t bytes);
// Clears the line and writes the relation's summary line.
void Progress_Finish();
// Clears the line; harmless when none is shown. Async-signal-safe.
void Progress_End();

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_PROGRESS_H_
