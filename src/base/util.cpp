// base/util.cpp: exclusive file creation and the write loop.
#include "base/util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace zervgen
