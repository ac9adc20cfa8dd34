// End-to-end checks of -bloom: a file without it keeps its bytes, a file
// with it has the same bytes for any -threads and verifies, parts too, and
// -verify fails a file whose filter was damaged, naming the row group and
// the column.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"

namespace zervgen_test {
namespace {

const std::vector<std::string> kBloom = With(kParquetRun, {"-bloom", "key,name,fill"});

// Where each filter's bits start: after each BloomFilterHeader (a bitset's
// size, then split blocks, xxHash and no compression, each an empty union
// member), in file order.
std::vector<std::size_t> BitsetStarts(const std::string& file) {
  const std::string tail("\x1c\x1c\x00\x00\x1c\x1c\x00\x00\x1c\x1c\x00\x00\x00", 13);
  std::vector<std::size_t> starts;
  for (std::size_t at = file.find(tail); at != std::string::npos; at = file.find(tail, at + 1)) {
    starts.push_back(at + tail.size());
  }
  return starts;
}

// The same bytes for 1 and 3 threads, other bytes than without -bloom; a
// filter per row group (3) and column named (3); -verify finds the file OK,
// and not OK as a file without filters, or with others.
TEST(ParquetBloom, SameBytesForAnyThreadsAndVerified) {
  ScratchDir dir, other, plain;
  ASSERT_EQ(RunZervgen(dir.path(), With(kBloom, {"-threads", "1"})).status, 0);
  ASSERT_EQ(RunZervgen(other.path(), With(kBloom, {"-threads", "3"})).status, 0);
  ASSERT_EQ(RunZervgen(plain.path(), kParquetRun).status, 0);
  const std::string file = ReadFile(dir.File(kPq));
  EXPECT_EQ(ReadFile(other.File(kPq)), file);
  EXPECT_NE(ReadFile(plain.File(kPq)), file);
  EXPECT_EQ(BitsetStarts(file).size(), 9u);

  RunResult r = RunZervgen(dir.path(), With(kBloom, {"-verify"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "zerv.hun.parquet: OK (5000 rows)\n");
  r = RunZervgen(dir.path(), With(kParquetRun, {"-verify"}));
  EXPECT_EQ(r.status, 1);
  r = RunZervgen(dir.path(), With(kParquetRun, {"-bloom", "key,name", "-verify"}));
  EXPECT_EQ(r.status, 1);
  r = RunZervgen(plain.path(), With(kBloom, {"-verify"}));
  EXPECT_EQ(r.status, 1);

  ScratchDir parts;
  ASSERT_EQ(RunZervgen(parts.path(), With(kBloom, {"-parts", "2", "-threads", "2"})).status, 0);
  r = RunZervgen(parts.path(), With(kBloom, {"-parts", "2", "-verify"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "zerv.hun.1.parquet: OK (2500 rows)\nzerv.hun.2.parquet: OK (2500 rows)\n");
}

// A bit changed in a filter's bitset fails -verify at that filter: the
// filters of a row group follow its chunks in column order.
TEST(ParquetBloom, DamagedFilterFailsVerifyNamingItsPlace) {
  ScratchDir dir;
  ASSERT_EQ(RunZervgen(dir.path(), kBloom).status, 0);
  const std::string file = ReadFile(dir.File(kPq));
  const std::vector<std::size_t> starts = BitsetStarts(file);
  ASSERT_EQ(starts.size(), 9u);
  struct Case {
    std::size_t filter;  // in file order
    std::size_t byte;    // into its bitset
    const char* place;
  };
  const Case cases[] = {
      {0, 0, "row group 1, column \"key\""},
      {4, 17, "row group 2, column \"name\""},
      {8, 5, "row group 3, column \"fill\""},
  };
  for (const Case& c : cases) {
    std::string bad = file;
    bad[starts[c.filter] + c.byte] = static_cast<char>(bad[starts[c.filter] + c.byte] ^ 0x10);
    WriteFile(dir.File(kPq), bad);
    const RunResult r = RunZervgen(dir.path(), With(kBloom, {"-verify"}));
    EXPECT_EQ(r.status, 1) << c.place;
    EXPECT_EQ(r.out, std::string("zerv.hun.parquet: FAILED: differs in the bloom filter (") +
                         c.place + ")\n");
  }
}

}  // namespace
}  // namespace zervgen_test
