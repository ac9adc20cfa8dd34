// run/file_check.h: the check of one file against the bytes the writer
// makes for it, the interface -verify's text and Parquet checks share.
#ifndef ZERVGEN_SRC_RUN_FILE_CHECK_H_
#define ZERVGEN_SRC_RUN_FILE_CHECK_H_

#include <cstdint>
#include <memory>
#include <string>

#include "output/compress.h"
#include "run/writer.h"

namespace zervgen {

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

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_FILE_CHECK_H_
