// progress.h: the progress line of the relation being written. Shown only
// when standard error is a terminal: one line, rewritten in place at most a
// few times a second, and cleared when the relation is done. Nothing at all
// is written when standard error is not a terminal.
#ifndef ZERVGEN_SRC_PROGRESS_H_
#define ZERVGEN_SRC_PROGRESS_H_

#include <cstdint>

namespace zervgen {

void Progress_Begin(const char* relName, std::int32_t total);
void Progress_Update(std::int32_t rowsDone);
// Clears the line; harmless when none is shown. Async-signal-safe.
void Progress_End();

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PROGRESS_H_
