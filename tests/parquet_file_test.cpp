// parquet_file_test.cpp: whole Parquet files from the writer, read back by
// the test's own reader: the footer field by field, the layout of row
// groups and chunks, statistics and every value; and memory failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/datagen.h"
#include "core/columns.h"
#include "output/output.h"
#include "parquet/chunk.h"
#include "parquet/file.h"
#include "parquet_test_util.h"
#include "run/parquet_format.h"
#include "run/parquet_rows.h"
#include "run/plan.h"
#include "run/schemas.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::TagOf;

using zervgen_test::ScratchDir;
using zervgen_test::TValue;

template <typename T>
std::string Raw(T v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

// The columns of the test file and their values, row by row, as the reader
// gives them back (PLAIN bytes of numbers, contents of strings).
struct TestTable {
  static constexpr int kColumns = 5;
  ParquetColumnDesc columns[kColumns] = {{"key", ParquetType::kInt32, 0},
                                         {"decim", ParquetType::kDecimal12_2, 10},
                                         {"double", ParquetType::kDouble, 0},
                                         {"date", ParquetType::kDate, 40},
                                         {"fill", ParquetType::kString, 0}};
  std::vector<std::int32_t> keys;
  std::vector<std::int64_t> decimals;  // dictionary entries
  std::vector<std::uint32_t> decimalIndex;
  std::vector<double> doubles;
  std::vector<std::int32_t> dates;  // dictionary entries
  std::vector<std::uint32_t> dateIndex;
  std::string text;
  std::vector<std::uint32_t> offsets{0};

  explicit TestTable(std::int32_t rows) {
    for (std::int64_t d = -5; d < 5; ++d) decimals.push_back(d * 12345678901);
    for (std::int32_t d = 0; d < 40; ++d) dates.push_back(d * 917 - 25567);
    for (std::int32_t r = 0; r < rows; ++r) {
      keys.push_back(r * 7919 % 100003 - 50000);
      decimalIndex.push_back(static_cast<std::uint32_t>(r * 7 % 10));
      doubles.push_back(static_cast<double>((r * 31 % 2001) - 1000) * 1000003.0);
      dateIndex.push_back(static_cast<std::uint32_t>(r / 3 % 40));
      // 100 bytes, some of them >= 0x80, a line end after each as a formatter leaves it
      for (int k = 0; k < 100; ++k) text += static_cast<char>(0x21 + (r * 13 + k * 7) % 200);
      text += '\n';
      offsets.push_back(static_cast<std::uint32_t>(text.size()));
    }
  }
  ParquetValues Values(int c, std::int32_t first) const {
    ParquetValues v;
    switch (c) {
      case 0:
        v.i32 = keys.data() + first;
        break;
      case 1:
        v.i64 = decimals.data();
        v.indices = decimalIndex.data() + first;
        v.dictSize = 10;
        break;
      case 2:
        v.f64 = doubles.data() + first;
        break;
      case 3:
        v.i32 = dates.data();
        v.indices = dateIndex.data() + first;
        v.dictSize = 40;
        break;
      default:
        v.strings = ParquetStrings{text.data(), offsets.data() + first, 1};
    }
    return v;
  }
  std::string Expected(int c, std::size_t r) const {
    switch (c) {
      case 0:
        return Raw(keys[r]);
      case 1:
        return Raw(decimals[decimalIndex[r]]);
      case 2:
        return Raw(doubles[r]);
      case 3:
        return Raw(dates[dateIndex[r]]);
      default:
        return text.substr(offsets[r], offsets[r + 1] - offsets[r] - 1);
    }
  }
};

// The file of `table` in row groups of the given sizes; the status of the
// first step that failed, if any.
Status WriteFile(const TestTable& table, const std::vector<std::int32_t>& groups,
                 ParquetCodec codec, std::string* file) {
  ParquetFileBuilder builder(table.columns, TestTable::kColumns, "root", Gen_ParquetCreatedBy());
  *file = std::string(kParquetMagic, kParquetMagicSize);
  ParquetChunkEncoder encoder;
  std::int32_t first = 0;
  for (std::int32_t rows : groups) {
    ParquetEncodedChunk chunks[TestTable::kColumns];
    const ParquetChunkMeta* metas[TestTable::kColumns];
    for (int c = 0; c < TestTable::kColumns; ++c) {
      const Status s =
          encoder.Encode(table.columns[c], codec, table.Values(c, first), rows, &chunks[c]);
      if (s != StatusCode::kOk) return s;
      file->append(chunks[c].bytes.data(), chunks[c].bytes.size());
      metas[c] = &chunks[c].meta;
    }
    const Status s = builder.AddRowGroup(metas, rows);
    if (s != StatusCode::kOk) return s;
    EXPECT_EQ(builder.offset(), static_cast<std::int64_t>(file->size()));
    first += rows;
  }
  ParquetBuffer footer;
  const Status s = builder.Footer(&footer);
  if (s != StatusCode::kOk) return s;
  file->append(footer.data(), footer.size());
  return Status::Ok();
}

void ExpectSchema(const TValue& meta) {
  const auto& schema = meta[2].list;
  ASSERT_EQ(schema.size(), 6u);
  EXPECT_EQ(schema[0][4].bin, "root");
  EXPECT_EQ(schema[0][5].i, 5);
  EXPECT_FALSE(schema[0].has(1));
  struct {
    const char* name;
    int physical;
    int converted;  // -1: none
    int logical;    // LogicalType member, -1: none
  } want[] = {{"key", 1, -1, -1},
              {"decim", 2, 5, 5},
              {"double", 5, -1, -1},
              {"date", 1, 6, 6},
              {"fill", 6, 0, 1}};
  for (int c = 0; c < 5; ++c) {
    const TValue& e = schema[c + 1];
    EXPECT_EQ(e[4].bin, want[c].name);
    EXPECT_EQ(e[1].i, want[c].physical) << c;
    EXPECT_EQ(e[3].i, 0) << "required";
    EXPECT_EQ(e.has(6) ? e[6].i : -1, want[c].converted) << c;
    EXPECT_EQ(e.has(10) ? e[10].fields.begin()->first : -1, want[c].logical) << c;
  }
  EXPECT_EQ(schema[2][7].i, 2);
  EXPECT_EQ(schema[2][8].i, 12);
  EXPECT_EQ(schema[2][10][5][1].i, 2);
  EXPECT_EQ(schema[2][10][5][2].i, 12);
}

// Row group `g` (rows first .. first + rows - 1) of the file: contiguous
// chunks from the group's offset, the codec, encodings and true min and
// max of its rows.
void ExpectRowGroup(const TestTable& table, const TValue& rg, std::size_t first, std::int32_t rows,
                    int codec, std::int64_t* at) {
  EXPECT_EQ(rg[3].i, rows);
  EXPECT_EQ(rg[5].i, *at);
  std::int64_t compressed = 0;
  for (int c = 0; c < 5; ++c) {
    const TValue& chunk = rg[1].list[c];
    const TValue& cm = chunk[3];
    const bool dictionary = c == 1 || c == 3;
    EXPECT_EQ(chunk[2].i, *at);
    EXPECT_EQ(cm.has(11) ? cm[11].i : cm[9].i, *at);
    EXPECT_EQ(cm.has(11), dictionary);
    EXPECT_EQ(cm[2].list.size(), dictionary ? 2u : 1u);
    EXPECT_EQ(cm[2].list.back().i, dictionary ? 8 : 0);
    EXPECT_EQ(cm[3].list.at(0).bin, table.columns[c].name);
    EXPECT_EQ(cm[4].i, codec);
    EXPECT_EQ(cm[5].i, rows);
    // The true extremes of these rows in the column's order.
    std::vector<std::string> values;
    for (std::size_t r = first; r < first + rows; ++r) values.push_back(table.Expected(c, r));
    auto less = [&](const std::string& a, const std::string& b) {
      if (c == 4) return a < b;  // std::string compares bytes as unsigned char
      if (c == 2)
        return *reinterpret_cast<const double*>(a.data()) <
               *reinterpret_cast<const double*>(b.data());
      if (c == 1)
        return *reinterpret_cast<const std::int64_t*>(a.data()) <
               *reinterpret_cast<const std::int64_t*>(b.data());
      return *reinterpret_cast<const std::int32_t*>(a.data()) <
             *reinterpret_cast<const std::int32_t*>(b.data());
    };
    EXPECT_EQ(cm[12][3].i, 0);
    EXPECT_EQ(cm[12][5].bin, *std::max_element(values.begin(), values.end(), less)) << c;
    EXPECT_EQ(cm[12][6].bin, *std::min_element(values.begin(), values.end(), less)) << c;
    *at += cm[7].i;
    compressed += cm[7].i;
  }
  EXPECT_EQ(rg[6].i, compressed);
}

TEST(ParquetFileTest, SmallFileReadsBack) {
  const std::vector<std::int32_t> groups = {20000, 20000, 10001};
  const TestTable table(50001);
  for (ParquetCodec codec :
       {ParquetCodec::kUncompressed, ParquetCodec::kSnappy, ParquetCodec::kZstd}) {
    SCOPED_TRACE(Parquet_CodecName(codec));
    std::string file;
    ASSERT_EQ(WriteFile(table, groups, codec, &file), StatusCode::kOk);
    const auto contents = zervgen_test::ReadParquet(file);
    const TValue& meta = contents.meta;
    EXPECT_EQ(meta[1].i, 2);
    EXPECT_EQ(meta[3].i, 50001);
    EXPECT_EQ(meta[6].bin, "zervgen version 1.0 (build zervgen)");
    ASSERT_EQ(meta[7].list.size(), 5u);
    EXPECT_TRUE(meta[7].list[4].has(1));
    ExpectSchema(meta);
    ASSERT_EQ(meta[4].list.size(), 3u);
    std::int64_t at = 4;
    std::size_t first = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      EXPECT_EQ(meta[4].list[g][7].i, static_cast<std::int64_t>(g));
      ExpectRowGroup(table, meta[4].list[g], first, groups[g], static_cast<int>(codec), &at);
      first += groups[g];
    }
    std::uint32_t footer;
    std::memcpy(&footer, file.data() + file.size() - 8, 4);
    EXPECT_EQ(at + footer + 8, static_cast<std::int64_t>(file.size()));
    for (int c = 0; c < 5; ++c) {
      ASSERT_EQ(contents.columns[c].size(), 50001u);
      for (std::size_t r = 0; r < 50001; ++r) {
        ASSERT_EQ(contents.columns[c][r], table.Expected(c, r)) << c << " row " << r;
      }
    }
    // 20000 strings of 104 bytes take two pages of about 1 MiB; keys one.
    EXPECT_EQ(contents.pageCounts[0][4], 2);
    EXPECT_EQ(contents.pageCounts[0][0], 1);
  }
}

