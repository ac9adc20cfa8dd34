// run/write_failure.cpp: the lines the relation writer prints when a write
// fails.
#include "run/write_failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/progname.h"
#include "base/report.h"

namespace zervgen {
namespace {

// Room for a removal line: the leading text, a name and the longest reason.
constexpr std::size_t kRemovalNoteSize = 640;

}  // namespace

void Gen_ReportRemoval(const Removal& removal) {
  char line[kRemovalNoteSize];
  const std::size_t len = Signals_RemovalNote(removal, line, sizeof line);
  if (len > 0) Report("%.*s", static_cast<int>(len), line);
}

void Gen_ExplainWriteFailure(std::int32_t row, std::int32_t total, int error,
                             std::string_view storeReason) {
  const long n = static_cast<long>(total);
  if (!storeReason.empty()) {
    Report(
        "*** Error: Write error while writing tuple #%d of %ld.\n\tThe reason given is \"%.*s\".\n",
        row, n, static_cast<int>(storeReason.size()), storeReason.data());
  } else if (error == EPIPE) {
    Report("*** Error: Output closed by its reader while writing tuple #%d of %ld.\n", row, n);
  } else if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
    Report("*** Error: No disk space while writing tuple #%d of %ld.\n", row, n);
  } else {
    Report(
        "*** Error: Write error while writing tuple #%d of %ld.\n\tThe reason given is \"%s\".\n",
        row, n, std::strerror(error));
  }
}

void Gen_ExplainWriteFailureOnStderr(int error, std::string_view storeReason) {
  if (!storeReason.empty()) {
    std::fprintf(stderr, "%s: Write error: \"%.*s\".\n", programName,
                 static_cast<int>(storeReason.size()), storeReason.data());
    return;
  }
  if (error == EPIPE) return;
  if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
    std::fprintf(stderr, "%s: File system full.\n", programName);
  } else {
    std::fprintf(stderr, "%s: Write error: \"%s\".\n", programName, std::strerror(error));
  }
}

}  // namespace zervgen
