// run/files.cpp: the relation files of a run: the early check, the account
// of a file that cannot be created, and the owner of the file being written.
#include "run/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/except.h"
#include "base/report.h"
#include "base/signals.h"
#include "base/util.h"
#include "store/object_reader.h"
#include "store/object_upload.h"
#include "store/s3_config.h"

namespace zervgen {
namespace {

// The errno an exclusive creation of `path` would fail with now, or 0 when
// it would succeed (as far as can be known without creating it): the file
// exists (a dangling link counts), the path cannot be followed, or its
// folder is missing or cannot take a new file.
int CreationError(const char* path) {
  struct stat st {};
  if (::fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  const std::string folder = Util_FolderOf(path);
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
  return 0;
}

// An object that cannot be written for a reason of the store's, its name or
// its settings: the report's lines as for a file, one line on standard
// error. Raises XEPT_GEN_FAILED.
[[noreturn]] void ObjectUnusable(const char* relName, const char* path, const Status& status) {
  const std::string what = status.what();
  Report("*** Error: Could not create relation %s file, '%s'.\n\tThe reason given is \"%s\".\n",
         relName, path, what.c_str());
  const std::string shown = Util_Escaped(path, std::strlen(path), false);
  std::fprintf(stderr, "%s: Could not write '%s': %s.\n", programName, shown.c_str(), what.c_str());
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, "Gen_outputRelation", __LINE__);
}

// The ending signal pending, if one is: the upload stopped for it is
// aborted, then the signal is let through, and the handler ends the run.
void LetPendingSignalThrough(ObjectUpload* object, EndingSignalHold* hold) {
  if (!Store_EndingSignalPending()) return;
  object->Abort();
  hold->Release();
}

}  // namespace

void Gen_CannotCreateRelation(const char* relName, const char* path, int error) {
  const char* reason = Util_OpenReason(error);
  const char* system = Util_SystemReason(error);
  Report("*** Error: Could not create relation %s file, '%s'.\n\tThe reason given is \"%s\".\n",
         relName, path, reason);
  if (system != nullptr) Report("\tThe system says \"%s\".\n", system);
  // The reason's line names the file, shown on one line whatever its bytes.
  const std::string shown = Util_Escaped(path, std::strlen(path), false);
  std::fprintf(stderr, "%s: Could not open '%s'.  \n\tReason is \"%s\" for '%s'.\n", programName,
               relName, reason, shown.c_str());
  if (system != nullptr) std::fprintf(stderr, "\tThe system says \"%s\".\n", system);
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, "Gen_outputRelation", __LINE__);
}

void Gen_CheckRelationFiles(std::span<const GenRelationFile> files) {
  for (const GenRelationFile& file : files) {
    CHECK_REQUIRE_TEXT(file.relName != nullptr, "file.relName != NULL");
    CHECK_REQUIRE_TEXT(file.path != nullptr, "file.path != NULL");
    if (std::strcmp(file.path, "-") == 0) continue;
    if (S3_IsObjectName(file.path)) {
      const Status there = Store_ObjectExists(file.path);
      if (there.ok()) Gen_CannotCreateRelation(file.relName, file.path, EEXIST);
      if (!there.IsNotFound()) ObjectUnusable(file.relName, file.path, there);
      continue;
    }
    const int error = CreationError(file.path);
    if (error != 0) Gen_CannotCreateRelation(file.relName, file.path, error);
  }
}

RelationFile::RelationFile(const char* path, const char* relName)
    : toStdout_(std::strcmp(path, "-") == 0) {
  if (toStdout_) {
    // Rows go out through the descriptor: what stdio holds goes first. The
    // driver has sent check lines to standard error since the run began.
    std::fflush(stdout);
    return;
  }
  if (S3_IsObjectName(path)) {
    const Status status = S3_ClientFor(path, &client_);
    if (!status.ok()) ObjectUnusable(relName, path, status);
    hold_.Hold();
    object_ = std::make_unique<ObjectUpload>(client_.get(), &Store_EndingSignalPending);
    return;
  }
  // A name the record cannot keep whole would leave the file behind.
  CHECK_REQUIRE_TEXT(std::strlen(path) <= kRecordNameChars, "strlen(path) <= kRecordNameChars");
  SignalGuard guard;  // the file exists only together with its record
  int fd = -1;
  const char* reason = nullptr;
  Util_OpenFile(&fd, path, &reason);
  if (fd < 0) Gen_CannotCreateRelation(relName, path, errno);
  Signals_SetRelationFile(fd, path);
  fd_ = fd;
  recorded_ = true;
}

RelationFile::~RelationFile() { (void)Remove(); }

int RelationFile::ObjectFailed(const Status& status) {
  LetPendingSignalThrough(object_.get(), &hold_);
  storeFailure_ = status.message();
  EndObject();
  return EIO;
}

void RelationFile::EndObject() {
  if (!object_) return;
  object_->Abort();
  object_.reset();
  hold_.Release();
}

int RelationFile::Write(const void* data, std::size_t n, std::size_t* written) {
  *written = 0;
  if (object_) {
    LetPendingSignalThrough(object_.get(), &hold_);
    const Status status = object_->Write(static_cast<const char*>(data), n);
    if (!status.ok()) return ObjectFailed(status);
    // The bytes are the object's once it completes: told as written.
    *written = n;
    offset_ += n;
    return 0;
  }
  const int fd = toStdout_ ? STDOUT_FILENO : fd_;
  const char* p = static_cast<const char*>(data);
  // A large buffer goes out in slices: the kernel copies each while it is
  // still in the caches, instead of the whole falling out of them.
  while (*written < n) {
    const std::size_t slice = std::min(kWriteSliceBytes, n - *written);
    std::size_t done = 0;
    const int error = Util_WriteAllCount(fd, p + *written, slice, &done);
    *written += done;
    offset_ += done;
    if (error != 0) return error;
  }
  return 0;
}

int RelationFile::Close() {
  if (object_) {
    const Status status = object_->Finish();
    if (!status.ok()) return ObjectFailed(status);
    object_.reset();
    hold_.Release();
    return 0;
  }
  if (!recorded_) return 0;
  SignalGuard guard;
  const int error = Signals_CloseRelationFile();  // closes the descriptor either way
  fd_ = -1;
  if (error == 0) recorded_ = false;
  return error;
}

Removal RelationFile::Remove() {
  EndObject();
  if (!recorded_) return Removal{RemovalOutcome::kNone, nullptr};
  SignalGuard guard;  // no signal between the record's end and the removal
  fd_ = -1;
  recorded_ = false;
  return Signals_RemoveRelationFile();
}

}  // namespace zervgen
