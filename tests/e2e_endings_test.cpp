// End-to-end endings at the edges of a run: standard output that carries
// nothing but rows from the moment the command line is read, the delimiter
// rule over every ASCII character, closed standard descriptors, and a
// report named like a file the run writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace zervgen_test {
namespace {

std::string Printable(char c) {
  if (c >= 0x20 && c < 0x7f) return std::string("'") + c + "'";
  return "\\x" + std::to_string(static_cast<int>(c));
}

// The lines of `text`, without their line ends; a last line without one
// counts too.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

std::size_t Fields(const std::string& line, char delim) {
  return static_cast<std::size_t>(std::count(line.begin(), line.end(), delim)) + 1;
}

// ---------------------------------------------------------------------------
// A relation to standard output: set-up failures before the relation is
// opened leave standard output empty; their lines go to standard error.

TEST(StandardOutput, SetUpFailuresLeaveItEmpty) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  struct Case {
    const char* name;
    long long addressSpaceKb;
    std::vector<std::string> more;  // after -hu -n kAllTempRows -f -
    std::string message;
  };
  const Case cases[] = {
      // The key column needs a temporary file, in a folder that is not there.
      {"temporary folder missing", kAllTempLimitKb, {"-t", "nodir"},
       "zervgen: Temporary file error: \"Could not open temporary file\".\n"},
      // Not even the shared scratch vector fits.
      {"no memory for the columns", 40000, {}, "zervgen: Out of memory.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> args = {"-hu", "-n", std::to_string(kAllTempRows), "-f", "-"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    RunOptions options;
    options.addressSpaceKb = c.addressSpaceKb;
    RunResult r = RunZervgen(dir.path(), args, options);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    const std::string err = AfterBanner(r.err);
    ASSERT_EQ(err.substr(0, c.message.size()), c.message) << err;
    EXPECT_TRUE(IsClassLine(err.substr(c.message.size()), "Gen_InitializeCB", 32)) << err;
    EXPECT_TRUE(dir.List().empty());
  }
}

// ---------------------------------------------------------------------------
// The delimiter rule over every ASCII character: a refused one gives its
// message and status 255 and creates nothing; with an accepted one every row
// of every relation splits into its fields, fixed texts included.

TEST(Delimiter, EveryAsciiCharacterIsRefusedOrSplitsEveryRow) {
  struct Relation {
    const char* file;
    std::size_t fields;  // with the fill column
  };
  const Relation relations[] = {{"zerv.hun", 11}, {"zerv.ten", 11}, {"zerv.tny", 1},
                                {"zerv.uni", 11}, {"zerv.upd", 11}};
  int accepted = 0;
  int refused = 0;
  for (int code = 1; code < 128; ++code) {
    const char c = static_cast<char>(code);
    SCOPED_TRACE("-dc " + Printable(c));
    TempDir dir;
    RunResult r = RunZervgen(dir.path(), {"-n", "1000", "-fc", "30", "-dc", std::string(1, c)});
    const std::string refusal = DelimiterRefusal(c);
    if (!refusal.empty()) {
      ++refused;
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(AfterBanner(r.err), refusal);
      EXPECT_TRUE(dir.List().empty());
      continue;
    }
    ++accepted;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AfterBanner(r.err), "");
    for (const Relation& rel : relations) {
      const std::vector<std::string> rows = Lines(ReadFile(dir.File(rel.file)));
      ASSERT_EQ(rows.size(), rel.fields == 1 ? 1u : 1000u) << rel.file;
      std::size_t fixed = 0;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(Fields(rows[i], c), rel.fields) << rel.file << " row " << i + 1 << ": "
                                                  << rows[i];
        for (const char* text : kFixedTexts) fixed += rows[i].find(text) != std::string::npos;
      }
      if (rel.fields > 1) {
        EXPECT_GT(fixed, 0u) << rel.file << ": no row shows a fixed text";
      }
    }
  }
  // Blank, '+', 17 letters, 10 digits, '-', '.', '/' and the two line ends.
  EXPECT_EQ(refused, 34);
  EXPECT_EQ(accepted, 127 - 34);
}

}  // namespace
}  // namespace zervgen_test
