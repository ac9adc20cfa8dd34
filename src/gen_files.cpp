// gen_files.cpp: the relation files of a run before and when they are
// created: the early check that every selected file can be created, made
// before any column is generated, and the one account of a relation file
// that cannot be created, which the check and the writer share.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "except.h"
#include "gen.h"
#include "report.h"
#include "signals.h"
#include "util.h"

namespace zervgen {
namespace {

// The folder a new file at `path` goes into.
std::string FolderOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return std::string(path, static_cast<std::size_t>(slash - path));
}

// The errno an exclusive creation of `path` would fail with now, or 0 when
// it would succeed (as far as can be known without creating it): the file
// exists (a dangling link counts), the path cannot be followed, or its
// folder is missing or cannot take a new file.
int CreationError(const char* path) {
  struct stat st {};
  if (::fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  const std::string folder = FolderOf(path);
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
  return 0;
}

}  // namespace

void Gen_CannotCreateRelation(const char* relName, const char* path, const char* reason) {
  Report("*** Error: Could not create relation %s file, '%s'.\n\tThe reason given is \"%s\".\n",
         relName, path, reason);
  std::fprintf(stderr, "%s: Could not open '%s'.  \n\tReason is \"%s\".\n", programName, relName,
               reason);
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, "Gen_outputRelation", __LINE__);
}

void Gen_CheckRelationFiles(std::span<const GenRelationFile> files) {
  for (const GenRelationFile& file : files) {
    CHECK_REQUIRE_TEXT(file.relName != nullptr, "file.relName != NULL");
    CHECK_REQUIRE_TEXT(file.path != nullptr, "file.path != NULL");
    if (std::strcmp(file.path, "-") == 0) continue;
    const int error = CreationError(file.path);
    if (error != 0) Gen_CannotCreateRelation(file.relName, file.path, Util_OpenReason(error));
  }
}

}  // namespace zervgen
