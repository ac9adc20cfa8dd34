// Exclusive file creation and its reason texts, the write loop, and the
// number formatting used by the signal handler.
#include "base/util.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include "base/except.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::Exists;
using zervgen_test::ReadText;
using zervgen_test::ScratchDir;
using zervgen_test::WriteText;

const char* const kUnset = "unset";  // a reason that Util_OpenFile never gives

class UtilTest : public testing::Test {
 protected:
  void SetUp() override { Xept_Reset(); }
  std::string Path(const std::string& name) const { return std::string(dir_.path()) + "/" + name; }

  ScratchDir dir_;
};

TEST_F(UtilTest, OpenFileFailureReasons) {
  WriteText(Path("existing"), "keep me\n");
  ASSERT_EQ(::symlink("nowhere", Path("dangling").c_str()), 0);
  struct Case {
    const char* name;
    std::string path;
    const char* reason;
  };
  const Case cases[] = {
      {"existing file", Path("existing"), "File already exists"},
      {"existing directory", dir_.path(), "File already exists"},
      {"dangling link is not followed", Path("dangling"), "File already exists"},
      {"missing directory", Path("missing/x"), "Could not open file"},
      {"through a file", Path("existing/x"), "Could not open file"},
      {"empty path", "", "Could not open file"},
      {"name too long", Path(std::string(NAME_MAX + 1, 'n')), "Could not open file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = 123;
    const char* reason = kUnset;
    Util_OpenFile(&fd, c.path.c_str(), &reason);
    EXPECT_EQ(fd, -1);
    EXPECT_STREQ(reason, c.reason);
  }
  EXPECT_EQ(ReadText(Path("existing")), "keep me\n");
  EXPECT_FALSE(Exists(Path("nowhere")));
}

// Runs Util_OpenFile in a child process without root's right to ignore file
// modes. Returns the reason text, "created", or "" when root could not be
// given up.
std::string ReasonWithoutRoot(const std::string& path) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    const char* result = "";
    if (::geteuid() != 0 ||
        (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0)) {
      int fd = -1;
      const char* reason = kUnset;
      Util_OpenFile(&fd, path.c_str(), &reason);
      result = fd >= 0 ? "created" : reason;
    }
    (void)!::write(pipeFds[1], result, std::strlen(result));
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  ::close(pipeFds[0]);
  ::waitpid(pid, nullptr, 0);
  return text;
}

TEST_F(UtilTest, OpenFileInAReadOnlyDirectoryIsPermissionDenied) {
  const std::string locked = Path("locked");
  ASSERT_EQ(::chmod(dir_.path(), 0755), 0);
  ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  const std::string reason = ReasonWithoutRoot(locked + "/x");
  ::rmdir(locked.c_str());
  if (reason.empty()) GTEST_SKIP() << "running as root and cannot give up root";
  EXPECT_EQ(reason, "Permission denied");
  EXPECT_FALSE(Exists(locked + "/x"));
}

TEST_F(UtilTest, CreatedFileHoldsWhatWasWrittenAndCanBeRemoved) {
  const std::string path = Path("new");
  int fd = -1;
  const char* reason = kUnset;
  Util_OpenFile(&fd, path.c_str(), &reason);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(reason, kUnset);  // written only on failure
  EXPECT_EQ(Util_WriteAll(fd, "hello\n", 6), 0);
  EXPECT_EQ(::close(fd), 0);
  EXPECT_EQ(ReadText(path), "hello\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & (S_IRUSR | S_IWUSR), static_cast<mode_t>(S_IRUSR | S_IWUSR));
  // Created once only.
  int again = 123;
  Util_OpenFile(&again, path.c_str(), &reason);
  EXPECT_EQ(again, -1);
  EXPECT_STREQ(reason, "File already exists");
  EXPECT_EQ(ReadText(path), "hello\n");
  EXPECT_EQ(::unlink(path.c_str()), 0);
}

TEST_F(UtilTest, OpenFileNullArgumentsAreRequirementFailures) {
  int fd = 123;
  const char* reason = kUnset;
  const std::string path = Path("never");
  struct Case {
    int* fp;
    const char* path;
    const char** reason;
    const char* text;
  };
  const Case cases[] = {
      {nullptr, path.c_str(), &reason, "fp != NULL"},
      {&fd, nullptr, &reason, "path != NULL"},
      {&fd, path.c_str(), nullptr, "reason != NULL"},
      {nullptr, nullptr, nullptr, "fp != NULL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const zervgen_test::Raised r =
        zervgen_test::CatchRaise([&] { Util_OpenFile(c.fp, c.path, c.reason); });
    const int raised = r.cls;
    const std::string& out = r.out;
    EXPECT_EQ(raised, XEPT_REQUIREMENT);
    const std::string loc = R"(File [^\n]*util\.cpp, Function Util_OpenFile, line \d+\n)";
    EXPECT_TRUE(std::regex_match(out, std::regex(loc + "Failed requirement: '" + c.text + "'\n" +
                                                 loc + "Raised exception of class '2'\n")))
        << out;
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(reason, kUnset);
}

TEST_F(UtilTest, WriteAllResults) {
  const std::string big(1 << 20, 'b');
  struct Case {
    const char* name;
    const char* path;  // null: a closed descriptor
    std::size_t bytes;
    int result;
  };
  const std::string file = Path("out");
  const Case cases[] = {
      {"full device", "/dev/full", 1, ENOSPC},
      {"full device, large", "/dev/full", big.size(), ENOSPC},
      {"full device, nothing to write", "/dev/full", 0, 0},
      {"closed descriptor", nullptr, 1, EBADF},
      {"regular file", file.c_str(), big.size(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = -1;
    if (c.path != nullptr) {
      fd = ::open(c.path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
    }
    std::size_t written = 99;
    EXPECT_EQ(Util_WriteAllCount(fd, big.data(), c.bytes, &written), c.result);
    EXPECT_EQ(written, c.result == 0 ? c.bytes : 0u);
    if (fd >= 0) ::close(fd);
  }
  EXPECT_EQ(ReadText(file), big);
  int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  EXPECT_EQ(Util_WriteAll(full, "x", 1), ENOSPC);
  ::close(full);
}

TEST(UtilFormat, FormatUnsigned) {
  struct Case {
    unsigned long value;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},
      {7, "7"},
      {10, "10"},
      {99, "99"},
      {100, "100"},
      {1000000007, "1000000007"},
      {4294967295ul, "4294967295"},
      {ULONG_MAX, "18446744073709551615"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char out[32];
    std::memset(out, '#', sizeof out);
    std::size_t n = Util_FormatUnsigned(out, c.value);
    EXPECT_EQ(std::string(out, n), c.text);
    EXPECT_EQ(out[n], '#') << "wrote past the number";
  }
}

}  // namespace
}  // namespace zervgen
