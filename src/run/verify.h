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
// kOutOfMemory when the columns or a file's bytes could not have the
// memory they need.
// With `compressed` (not kNone), each file is read as compressed text and
// its text compared with the rows of `makeFormat`'s (text) format.
[[nodiscard]] GenWriteStatus Gen_VerifyRelation(GenControlBlock* cb, const GenRelationPlan& plan,
                                                const GenFormatMaker& makeFormat, bool parquet,
                                                GenVerifyTally* tally,
                                                TextCodec compressed = TextCodec::kNone);

// The check of one file, as Gen_VerifyRelation makes it for each: takes
// the bytes the writer makes for the file (GenByteCheck) and compares them
// with the file's own, from its start; the first difference stops it.
class GenFileCheck : public GenByteCheck {
 public:
  // After every byte was taken and matched: the file must end here.
  virtual void Finish() = 0;
  // Why the file failed (the text after "FAILED: "); empty when it did not.
  virtual const std::string& failure() const = 0;
  // Whether it failed because it could not be read, or decompressed, to
  // its end, rather than by what it holds.
  virtual bool unreadable() const = 0;
  // Whether the file's bytes are the writer's, every one: false for a file
  // found to hold the same content in other bytes (a Parquet file whose
  // pages another codec library compressed, or laid out otherwise).
  virtual bool exact() const { return true; }
  // The byte offset of the file where a difference, or the file's end, was
  // found; UINT64_MAX when the failure has none.
  virtual std::uint64_t failureOffset() const { return UINT64_MAX; }
};

// A check of the file open at `fd`, positioned at its start, whose bytes are
// the rows `rows` of a relation (or a Parquet file when `parquet`). When
// `mappable` (not standard input) and the file is a regular one, its bytes
// are compared where they lie in the page cache, a mapped window at a time;
// otherwise they are read. Either way every outcome is worded alike, also
// for a file cut short or changed while it is checked.
// REQUIRES: fd >= 0, and fd stays open while the check lives
// With `text`, the file's bytes are those `text` reads from it (its
// decompressed text); they are then never mapped.
std::unique_ptr<GenFileCheck> Gen_NewFileCheck(int fd, bool mappable, bool parquet, GenRows rows,
                                               TextDecompressor* text = nullptr);

// `n` bytes at `p` as they are shown in a line: printable ASCII as it is,
// '\\' (and '"' with `quotes`) escaped, a tab, line end and carriage return
// as \t, \n and \r, any other byte as \xHH. No text shown so can end the
// line or look like another.
std::string Gen_VerifyEscaped(const char* p, std::size_t n, bool quotes = true);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_VERIFY_H_
