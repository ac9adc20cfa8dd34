// End-to-end checks of -verify on Parquet files that another writer's
// codec settings made: the same values compressed into other bytes verify
// OK, a changed value fails naming row group, column and row, and a
// footer that does not decode fails with one line, never a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace zervgen_test {
namespace {

// Runs the tool that rewrites `from` into `to` with its pages compressed
// again (zstd at another level, snappy as literals only).
void Rewrite(const ScratchDir& dir, const std::string& from, const std::string& to,
             const std::string& args) {
  const RunResult r = RunScript(
      dir.path(), std::string(ZERVGEN_PQ_REWRITE) + " '" + from + "' '" + to + "' " + args, 60);
  ASSERT_EQ(r.status, 0) << r.err;
}

// A file of `args` in a folder of its own, rewritten into `dir` as kPq.
void RewrittenRun(const ScratchDir& dir, const std::vector<std::string>& args,
                  const std::string& rewrite) {
  ScratchDir made;
  const RunResult r = RunZervgen(made.path(), args);
  ASSERT_EQ(r.status, 0) << r.err;
  Rewrite(dir, made.File(kPq), dir.File(kPq), rewrite);
  EXPECT_NE(ReadFile(made.File(kPq)), ReadFile(dir.File(kPq))) << "the rewrite kept the bytes";
}

RunResult RunVerify(const ScratchDir& dir, std::vector<std::string> args) {
  args.push_back("-verify");
  return RunZervgen(dir.path(), args);
}

const std::vector<std::string> kZstd = {"-hu",  "-n",        "3000", "-parquet", "-codec",
                                        "zstd", "-rowgroup", "1000", "-fc",      "20"};
const std::vector<std::string> kSnappy = {"-hu", "-n", "3000", "-parquet", "-rowgroup", "1000"};
const std::string kSameContent =
    "zerv\\.hun\\.parquet: OK \\(3000 rows; the same content in other bytes\\)\n";

// The same values in other compressed bytes are the same file to a
// reader; a changed value is not, and the line names where it is. The
// tool changes the last byte of the first data page of a column: for the
// plain columns here that is the row group's last row.
TEST(VerifyParquet, OtherCompressedBytesVerifyAndChangedValuesAreNamed) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string rewrite;
    int status;
    std::string out;  // a regular expression
  };
  const Case cases[] = {
      {"zstd pages at level 9", kZstd, "--zstd-level 9", 0, kSameContent},
      {"snappy pages as literals", kSnappy, "", 0, kSameContent},
      {"a key of row group 2", kZstd, "--zstd-level 9 --change 2 1", 1,
       "zerv\\.hun\\.parquet: FAILED: differs in the page at byte offset [0-9]+ \\(row group 2, "
       "column \"key\", row 2000\\)\n"},
      {"a fill text of the last row group", kZstd, "--change 3 11", 1,
       "zerv\\.hun\\.parquet: FAILED: differs in the page at byte offset [0-9]+ \\(row group 3, "
       "column \"fill\", row 3000\\)\n"},
      {"a snappy key of row group 1", kSnappy, "--change 1 1", 1,
       "zerv\\.hun\\.parquet: FAILED: differs in the page at byte offset 4 \\(row group 1, "
       "column \"key\", row 1000\\)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    RewrittenRun(dir, c.args, c.rewrite);
    const RunResult r = RunVerify(dir, c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
  }
}

// The line and the JSON object tell the run's own bytes from the same
// content in other bytes (16 bytes before the footer, pages compressed
// again), for a named file and for one on standard input alike. Through a
// pipe a file can only be compared byte for byte: the same content in
// other bytes fails there, at its first differing byte.
TEST(VerifyParquet, SameContentInOtherBytesIsToldApartFromTheRunsBytes) {
  ScratchDir dir, rewritten;
  ASSERT_EQ(RunZervgen(dir.path(), kZstd).status, 0);
  RewrittenRun(rewritten, kZstd, "--zstd-level 9");
  const std::string own = ReadFile(dir.File(kPq));
  std::uint32_t length = 0;
  std::memcpy(&length, own.data() + own.size() - 8, 4);
  const std::size_t footer = own.size() - 8 - length;
  struct Case {
    const char* name;
    std::string bytes;
    std::string verdict;  // after "NAME: "
    const char* exact;
  } cases[] = {
      {"the run's bytes", own, "OK (3000 rows)", "true"},
      {"16 bytes before the footer",
       own.substr(0, footer) + std::string(16, '\0') + own.substr(footer),
       "OK (3000 rows; the same content in other bytes)", "false"},
      {"pages compressed again", ReadFile(rewritten.File(kPq)),
       "OK (3000 rows; the same content in other bytes)", "false"},
  };
  const std::vector<std::string> fromStdin = With(kZstd, {"-f", "-", "-verify"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir.File(kPq), c.bytes);
    RunResult r = RunVerify(dir, kZstd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kPq + ": " + c.verdict + "\n");
    r = RunVerify(dir, With(kZstd, {"-json"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"ok\": true, \"failure\": null, \"detail\": null, \"exact\": " +
                         std::string(c.exact) + "}\n"),
              std::string::npos)
        << r.out;
    RunOptions options;
    options.stdinFile = dir.File(kPq);
    r = RunZervgen(dir.path(), fromStdin, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-: " + c.verdict + "\n");
    std::string piped = "cat " + kPq + " | \"$ZERVGEN\"";
    for (const std::string& arg : fromStdin) piped += " " + arg;
    r = RunScript(dir.path(), piped + " 2>/dev/null", 60);
    if (std::string(c.exact) == "true") {
      EXPECT_EQ(r.out, "-: " + c.verdict + "\n");
    } else {
      EXPECT_EQ(r.out.rfind("-: FAILED: differs at byte offset ", 0), 0u) << r.out;
    }
  }
}

// A rewritten file (so that the check turns to content) whose footer is
// then damaged: every such file fails with one line, and no read goes
// past what the file holds.
TEST(VerifyParquet, DamagedFootersFailCleanly) {
  ScratchDir dir;
  RewrittenRun(dir, kZstd, "--zstd-level 9");
  const std::string good = ReadFile(dir.File(kPq));
  const std::size_t footer = good.size() - 8;
  struct Case {
    const char* name;
    std::size_t at;
    std::string bytes;
  };
  std::vector<Case> cases = {
      {"a footer length past the file", footer, std::string("\xFF\xFF\xFF\x7F", 4)},
      {"a footer length of 0", footer, std::string(4, '\0')},
      {"a footer length of 1", footer, std::string("\x01\x00\x00\x00", 4)},
  };
  // Every 97th byte of the footer set to a list or struct header of a
  // huge count, or to an invalid type. Sanitized builds take every third of
  // these bytes.
#ifdef ZERVGEN_SANITIZED
  constexpr std::size_t kSpread = 3;
#else
  constexpr std::size_t kSpread = 1;
#endif
  std::uint32_t length = 0;
  std::memcpy(&length, good.data() + footer, 4);
  for (std::size_t at = footer - length; at < footer; at += 97 * kSpread) {
    cases.push_back({"a byte of the footer", at, "\xF9"});
    cases.push_back({"a byte of the footer", at + 1, "\x0D"});
  }
  // And every 23rd byte with its lowest bit flipped: a footer that decodes
  // to other metadata names the row group and column it describes.
  for (std::size_t at = footer - length; at < footer; at += 23 * kSpread) {
    cases.push_back({"a bit of the footer", at, std::string(1, static_cast<char>(good[at] ^ 1))});
  }
  const std::regex chunkMeta(
      "zerv\\.hun\\.parquet: FAILED: differs in the footer \\(row group "
      "[1-3], column \"[a-z]+\"\\)\n");
  int chunkMetaLines = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.at));
    std::string bad = good;
    bad.replace(c.at, c.bytes.size(), c.bytes);
    WriteFile(dir.File(kPq), bad);
    const RunResult r = RunVerify(dir, kZstd);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("zerv\\.hun\\.parquet: FAILED: [^\n]+\n")))
        << r.out;
    chunkMetaLines += std::regex_match(r.out, chunkMeta) ? 1 : 0;
  }
  EXPECT_GT(chunkMetaLines, 0);
}

}  // namespace
}  // namespace zervgen_test
