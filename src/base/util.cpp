// base/util.cpp: exclusive file creation and the write loop.
#include "base/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/except.h"

namespace zervgen {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    (void)Close();
    fd_ = other.Release();
  }
  return *this;
}

int UniqueFd::Close() {
  if (fd_ < 0) return 0;
  const int fd = Release();
  return ::close(fd) == 0 ? 0 : errno;
}

void Util_OpenFile(int* fp, const char* path, const char** reason) {
  CHECK_REQUIRE_TEXT(fp != nullptr, "fp != NULL");
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");
  CHECK_REQUIRE_TEXT(reason != nullptr, "reason != NULL");
  *fp = -1;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *reason = Util_OpenReason(errno);
    return;
  }
  *fp = fd;
}

void Util_OccupyStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int stand = ::open("/dev/null", O_RDONLY);
    if (stand < 0) {
      int ends[2];
      if (::pipe(ends) != 0) continue;
      ::close(ends[1]);
      stand = ends[0];
    }
    // The lowest free number, so `fd` itself, unless a pipe took it first.
    if (stand != fd) {
      ::dup2(stand, fd);
      ::close(stand);
    }
  }
}

const char* Util_OpenReason(int error, const char* other) {
  switch (error) {
    case EACCES:
      return "Permission denied";
    case EEXIST:
      return "File already exists";
    case ENOSPC:
      return "Out of disk space";
    default:
      return other;
  }
}

const char* Util_SystemReason(int error) {
  if (error == 0 || Util_OpenReason(error, nullptr) != nullptr) return nullptr;
  return std::strerror(error);
}

int Util_WriteAll(int fd, const void* data, std::size_t n) {
  std::size_t written = 0;
  return Util_WriteAllCount(fd, data, n, &written);
}

int Util_WriteAllCount(int fd, const void* data, std::size_t n, std::size_t* written) {
  const char* p = static_cast<const char*>(data);
  *written = 0;
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return ENOSPC;
    p += w;
    n -= static_cast<std::size_t>(w);
    *written += static_cast<std::size_t>(w);
  }
  return 0;
}

std::size_t Util_FormatUnsigned(char* out, unsigned long value) {
  char digits[24];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  return n;
}

std::string Util_FolderOf(const char* path) {
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return std::string(path, static_cast<std::size_t>(slash - path));
}

std::string Util_Formatted(const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  if (n <= 0) return {};
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

void Util_Appendf(std::string* out, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  *out += Util_Formatted(format, args);
  va_end(args);
}

namespace {

// The last component of `path`.
const char* LastComponent(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

bool SameIdentity(const char* a, const char* b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

// Whether `a` and `b` lead to the same file: the same name, the same
// existing file (a hard link, a symbolic link), or, for a file not there
// yet, the same last component in the same folder ("./x", "d/../x").
bool Util_SameFile(const char* a, const char* b) {
  if (std::strcmp(a, b) == 0) return true;
  struct stat st {};
  if (::stat(a, &st) == 0 || ::stat(b, &st) == 0) return SameIdentity(a, b);
  if (std::strcmp(LastComponent(a), LastComponent(b)) != 0) return false;
  return SameIdentity(Util_FolderOf(a).c_str(), Util_FolderOf(b).c_str());
}

std::string Util_Decimal(std::uint64_t n) { return std::to_string(n); }

std::string Util_Escaped(const char* p, std::size_t n, bool quotes) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c == '\\' || (c == '"' && quotes)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c > 0x7e) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace zervgen
