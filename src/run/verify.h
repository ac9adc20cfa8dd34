// verify.h: checking existing relation files against the bytes a run
// would write to them. Each file of a relation's plan is read (standard
// input for "-") and compared byte for byte with the bytes the relation
// writer makes for it, chunk by chunk as they are made, so a check costs
// what generating the file costs plus reading it. One line per file on
// standard output tells the outcome, in the manner of "sha256sum -c":
//   NAME: OK (R rows)
//   NAME: OK (R rows; the same content in other bytes)
//   NAME: FAILED: where and how the file differs
// Creates, changes and removes no file.
#ifndef ZERVGEN_SRC_RUN_VERIFY_H_
#define ZERVGEN_SRC_RUN_VERIFY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/columns.h"
#include "output/compress.h"
#include "run/file_check.h"
#include "run/plan.h"
#include "run/schemas.h"
#include "run/writer.h"

namespace zervgen {

// Files checked, and how many of them failed.
struct GenVerifyTally {
  int files = 0;
  int failed = 0;
  int outputError = 0;  // errno of the first line that could not be written; 0: none
  bool json = false;    // each file told as one JSON object on a line of its own
};

// Generates the relation of `plan` and checks each of its files against
// the bytes of a format made by `makeFormat` (none: text rows), printing
// one line per file on standard output and counting it in *tally.
// `parquet` tells that the bytes are a Parquet file (told by byte offset,
// row group and column) rather than text rows (told by row). A file that
// cannot be opened is told as missing (or unreadable) without making its
// bytes; a file found to differ stops the making of its bytes there.
// REQUIRES: cb != NULL, tally != NULL
// NoMemory when the columns or a file's bytes could not have the
// memory they need.
// With `compressed` (not kNone), each file is read as compressed text and
// its text compared with the rows of `makeFormat`'s (text) format.
[[nodiscard]] Status Gen_VerifyRelation(GenControlBlock* cb, const GenRelationPlan& plan,
                                        const GenFormatMaker& makeFormat, bool parquet,
                                        GenVerifyTally* tally,
                                        TextCodec compressed = TextCodec::kNone);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_VERIFY_H_