// An empty table is a file of no row groups.
TEST(ParquetFileTest, NoRowGroups) {
  const TestTable table(0);
  std::string file;
  ASSERT_EQ(WriteFile(table, {}, ParquetCodec::kSnappy, &file), StatusCode::kOk);
  const auto contents = zervgen_test::ReadParquet(file);
  EXPECT_EQ(contents.meta[3].i, 0);
  EXPECT_TRUE(contents.meta[4].list.empty());
  // A chunk that does not fit its column is refused.
  const TestTable one(8);
  ParquetFileBuilder builder(one.columns, 5, "root", "test");
  ParquetEncodedChunk chunk;
  ASSERT_EQ(
      Parquet_EncodeColumnChunk(one.columns[0], ParquetCodec::kSnappy, one.Values(0, 0), 8, &chunk),
      StatusCode::kOk);
  const ParquetChunkMeta* metas[5] = {&chunk.meta, &chunk.meta, &chunk.meta, &chunk.meta,
                                      &chunk.meta};
  EXPECT_EQ(builder.AddRowGroup(metas, 8), StatusCode::kInvalidArgument);
  EXPECT_EQ(builder.AddRowGroup(std::span(metas, 1), 8), StatusCode::kInvalidArgument);
  EXPECT_EQ(builder.rowGroups(), 0);
}

