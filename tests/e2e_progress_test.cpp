// The progress line: shown only when standard error is a terminal, rewritten
// in place from the first column of a relation to its last row, then given
// way to a summary line; never in the data.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <regex>
#include <string>
#include <utility>
#include <vector>

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

// The rows of each relation of the run on a terminal. The first line of
// each phase shows at once, so sanitized builds, which run slowly, take
// fewer rows.
#ifdef ZERVGEN_SANITIZED
constexpr long kProgressRows = 200000;
#else
constexpr long kProgressRows = 1000000;
#endif

// What a terminal shows of one relation, read from its lines in order.
struct RelationProgress {
  std::string name;
  std::vector<std::pair<long, long>> columns;  // (done, total) per column line
  std::vector<long> rows;                      // rows done per rows line
  bool cleared = false;
  std::string summary;  // the summary line, without its line end
};

// The segments of the terminal text after the banner, as the carriage
// returns that take the cursor back to the start of the line divide it.
std::vector<std::string> Segments(const std::string& terminal) {
  std::vector<std::string> segments;
  std::size_t pos = terminal.find("\r\n");
  if (pos == std::string::npos) return segments;
  pos += 2;
  while (pos < terminal.size()) {
    std::size_t next = terminal.find('\r', pos);
    if (next == std::string::npos) next = terminal.size();
    if (next > pos) segments.push_back(terminal.substr(pos, next - pos));
    pos = next + 1;
  }
  return segments;
}

const std::regex kColumnLine(R"((\w+): (\d+) of (\d+) columns, \d+:\d\d elapsed *)");
const std::regex kRowsLine(
    R"((\w+): (\d+) of (\d+) rows \((\d+)%\), \d+ rows/s, \d+:\d\d elapsed(, \d+:\d\d left)? *)");
const std::regex kSummaryLine(R"((\w+): (\d+) rows?, (\d+) bytes in \d+\.\d s, \d+\.\d MB/s)");
const std::regex kBlanks(" +");

// Adds one column or rows line to the relation it belongs to.
void AddLine(std::vector<RelationProgress>* relations, const std::string& seg, const std::smatch& m,
             bool columnLine) {
  if (relations->empty() || !relations->back().summary.empty()) {
    relations->emplace_back();
    relations->back().name = m[1];
  }
  RelationProgress& cur = relations->back();
  EXPECT_EQ(m[1], cur.name) << seg;
  EXPECT_FALSE(cur.cleared) << seg;
  if (columnLine) {
    EXPECT_TRUE(cur.rows.empty()) << "a column line after the rows began: " << seg;
    cur.columns.emplace_back(std::stol(m[2]), std::stol(m[3]));
    return;
  }
  const long done = std::stol(m[2]);
  const long total = std::stol(m[3]);
  EXPECT_EQ(total, cur.name == "tiny" ? 1 : kProgressRows) << seg;
  EXPECT_EQ(std::stol(m[4]), done * 100 / total) << seg;
  cur.rows.push_back(done);
}

// Reads the relations' progress from the terminal text; a segment that is
// none of the lines, or comes out of order, fails the test.
std::vector<RelationProgress> ReadProgress(const std::string& terminal) {
  std::vector<RelationProgress> relations;
  std::smatch m;
  for (const std::string& seg : Segments(terminal)) {
    RelationProgress* cur = relations.empty() ? nullptr : &relations.back();
    const bool open = cur != nullptr && cur->summary.empty();
    if (std::regex_match(seg, kBlanks)) {
      EXPECT_TRUE(open && !cur->cleared) << "a clearing without a progress line";
      if (open) cur->cleared = true;
    } else if (seg == "\n") {
      EXPECT_TRUE(cur != nullptr && !cur->summary.empty()) << "a line end without a summary";
    } else if (std::regex_match(seg, m, kColumnLine)) {
      AddLine(&relations, seg, m, true);
    } else if (std::regex_match(seg, m, kRowsLine)) {
      AddLine(&relations, seg, m, false);
    } else if (std::regex_match(seg, m, kSummaryLine)) {
      EXPECT_TRUE(open && cur->cleared && m[1] == cur->name) << seg;
      if (open) cur->summary = seg;
    } else {
      ADD_FAILURE() << "not a progress line: [" << seg << "]";
    }
  }
  return relations;
}

// Each relation shows its columns counting up to all, then its rows
// counting up from 0, and gives way to a summary that names every row and
// the bytes of the file.
TEST(Progress, ColumnsRowsAndASummaryPerRelationOnATerminal) {
  const std::string rows = std::to_string(kProgressRows);
  ScratchDir dir;
  TerminalRun run = RunOnTerminal(dir.path(), {"-n", rows, "-fc", "20"});
  ASSERT_EQ(run.status, 0) << run.terminal;
  EXPECT_EQ(run.terminal.rfind(
                "zervgen - zervgen 1.0: benchmark database generator.  No warranty.\r\n", 0),
            0u)
      << run.terminal;

  const std::vector<RelationProgress> relations = ReadProgress(run.terminal);
  const std::pair<const char*, const char*> expected[] = {{"uniques", "zerv.uni"},
                                                          {"updates", "zerv.upd"},
                                                          {"hundred", "zerv.hun"},
                                                          {"tenpcnt", "zerv.ten"},
                                                          {"tiny", "zerv.tny"}};
  ASSERT_EQ(relations.size(), std::size(expected)) << run.terminal;
  for (std::size_t i = 0; i < relations.size(); ++i) {
    const RelationProgress& rel = relations[i];
    SCOPED_TRACE(rel.name);
    EXPECT_EQ(rel.name, expected[i].first);
    if (rel.name == "uniques") {
      EXPECT_FALSE(rel.columns.empty()) << "its columns are its own";
    }
    if (!rel.columns.empty()) {
      EXPECT_EQ(rel.columns.front().first, 0);
      EXPECT_EQ(rel.columns.back().first, rel.columns.back().second);
    }
    for (std::size_t j = 1; j < rel.columns.size(); ++j) {
      EXPECT_EQ(rel.columns[j].second, rel.columns[0].second);
      EXPECT_GE(rel.columns[j].first, rel.columns[j - 1].first);
    }
    ASSERT_FALSE(rel.rows.empty());
    EXPECT_EQ(rel.rows[0], 0);
    for (std::size_t j = 1; j < rel.rows.size(); ++j) EXPECT_GT(rel.rows[j], rel.rows[j - 1]);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(rel.summary, m, kSummaryLine)) << "[" << rel.summary << "]";
    EXPECT_EQ(std::stol(m[2]), rel.name == "tiny" ? 1 : kProgressRows);
    EXPECT_EQ(std::stoll(m[3]), FileSize(dir.File(expected[i].second)));
  }

  // The data are the same bytes as without a terminal.
  ScratchDir plain;
  RunResult r = RunZervgen(plain.path(), {"-n", rows, "-fc", "20"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.err), "");
  for (const auto& [rel, name] : expected) {
    EXPECT_TRUE(ReadFile(dir.File(name)) == ReadFile(plain.File(name))) << name;
  }
}

// When standard error is not a terminal (a pipe, a log file) nothing but the
// banner is written to it, even for a relation long enough to show progress.
TEST(Progress, NothingWhenStandardErrorIsNotATerminal) {
  ScratchDir dir;
  RunResult r = RunZervgen(dir.path(), {"-hu", "-n", "300000", "-f", "out"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.err), "");
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace zervgen_test
