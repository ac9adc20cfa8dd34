// run/files.h: the relation files of a run. The early check that every file
// can be created, made before any column is generated; the one account of a
// file that cannot be created; and RelationFile, the one owner of a relation
// file while it is written: its descriptor and the signal handler's record
// of it come into being, are written, closed and removed together.
#ifndef ZERVGEN_SRC_RUN_FILES_H_
#define ZERVGEN_SRC_RUN_FILES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/signals.h"
#include "base/status.h"
#include "base/util.h"
#include "store/store_thread.h"

namespace zervgen {

// A relation file the run will write: the relation's name, for messages,
// and the file's path ("-": standard output).
struct GenRelationFile {
  const char* relName;
  const char* path;
};

// Checks, before any column is generated, that every file in `files` can be
// created: it does not exist, and its folder exists and takes new files.
// Creates nothing. At the first that cannot be created, fails as the writer
// would (Gen_CannotCreateRelation). Standard output is not checked. An
// object ("s3://BUCKET/KEY") is asked for (HEAD): one that exists is
// refused as an existing file is; a name, setting or store that cannot
// serve fails with one line saying why.
// REQUIRES: file.relName != NULL, file.path != NULL for every entry
void Gen_CheckRelationFiles(std::span<const GenRelationFile> files);

// Writes the messages of a relation file whose creation failed with the
// errno `error`: the reason text of Util_OpenFile and, where that text is
// only the general one, a line with what the system said. Raises
// XEPT_GEN_FAILED.
[[noreturn]] void Gen_CannotCreateRelation(const char* relName, const char* path, int error);

// The most bytes one write hands the system: about a text chunk, small
// enough to still be in the caches when the kernel copies it.
inline constexpr std::size_t kWriteSliceBytes = std::size_t{512} << 10;

// The relation file being written, standard output ("-"), or an object
// ("s3://BUCKET/KEY", see store/object_upload.h). Main thread only. A created file is recorded for
// the signal handler from the moment it exists until it is closed or removed; the record never
// outlives the descriptor, nor the descriptor the record. Destroying an open file removes it: a
// relation that did not end well leaves no partial file behind. An object appears only when closed
// well; until then the ending signals are held on the calling thread and polled for: when one is
// pending, the upload is aborted and the signal let through, to end the run.
class ObjectUpload;
class S3Client;
class RelationFile {
 public:
  // Creates `path` (never overwriting) and records it; for "-" takes
  // standard output, which is never closed or removed. A file that cannot
  // be created fails through Gen_CannotCreateRelation.
  RelationFile(const char* path, const char* relName);
  ~RelationFile();
  RelationFile(const RelationFile&) = delete;
  RelationFile& operator=(const RelationFile&) = delete;

  bool toStdout() const { return toStdout_; }
  // Bytes written so far.
  std::uint64_t offset() const { return offset_; }

  // Writes all `n` bytes, at most kWriteSliceBytes per write. Returns 0, or
  // the errno of the failed write with *written the bytes that went out
  // before it.
  [[nodiscard]] int Write(const void* data, std::size_t n, std::size_t* written);
  // Closes a created file and clears its record. Returns 0, or the errno of
  // a failed close; the file is then still recorded, for Remove. An object
  // appears here.
  [[nodiscard]] int Close();
  // Closes a created file and removes it, when its name still leads to it,
  // clearing the record; tells what became of it (kNone for standard output
  // or a file already closed well). An unfinished object is aborted (kNone).
  Removal Remove();

  // Why the last Write or Close of an object failed (its errno is then
  // EIO): the store's words, naming the object; empty for a file.
  const std::string& storeFailure() const { return storeFailure_; }

 private:
  // The object's failure `status` kept for storeFailure(); a stop by a
  // pending ending signal aborts and lets the signal through. Returns EIO.
  int ObjectFailed(const Status& status);
  void EndObject();

  std::unique_ptr<S3Client> client_;
  std::unique_ptr<ObjectUpload> object_;
  std::string storeFailure_;
  EndingSignalHold hold_;  // while an object is open
  // The created file's descriptor while recorded, -1 otherwise. The signal
  // record owns it (and closes it, on Close, Remove or a signal); the file
  // only writes through it.
  int fd_ = -1;
  bool toStdout_;
  bool recorded_ = false;
  std::uint64_t offset_ = 0;
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_FILES_H_
