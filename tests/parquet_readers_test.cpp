// parquet_readers_test.cpp: files for the independent readers. With
// ZERVGEN_PARQUET_OUT set to a folder, generates a table of runs of real
// relations through the library, each written as its text file (by the
// relation writer) and as Parquet (from the same column vectors, through the
// Parquet module, the way the relation writer is to do it), and lists them in
// manifest.jsonl for tests/parquet/verify.mjs. Skipped without the variable.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "datagen.h"
#include "except.h"
#include "gen.h"
#include "output.h"
#include "parquet/convert.h"
#include "parquet/file.h"
#include "random.h"
#include "test_util.h"

namespace zervgen {
namespace {

using Slot = GenAttr GenControlBlock::*;
using CB = GenControlBlock;

// A field of a relation as the table files name and type it.
struct Field {
  const char* name;
  ParquetType type;
  Slot slot;  // null: the fill field
  OutputWriter writer;
  int width;
  std::int64_t hint;  // -1: n, -10: n / 10, -2: the days, else as it is
};

struct Relation {
  const char* name;
  void (*generate)(GenControlBlock*, const char*);
  std::vector<Field> fields;
};

std::vector<Field> TenFields(Slot key, Slot integer, Slot decim, std::vector<std::int64_t> hints) {
  std::vector<Field> f = {
      {"key", ParquetType::kInt32, key, Output_Integer, 10, 0},
      {"int", ParquetType::kInt32, integer, Output_Integer, 10, 0},
      {"signed", ParquetType::kInt32, &CB::signedAttr, Output_Integer, 10, 0},
      {"float", ParquetType::kDecimal12_2, &CB::floatAttr, Output_Float, 10, 0},
      {"double", ParquetType::kDouble, &CB::doubleAttr, Output_Integer, 11, 0},
      {"decim", ParquetType::kDecimal12_2, decim, Output_Integer, 11, 0},
      {"date", ParquetType::kDate, &CB::dateAttr, Output_Date, 10, -2},
      {"code", ParquetType::kString, &CB::codeAttr, Output_Fixed10, 10, 0},
      {"name", ParquetType::kString, &CB::nameAttr, Output_Fixed20, 20, 0},
      {"address", ParquetType::kString, &CB::addressAttr, Output_VarChar, 80, 0},
      {"fill", ParquetType::kString, nullptr, Output_Fill, 0, 0}};
  for (std::size_t i = 0; i < hints.size(); ++i) f[i].hint = hints[i];
  return f;
}

const Relation& RelationNamed(const std::string& name) {
  static const Relation relations[] = {
      {"hundred", Gen_Hundred,
       TenFields(&CB::keyAttr, &CB::integerAttr, &CB::doubleAttr,
                 {-1, -1, 100, 100, 100, 100, -2, -1, 100, 100})},
      {"tenpcnt", Gen_TenPcnt,
       TenFields(&CB::integerAttr, &CB::integerAttr, &CB::doubleAttr,
                 {-1, -1, -1, -10, -10, -10, -2, -1, 10, -10})},
      {"uniques", Gen_Uniques,
       TenFields(&CB::integerAttr, &CB::integerAttr, &CB::decimalAttr,
                 {-1, -1, -1, 10, -1, -1, -2, -1, -1, -1})},
      {"updates", Gen_Updates,
       TenFields(&CB::keyAttr, &CB::keyAttr, &CB::decimalAttr,
                 {-1, -1, -1, 10, -1, -1, -2, -1, -1, -1})},
      {"tiny", Gen_Tiny, {{"key", ParquetType::kInt32, &CB::keyAttr, Output_Integer, 10, 1}}},
  };
  for (const Relation& r : relations) {
    if (name == r.name) return r;
  }
  std::abort();
}

std::int64_t Hint(std::int64_t hint, std::int32_t n) {
  if (hint == -1) return n;
  if (hint == -10) return n / 10;
  if (hint == -2) return std::min<std::int32_t>(n, 36524);
  return hint;
}

// One run: a relation at n rows and a fill width, written as text and as
// Parquet (whole, or in parts) with a codec and row group size.
struct ReaderRun {
  const char* relation;
  std::int32_t n;
  std::int16_t fill;
  ParquetCodec codec;
  std::int32_t rowGroup;
  std::int32_t parts;  // 0: one whole file
};

class ParquetWriter {
 public:
  ParquetWriter(GenControlBlock* cb, const Relation& rel) : cb_(cb) {
    for (const Field& f : rel.fields) {
      if (f.slot == nullptr && cb->fillAttr.nFill == 0) continue;  // -fc 0: no fill column
      fields_.push_back(f);
      descs_.push_back({f.name, f.type, Hint(f.hint, cb->nTuples)});
    }
    nFill_ = cb->fillAttr.nFill;
  }

