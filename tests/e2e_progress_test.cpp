// The progress line: shown only when standard error is a terminal, rewritten
// in place, cleared when the relation is done, and never in the data.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"

namespace zervgen_test {
namespace {

struct TerminalRun {
  int status = -1;
  std::string terminal;  // everything written to the terminal
};

// Runs the binary in `dir` with standard output and standard error on a
// fresh pseudo-terminal, and collects what reaches the terminal.
TerminalRun RunOnTerminal(const std::string& dir, const std::vector<std::string>& args) {
  TerminalRun run;
  std::vector<std::string> argvText = {"zervgen"};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string binary = BinaryPath();

  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return run;
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, STDIN_FILENO);
    if (::chdir(dir.c_str()) == 0) ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) {
      run.terminal.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the child has closed its side
    }
  }
  ::close(master);
  int status = 0;
  if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

// Splits the terminal text after the banner into its progress lines: each
// is written after a carriage return that takes the cursor back to the start.
std::vector<std::string> ProgressLines(const std::string& terminal) {
  std::vector<std::string> lines;
  std::size_t bannerEnd = terminal.find("\r\n");
  if (bannerEnd == std::string::npos) return lines;
  std::size_t pos = bannerEnd + 2;
  while (pos < terminal.size()) {
    EXPECT_EQ(terminal[pos], '\r') << "at " << pos;
    std::size_t next = terminal.find('\r', pos + 1);
    if (next == std::string::npos) next = terminal.size();
    lines.push_back(terminal.substr(pos + 1, next - pos - 1));
    pos = next;
  }
  return lines;
}

TEST(Progress, OneLinePerRelationRewrittenAndClearedOnATerminal) {
  TempDir dir;
  TerminalRun run = RunOnTerminal(dir.path(), {"-n", "1000000", "-fc", "20"});
  ASSERT_EQ(run.status, 0) << run.terminal;
  EXPECT_EQ(run.terminal.rfind("zervgen - zervgen 1.0: benchmark database generator.  No warranty.\r\n", 0), 0u)
      << run.terminal;

  const std::regex progress(R"((\w+): (\d+) of (\d+) rows \((\d+)%\), (\d+) rows/s *)");
  const std::regex blank(" *");
  std::vector<std::string> lines = ProgressLines(run.terminal);
  std::vector<std::string> relations;  // in the order their lines began
  std::string current;
  long lastRows = -1;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::smatch m;
    if (line.empty() && current.empty()) continue;  // the clearing's own closing '\r'
    if (std::regex_match(line, blank)) {
      // Clearing: blanks over the whole shown line, then back to its start.
      ASSERT_FALSE(current.empty()) << "a clearing without a progress line, line " << i;
      current.clear();
      continue;
    }
    ASSERT_TRUE(std::regex_match(line, m, progress)) << "[" << line << "]";
    const long rows = std::stol(m[2]);
    if (m[1] != current) {
      EXPECT_TRUE(current.empty()) << m[1] << " began before " << current << " was cleared";
      current = m[1];
      relations.push_back(current);
      EXPECT_EQ(rows, 0) << current;
      lastRows = -1;
    }
    const long total = std::stol(m[3]);
    EXPECT_EQ(total, current == "tiny" ? 1 : 1000000) << line;
    EXPECT_GT(rows, lastRows) << line;
    EXPECT_LE(rows, total);
    EXPECT_EQ(std::stol(m[4]), rows * 100 / total) << line;
    lastRows = rows;
  }
  EXPECT_TRUE(current.empty()) << "the last progress line was not cleared";
  EXPECT_EQ(relations, (std::vector<std::string>{"uniques", "updates", "hundred", "tenpcnt", "tiny"}));

  // The data are the same bytes as without a terminal.
  TempDir plain;
  RunResult r = RunZervgen(plain.path(), {"-n", "1000000", "-fc", "20"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.err), "");
  for (const char* name : {"zerv.uni", "zerv.upd", "zerv.hun", "zerv.ten", "zerv.tny"}) {
    EXPECT_TRUE(ReadFile(dir.File(name)) == ReadFile(plain.File(name))) << name;
  }
}

// When standard error is not a terminal (a pipe, a log file) nothing but the
// banner is written to it, even for a relation long enough to show progress.
TEST(Progress, NothingWhenStandardErrorIsNotATerminal) {
  TempDir dir;
  RunResult r = RunZervgen(dir.path(), {"-hu", "-n", "300000", "-f", "out"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.err), "");
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace zervgen_test
