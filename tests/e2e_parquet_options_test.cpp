// End-to-end checks of the Parquet options for query engines (-codec
// zstd:N, -pagesize, -pageindex): the defaults they leave alone keep every
// byte, their files are the same for any -threads and for parts, and
// -verify proves them, also after their pages were compressed again.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace zervgen_test {
namespace {

// The file of `args`, made in a folder of its own.
std::string Made(const std::vector<std::string>& args, const std::string& name = kPq) {
  ScratchDir dir;
  const RunResult r = RunZervgen(dir.path(), args);
  EXPECT_EQ(r.status, 0) << r.err;
  return ReadFile(dir.File(name));
}

// Options given at their defaults write the bytes of the command without
// them; other values write other bytes.
TEST(ParquetOptions, DefaultsKeepTheBytes) {
  const std::string zstd = Made(With(kParquetRun, {"-codec", "zstd"}));
  EXPECT_EQ(Made(With(kParquetRun, {"-codec", "zstd:3"})), zstd);
  EXPECT_NE(Made(With(kParquetRun, {"-codec", "zstd:12"})), zstd);
  const std::string snappy = Made(kParquetRun);
  EXPECT_EQ(Made(With(kParquetRun, {"-pagesize", "1048576"})), snappy);
  EXPECT_NE(Made(With(kParquetRun, {"-pagesize", "4096"})), snappy);
  EXPECT_NE(Made(With(kParquetRun, {"-pageindex"})), snappy);
}

// With every option: the same bytes for 1 and 3 threads, the parts verify,
// and the whole file verifies, but not as a file of other page sizes or
// without its page index.
TEST(ParquetOptions, SameBytesForAnyThreadsAndVerified) {
  const std::vector<std::string> all =
      With(kParquetRun, {"-codec", "zstd:9", "-pagesize", "4096", "-pageindex"});
  ScratchDir dir;
  RunResult r = RunZervgen(dir.path(), With(all, {"-threads", "1"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Made(With(all, {"-threads", "3"})), ReadFile(dir.File(kPq)));
  r = RunZervgen(dir.path(), With(all, {"-verify"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "zerv.hun.parquet: OK (5000 rows)\n");
  r = RunZervgen(dir.path(), {"-hu", "-n", "5000", "-parquet", "-rowgroup", "2000", "-fc", "30",
                              "-codec", "zstd", "-pagesize", "4096", "-pageindex", "-verify"});
  EXPECT_EQ(r.out, "zerv.hun.parquet: OK (5000 rows; the same content in other bytes)\n")
      << "another zstd level, same values";
  r = RunZervgen(dir.path(),
                 With(With(kParquetRun, {"-codec", "zstd:9", "-pageindex"}), {"-verify"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "zerv.hun.parquet: FAILED: differs at byte offset 4 (row group 1, column \"key\", page "
            "header)\n");
  r = RunZervgen(dir.path(),
                 With(With(kParquetRun, {"-codec", "zstd:9", "-pagesize", "4096"}), {"-verify"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("zerv\\.hun\\.parquet: FAILED: [^\n]*\n")))
      << r.out;

  ScratchDir parts;
  r = RunZervgen(parts.path(), With(all, {"-parts", "2"}));
  ASSERT_EQ(r.status, 0) << r.err;
  r = RunZervgen(parts.path(), With(all, {"-parts", "2", "-verify"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "zerv.hun.1.parquet: OK (2500 rows)\nzerv.hun.2.parquet: OK (2500 rows)\n");
}

// A file with a page index whose pages were compressed again (the indexes
// moved, the offset index's places rewritten) verifies; a changed byte of a
// column index does not.
TEST(ParquetOptions, PageIndexIsVerifiedWhereTheFilePutsIt) {
  const std::vector<std::string> args =
      With(kParquetRun, {"-codec", "zstd", "-pagesize", "4096", "-pageindex"});
  ScratchDir made, dir;
  ASSERT_EQ(RunZervgen(made.path(), args).status, 0);
  const RunResult rw = RunScript(dir.path(),
                                 std::string(ZERVGEN_PQ_REWRITE) + " '" + made.File(kPq) + "' '" +
                                     dir.File(kPq) + "' --zstd-level 8",
                                 60);
  ASSERT_EQ(rw.status, 0) << rw.err;
  const std::string rewritten = ReadFile(dir.File(kPq));
  ASSERT_NE(rewritten, ReadFile(made.File(kPq)));
  RunResult r = RunZervgen(dir.path(), With(args, {"-verify"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "zerv.hun.parquet: OK (5000 rows; the same content in other bytes)\n");
  std::string bad = rewritten;
  std::uint32_t metaBytes = 0;
  std::memcpy(&metaBytes, bad.data() + bad.size() - 8, 4);
  const std::size_t footerStart = bad.size() - 8 - metaBytes;
  // Flip the last byte before the metadata: the last offset index's last
  // first_row_index.
  bad[footerStart - 2] = static_cast<char>(bad[footerStart - 2] ^ 0x02);
  WriteFile(dir.File(kPq), bad);
  r = RunZervgen(dir.path(), With(args, {"-verify"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "zerv.hun.parquet: FAILED: differs in the page index (row group 3, column \"fill\")\n");
}

}  // namespace
}  // namespace zervgen_test
