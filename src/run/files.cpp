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

int RelationFile::Write(const void* data, std::size_t n, std::size_t* written) {
  *written = 0;
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
  if (!recorded_) return 0;
  SignalGuard guard;
  const int error = Signals_CloseRelationFile();  // closes the descriptor either way
  fd_ = -1;
  if (error == 0) recorded_ = false;
  return error;
}

Removal RelationFile::Remove() {
  if (!recorded_) return Removal{RemovalOutcome::kNone, nullptr};
  SignalGuard guard;  // no signal between the record's end and the removal
  fd_ = -1;
  recorded_ = false;
  return Signals_RemoveRelationFile();
}

}  // namespace zervgen