// Fails every buffer allocation from the k-th on.
class FailFrom : public Env {
 public:
  explicit FailFrom(int k) : from_(k), scope_(this) {}
  bool MayAllocate(Memory kind, std::size_t) override {
    return kind != Memory::kBuffer || ++count_ < from_;
  }
  int count() const { return count_; }

 private:
  int count_ = 0;
  int from_;
  zervgen_test::ScopedEnv scope_;
};

// Under memory failing at every point in turn, each step hands back
// kNoMemory (never a partial success nor an exception), and once enough
// memory is there the file is the same.
TEST(ParquetFileTest, MemoryFailureReturnsStatus) {
  const OutputFormat framing = Output_MakeFormat(',', 0);
  const TestTable table(3000);
  std::string want;
  ASSERT_EQ(WriteFile(table, {2000, 1000}, ParquetCodec::kZstd, &want), StatusCode::kOk);
  std::vector<std::int32_t> codes(3000);
  for (std::int32_t r = 0; r < 3000; ++r) codes[r] = r % 50 + 2;
  const OutputRowField field{codes.data(), 1, OutputKind::kVarChar, 80};
  // The same codes as run numbers.
  std::vector<std::int32_t> runValues(50);
  std::vector<std::uint8_t> numbers(3000);
  for (std::int32_t k = 0; k < 50; ++k) runValues[k] = k + 2;
  for (std::int32_t r = 0; r < 3000; ++r) numbers[r] = static_cast<std::uint8_t>(r % 50);
  const OutputRowField runs{nullptr, 1, OutputKind::kVarChar, 80,
                            OutputRuns{numbers.data(), 1, runValues.data(), 50}};
  int failures = 0;
  for (int k = 1;; ++k) {
    std::string file;
    Status status;
    Status fieldStatus[4];
    int reached;
    {
      FailFrom fail(k);
      status = WriteFile(table, {2000, 1000}, ParquetCodec::kZstd, &file);
      ParquetFieldEncoder encoder;
      ParquetEncodedChunk chunk;
      for (int dict = 0; dict <= 1; ++dict) {
        const ParquetColumnDesc desc{"address", ParquetType::kString, dict ? 50 : 3000};
        fieldStatus[dict] =
            encoder.Encode(desc, ParquetCodec::kSnappy, framing, field, 3000, 1, &chunk);
        fieldStatus[2 + dict] =
            encoder.Encode(desc, ParquetCodec::kSnappy, framing, runs, 3000, 1, &chunk);
      }
      reached = fail.count();
    }
    for (Status s : fieldStatus) {
      EXPECT_TRUE(s == StatusCode::kOk || s == StatusCode::kNoMemory) << k;
    }
    EXPECT_TRUE(status == StatusCode::kOk || status == StatusCode::kNoMemory) << k;
    if (status == StatusCode::kOk) {
      EXPECT_TRUE(file == want) << k;
    }
    if (reached < k) {
      EXPECT_EQ(status, StatusCode::kOk);
      for (Status s : fieldStatus) EXPECT_EQ(s, StatusCode::kOk) << k;
      break;
    }
    ++failures;
  }
  EXPECT_GT(failures, 10);
}