  // Rows first .. first + count - 1 as a Parquet file at `path`.
  void Write(const std::string& path, std::int32_t first, std::int32_t count,
             const ReaderRun& run) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr) << path;
    ParquetFileBuilder file(descs_.data(), static_cast<int>(descs_.size()), run.relation);
    std::fwrite(kParquetMagic, 1, kParquetMagicSize, out);
    std::vector<ParquetEncodedChunk> chunks(fields_.size());
    std::vector<const ParquetChunkMeta*> metas(fields_.size());
    for (std::int32_t at = first; at < first + count; at += run.rowGroup) {
      const std::int32_t rows = std::min(run.rowGroup, first + count - at);
      const std::int32_t fill = Ms_JumpAhead(
          cb_->fillAttr.fillSeed, static_cast<std::uint64_t>(at) * Output_FillDraws(nFill_));
      for (std::size_t c = 0; c < fields_.size(); ++c) {
        const Field& f = fields_[c];
        OutputRowField field{&nFill_, 0, f.writer, nFill_};
        if (f.slot != nullptr) field = {(cb_->*f.slot).vector + at, 1, f.writer, f.width};
        ASSERT_EQ(encoder_.Encode(descs_[c], run.codec, field, rows, fill, &chunks[c]),
                  ParquetStatus::kOk);
        std::fwrite(chunks[c].bytes.data(), 1, chunks[c].bytes.size(), out);
        metas[c] = &chunks[c].meta;
      }
      ASSERT_EQ(file.AddRowGroup(metas, rows), ParquetStatus::kOk);
    }
    ParquetBuffer footer;
    ASSERT_EQ(file.Footer(&footer), ParquetStatus::kOk);
    std::fwrite(footer.data(), 1, footer.size(), out);
    ASSERT_EQ(std::fclose(out), 0);
  }

  std::string ColumnsJson() const {
    std::string s = "[";
    for (const Field& f : fields_) s += std::string(s.size() > 1 ? "," : "") + "\"" + f.name + "\"";
    return s + "]";
  }

 private:
  GenControlBlock* cb_;
  std::vector<Field> fields_;
  std::vector<ParquetColumnDesc> descs_;
  std::int32_t nFill_ = 0;
  ParquetFieldEncoder encoder_;
};

TEST(ParquetReaderFiles, WriteForReaders) {
  const char* dir = std::getenv("ZERVGEN_PARQUET_OUT");
  if (dir == nullptr) GTEST_SKIP() << "ZERVGEN_PARQUET_OUT not set";
  const ReaderRun runs[] = {
      {"hundred", 1001, 100, ParquetCodec::kSnappy, 300, 0},
      {"hundred", 100, 1, ParquetCodec::kZstd, 1048576, 0},
      {"tenpcnt", 150001, 100, ParquetCodec::kZstd, 1048576, 0},
      {"tenpcnt", 1001, 0, ParquetCodec::kUncompressed, 256, 0},
      {"uniques", 1001, 0, ParquetCodec::kUncompressed, 200, 0},
      {"uniques", 150001, 1, ParquetCodec::kSnappy, 40000, 0},
      {"updates", 150001, 100, ParquetCodec::kSnappy, 65536, 0},
      {"updates", 100, 0, ParquetCodec::kZstd, 1048576, 0},
      {"tiny", 100, 0, ParquetCodec::kSnappy, 1048576, 0},
      {"hundred", 1001, 10, ParquetCodec::kSnappy, 200, 3},
      {"uniques", 150001, 100, ParquetCodec::kZstd, 30000, 3},
  };
  Output_Initialize(',', 0);
  const std::string manifest = std::string(dir) + "/manifest.jsonl";
  std::FILE* list = std::fopen(manifest.c_str(), "w");
  ASSERT_NE(list, nullptr);
  zervgen_test::ScratchDir temp;
  int index = 0;
  for (const ReaderRun& run : runs) {
    const Relation& rel = RelationNamed(run.relation);
    const std::string base = std::string(dir) + "/" + std::to_string(++index) + "." + run.relation;
    GenControlBlock cb{};
    Gen_InitializeCB(&cb, run.n, run.fill, temp.path());
    testing::internal::CaptureStdout();  // the report lines of generation
    rel.generate(&cb, (base + ".txt").c_str());
    (void)testing::internal::GetCapturedStdout();
    ParquetWriter writer(&cb, rel);
    const std::int32_t rows = rel.fields.size() == 1 ? 1 : run.n;
    writer.Write(base + ".parquet", 0, rows, run);
    std::string parts;
    for (std::int32_t k = 1; k <= run.parts; ++k) {
      const GenRows part = Gen_PartRows(rows, run.parts, k);
      writer.Write(base + ".part." + std::to_string(k) + ".parquet", part.first, part.count, run);
      parts = ",\"parts\":\"" + base + ".part.*.parquet\",\"nParts\":" + std::to_string(run.parts);
    }
    Main_cleanup(&cb);
    std::fprintf(
        list,
        "{\"parquet\":\"%s.parquet\",\"text\":\"%s.txt\",\"relation\":\"%s\",\"columns\":%s,"
        "\"rows\":%d,\"rowGroup\":%d,\"codec\":\"%s\"%s}\n",
        base.c_str(), base.c_str(), run.relation, writer.ColumnsJson().c_str(), rows, run.rowGroup,
        Parquet_CodecName(run.codec), parts.c_str());
  }
  ASSERT_EQ(std::fclose(list), 0);
}

}  // namespace
}  // namespace zervgen
