// base/util.h: exclusive creation of the files the user names, and the low-level
// write loop every file of the program goes through.
#ifndef ZERVGEN_SRC_BASE_UTIL_H_
#define ZERVGEN_SRC_BASE_UTIL_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zervgen {

// Failure status of the field writers and of the storage set-up.
inline constexpr std::int32_t STATUS_ERROR = static_cast<std::int32_t>(0xE0000000u);

// Owns a file descriptor: -1 means closed. Move-only; closes on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { (void)Close(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor (none: nothing). Returns 0, or the errno of a
  // failed close; the descriptor is gone either way.
  int Close();

 private:
  int fd_ = -1;
};

// Creates `path` for writing and fails if it exists: never overwrites. On
// success *fp is the new descriptor; on failure *fp is -1 and *reason points
// to a static text: "Permission denied", "File already exists",
// "Out of disk space" or "Could not open file"; errno is left as the
// creation set it.
// REQUIRES: fp != NULL, path != NULL, reason != NULL
void Util_OpenFile(int* fp, const char* path, const char** reason);

// The reason text of a creation that failed with the errno `error`:
// "Permission denied", "File already exists", "Out of disk space", or
// `other` for any other cause (Util_OpenFile's "Could not open file").
const char* Util_OpenReason(int error, const char* other = "Could not open file");

// What the system said of a creation that failed with `error`, where
// Util_OpenReason gives only the general text (a missing folder, a path
// through a file, a name too long); null where its text says it already.
const char* Util_SystemReason(int error);

// The folder a file at `path` is in: "." for a bare name, "/" at the root.
// REQUIRES: path != NULL
std::string Util_FolderOf(const char* path);

// Whether `a` and `b` lead to the same file: the same name, the same
// existing file (a hard link, a symbolic link), or, for a file not there
// yet, the same last component in the same folder ("./x", "d/../x").
bool Util_SameFile(const char* a, const char* b);

// `n` bytes at `p` as they are shown in a line: printable ASCII as it is,
// '\\' (and '"' with `quotes`) escaped, a tab, line end and carriage return
// as \t, \n and \r, any other byte as \xHH. No text shown so can end the
// line or look like another.
std::string Util_Escaped(const char* p, std::size_t n, bool quotes = true);

// The decimal digits of `n`, as messages give a row or a byte offset.
std::string Util_Decimal(std::uint64_t n);

// The text of `format` with `args`, however long.
std::string Util_Formatted(const char* format, std::va_list args);
// Appends the text of `format` with its arguments to *out.
[[gnu::format(printf, 2, 3)]] void Util_Appendf(std::string* out, const char* format, ...);

// Gives each of the standard descriptors 0, 1 and 2 that is closed a
// stand-in that reads nothing and takes no write (/dev/null opened for
// reading only, or the reading end of a pipe without writer), so that no
// file the run creates takes its number. Whatever is meant for a closed
// standard output or error still fails as it did, rather than landing in a
// report or a relation file.
void Util_OccupyStandardDescriptors();

// Writes all `n` bytes, going on after short writes and EINTR.
// Returns 0, or the errno of the failed write.
[[nodiscard]] int Util_WriteAll(int fd, const void* data, std::size_t n);
// The same, also telling how many bytes were written before a failure.
[[nodiscard]] int Util_WriteAllCount(int fd, const void* data, std::size_t n, std::size_t* written);

// Formats a non-negative number into `out` without allocation, for use in a
// signal handler. Returns the number of characters written (no NUL).
std::size_t Util_FormatUnsigned(char* out, unsigned long value);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_UTIL_H_