// The Parquet files of every relation, in the run's order, their columns
// kept as run numbers (`keep`) or as values: the whole relation, or the
// rows [first, first + count) of each.
std::vector<std::string> RelationFiles(const char* dir, bool keep, int threads,
                                       std::int32_t rowGroup, std::int32_t first,
                                       std::int32_t count) {
  constexpr std::int32_t kRows = 70001;
  GenControlBlock cb{};
  cb.threads = threads;
  cb.keepRunNumbers = keep ? 1 : 0;
  Gen_InitializeCB(&cb, kRows, 5, dir);
  const OutputFormat framing = Output_MakeFormat(',', 0);
  GenParquetSettings settings;
  settings.codec = ParquetCodec::kSnappy;
  settings.rowGroupRows = rowGroup;
  const GenFormatMaker parquet = [&](const char* relName, std::span<const GenColumnSpec> fields) {
    return Gen_ParquetFormat(relName, fields, framing, settings);
  };
  std::vector<std::string> files;
  bool kept = false;
  for (const GenRelation& relation : kGenRelations) {  // in run order
    const std::int32_t total = relation.oneRow ? 1 : kRows;
    const GenRows rows = relation.oneRow ? GenRows{1, 0, 1} : GenRows{total, first, count};
    const std::string path = std::string(dir) + "/" + relation.name;
    const GenRelationPlan plan{Gen_TagOf(relation), relation.name, total, {{path, rows}}};
    EXPECT_EQ(Gen_Relation(&cb, plan, parquet), StatusCode::kOk);
    for (int i = 0; i < kGenSlots; ++i) kept = kept || Gen_Slot(&cb, i)->runWidth != 0;
    files.push_back(zervgen_test::ReadText(path));
    std::remove(path.c_str());
  }
  Main_cleanup(&cb);
  // Run numbers are kept when, and only when, asked for.
  EXPECT_EQ(kept, keep);
  return files;
}

// Columns kept as run numbers write the Parquet files of their values, byte
// for byte: every relation in the run's order (the later ones taking the
// earlier ones' columns), one thread and three, row groups ending within
// a column's first runs and a last one too short for a dictionary, and a
// part.
TEST(ParquetFileTest, ColumnsKeptAsRunNumbersWriteTheFilesOfTheirValues) {
  struct {
    int threads;
    std::int32_t rowGroup, first, count;
  } cases[] = {{1, 1048576, 0, 70001}, {3, 1000, 0, 70001}, {2, 7000, 20011, 17000}};
  for (const auto& c : cases) {
#ifdef __SANITIZE_THREAD__
    if (c.threads == 1) continue;  // no thread for ThreadSanitizer to watch
#endif
    ScratchDir dir;
    const std::vector<std::string> want =
        RelationFiles(dir.path(), false, c.threads, c.rowGroup, c.first, c.count);
    const std::vector<std::string> got =
        RelationFiles(dir.path(), true, c.threads, c.rowGroup, c.first, c.count);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_GT(want[i].size(), 100u);
      EXPECT_TRUE(got[i] == want[i])
          << "relation " << i << ", " << c.threads << " threads, row group " << c.rowGroup
          << ", rows from " << c.first;
    }
  }
}

}  // namespace
}  // namespace zervgen
