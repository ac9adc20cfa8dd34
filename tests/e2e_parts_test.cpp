// End-to-end runs of relations split into part files: the parts of one run
// concatenate to the whole relation, a run of one part writes exactly that
// part (to a file or to a pipe), whatever the format, thread count or
// column storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "relations.h"

namespace zervgen_test {
namespace {

const std::vector<std::string> kAllFiles = AllFiles();

struct PartsCase {
  std::vector<std::string> args;  // relation, rows, format, threads
  int parts;
  const char* file;       // the one relation's file; null: every relation's
  long long limitKb = 0;  // address-space limit of every run; 0: none
};

std::vector<std::string> Files(const PartsCase& c) {
  if (c.file != nullptr) return {c.file};
  return kAllFiles;
}

RunResult Run(const ScratchDir& dir, const std::vector<std::string>& args, const PartsCase& c) {
  RunOptions options;
  options.addressSpaceKb = c.limitKb;
  return RunZervgen(dir.path(), args, options);
}

// The names of part `k` of each file, or of all parts when k is 0, sorted.
std::vector<std::string> PartNames(const PartsCase& c, int k) {
  std::vector<std::string> names;
  for (const std::string& file : Files(c)) {
    for (int i = (k == 0 ? 1 : k); i <= (k == 0 ? c.parts : k); ++i) {
      names.push_back(file + "." + std::to_string(i));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Part k of n rows holds rows (k-1)*n/N .. k*n/N-1.
int PartRows(int n, int parts, int k) {
  return static_cast<int>(static_cast<long long>(k) * n / parts -
                          static_cast<long long>(k - 1) * n / parts);
}

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Each part holds its rows, and the parts in order are the whole file
// (tiny's one row is in the last part).
void ExpectPartsMakeTheWhole(const PartsCase& c, const ScratchDir& whole, const ScratchDir& all) {
  const auto rowsOption = std::find(c.args.begin(), c.args.end(), "-n");
  const int n = std::stoi(*(rowsOption + 1));
  for (const std::string& file : Files(c)) {
    SCOPED_TRACE(file);
    std::string joined;
    for (int k = 1; k <= c.parts; ++k) {
      const std::string part = ReadFile(all.File(file + "." + std::to_string(k)));
      const int rows = file == "zerv.tny" ? (k == c.parts ? 1 : 0) : PartRows(n, c.parts, k);
      EXPECT_EQ(CountLines(part), rows) << "part " << k;
      joined += part;
    }
    const std::string want = ReadFile(whole.File(file));
    EXPECT_TRUE(joined == want) << FirstDifference(joined, want);
  }
}

// Runs the whole relation, all parts, and single parts; returns false when
// a run under an address-space limit found too little memory.
bool CheckParts(const PartsCase& c) {
  ScratchDir whole, all;
  RunResult w = Run(whole, c.args, c);
  if (c.limitKb != 0 && w.status != 0) return false;
  EXPECT_EQ(w.status, 0) << w.err;
  const std::vector<std::string> partsArgs = With(c.args, {"-parts", std::to_string(c.parts)});
  RunResult a = Run(all, partsArgs, c);
  if (c.limitKb != 0 && a.status != 0) return false;
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(AfterBanner(a.err), "");
  EXPECT_EQ(all.List(), PartNames(c, 0));
  ExpectPartsMakeTheWhole(c, whole, all);
  // A part alone: the first, the middle and the last (the middle one in
  // sanitized builds, whose threads and reads are the same for each).
#ifdef ZERVGEN_SANITIZED
  const std::vector<int> alone = {(c.parts + 1) / 2};
#else
  const std::vector<int> alone = {1, (c.parts + 1) / 2, c.parts};
#endif
  for (int k : alone) {
    SCOPED_TRACE("part " + std::to_string(k));
    ScratchDir one;
    RunResult r = Run(one, With(partsArgs, {"-part", std::to_string(k)}), c);
    if (c.limitKb != 0 && r.status != 0) return false;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one.List(), PartNames(c, k));
    for (const std::string& name : PartNames(c, k)) {
      EXPECT_TRUE(ReadFile(one.File(name)) == ReadFile(all.File(name))) << name;
    }
  }
  return true;
}

// Relations, sizes (one chunk, several, many), formats, thread counts, and
// part counts from 1 to the number of rows.
TEST(Parts, ConcatenatedPartsEqualTheWholeAndEachPartRunsAlone) {
  const PartsCase cases[] = {
      {{"-n", "100"}, 3, nullptr},
      // Long enough for columns shuffled as run numbers; the relations
      // that reuse a column share the part's rows.
      {{"-n", "70001", "-threads", "2"}, 4, nullptr},
      {{"-hu", "-n", "4097", "-ff", "-fc", "100", "-threads", "1"}, 2, "zerv.hun"},
      {{"-un", "-n", "70001", "-dc", "tab", "-fc", "9", "-threads", "3"}, 7, "zerv.uni"},
      {{"-te", "-n", "100", "-dc", "|", "-fc", "100"}, 100, "zerv.ten"},
      {{"-up", "-n", "4097", "-fc", "100", "-threads", "2"}, 1, "zerv.upd"},
  };
  for (const PartsCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + " parts " + std::to_string(c.parts));
    EXPECT_TRUE(CheckParts(c));
  }
}

// Columns kept in temporary files are read from the part's first value on.
// Whether a limit puts columns in files depends on the process's own size,
// so a ladder of limits is tried and at least one must succeed.
TEST(Parts, PartsFromTemporaryFileColumns) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  int succeeded = 0;
  // 300000 rows: under these limits most columns of the hundred relation
  // go to temporary files, and the parts start inside a read block.
  for (long long limit : {11000, 16000}) {
    SCOPED_TRACE(limit);
    PartsCase c{{"-hu", "-n", "300000", "-fc", "5"}, 3, "zerv.hun", limit};
    if (CheckParts(c)) {
      ++succeeded;
      break;
    }
  }
  EXPECT_GE(succeeded, 1);
}

// With one relation, "-f -" and "-part K", the part goes to standard output,
// here a pipe; part K run on K threads is part K of a run on every core.
TEST(Parts, OnePartToStandardOutputOnAPipe) {
  ScratchDir all, piped;
  ASSERT_EQ(RunZervgen(all.path(), {"-hu", "-n", "30000", "-fc", "3", "-parts", "3"}).status, 0);
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(k);
    const std::string part = std::to_string(k);
    RunResult r = RunScript(piped.path(),
                            "\"$ZERVGEN\" -hu -n 30000 -fc 3 -parts 3 -part " + part +
                                " -threads " + part + " -f - | cat",
                            60);
    EXPECT_EQ(r.status, 0);
    const std::string want = ReadFile(all.File("zerv.hun." + part));
    EXPECT_TRUE(r.out == want) << FirstDifference(r.out, want);
    EXPECT_TRUE(piped.List().empty());
  }
}

}  // namespace
}  // namespace zervgen_test
