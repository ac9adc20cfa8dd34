// run/write_failure.h: how the relation writer tells a failed write: the
// report lines naming the row and the reason, the removal of the partial
// file, and the line on standard error.
#ifndef ZERVGEN_SRC_RUN_WRITE_FAILURE_H_
#define ZERVGEN_SRC_RUN_WRITE_FAILURE_H_

#include <cstdint>
#include <string_view>

#include "base/signals.h"

namespace zervgen {

// The report line of a removal: the file deleted, or why it was not.
void Gen_ReportRemoval(const Removal& removal);

// The report lines of a write that failed with `error` at tuple #row of
// `total`: a full disk (or quota, or file-size limit) is told as such; a
// reader that went away only in the report, as other filters stay quiet
// about it; any other failure with the system's own reason, or with
// `storeReason` when it is not empty (an object the store did not take).
void Gen_ExplainWriteFailure(std::int32_t row, std::int32_t total, int error,
                             std::string_view storeReason = {});

// The standard-error line of a write that failed with `error`; none for a
// reader that went away (EPIPE).
void Gen_ExplainWriteFailureOnStderr(int error, std::string_view storeReason = {});

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_WRITE_FAILURE_H_
