// End-to-end runs of -parquet: the names of the files and parts, the same
// bytes whatever the number of threads and on standard output, files framed
// by the format's magic, and the report's format line. The values inside
// are checked by two independent readers (.ci/parquet-readers).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "relations.h"

namespace zervgen_test {
namespace {

bool IsParquet(const std::string& bytes) {
  return bytes.size() > 12 && bytes.compare(0, 4, "PAR1") == 0 &&
         bytes.compare(bytes.size() - 4, 4, "PAR1") == 0;
}

TEST(Parquet, FilesAreNamedLikeTheTextFilesWithParquetAtTheEnd) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> files;
  } cases[] = {
      {{"-n", "1000"}, AllFiles("zerv", ".parquet")},
      {{"-n", "1000", "-f", "d", "-fc", "3"}, AllFiles("d", ".parquet")},
      {{"-hu", "-n", "1000", "-f", "h.pq"}, {"h.pq"}},
      {{"-te", "-n", "1000", "-parts", "3"},
       {"zerv.ten.1.parquet", "zerv.ten.2.parquet", "zerv.ten.3.parquet"}},
      {{"-hu", "-n", "1000", "-f", "x.parquet", "-parts", "2", "-part", "2"}, {"x.2.parquet"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("-parquet");
    ScratchDir dir;
    const RunResult r = RunZervgen(dir.path(), args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.List(), c.files);
    for (const std::string& name : c.files) {
      EXPECT_TRUE(IsParquet(ReadFile(dir.File(name)))) << name;
    }
  }
}

// Row groups are formatted by workers and written in order: any thread
// count gives the same file, a part on standard output the bytes of the
// part file, and the report tells the format.
TEST(Parquet, SameBytesForEveryThreadCountAndOnStandardOutput) {
  const std::vector<std::string> base = {"-hu",      "-n",        "30001", "-fc",    "12",
                                         "-parquet", "-rowgroup", "4000",  "-codec", "zstd"};
  std::string first;
  for (const char* threads : {"1", "2", "5"}) {
    ScratchDir dir;
    std::vector<std::string> args = base;
    args.insert(args.end(), {"-threads", threads, "-f", "h", "-r", "rpt"});
    const RunResult r = RunZervgen(dir.path(), args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string bytes = ReadFile(dir.File("h"));
    ASSERT_TRUE(IsParquet(bytes));
    if (first.empty()) first = bytes;
    EXPECT_TRUE(bytes == first) << threads << " threads";
    EXPECT_NE(
        ReadFile(dir.File("rpt")).find("Fmt:  parquet, zstd pages, 4000 rows per row group.\n"),
        std::string::npos);
  }
  ScratchDir parts;
  std::vector<std::string> args = base;
  args.insert(args.end(), {"-parts", "3", "-f", "h"});
  ASSERT_EQ(RunZervgen(parts.path(), args).status, 0);
  args = base;
  args.insert(args.end(), {"-parts", "3", "-part", "2", "-f", "-"});
  ScratchDir out;
  const RunResult r = RunZervgen(out.path(), args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == ReadFile(parts.File("h.2"))) << "standard output differs from part 2";
  EXPECT_TRUE(out.List().empty());
}

}  // namespace
}  // namespace zervgen_test
