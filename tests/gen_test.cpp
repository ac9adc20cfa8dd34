// Column storage and the relation writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/datagen.h"
#include "base/except.h"
#include "base/pool.h"
#include "base/report.h"
#include "core/columns.h"
#include "core/dist.h"
#include "gen_test_util.h"
#include "output/output.h"
#include "run/format.h"
#include "run/schemas.h"
#include "run/writer.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::TagOf;

using zervgen_test::CatchRaise;
using zervgen_test::kWithStderr;
using zervgen_test::Raised;

// All rows of the control block's relations.
GenRows Whole(const GenControlBlock& cb) { return GenRows{cb.nTuples, 0, cb.nTuples}; }

// Fails the column allocations whose 1-based numbers are listed; counts
// them all.
class FailingAllocations : public Env {
 public:
  explicit FailingAllocations(std::vector<int> fail) : failing_(std::move(fail)), scope_(this) {}
  bool MayAllocate(Memory kind, std::size_t) override {
    if (kind != Memory::kColumn) return true;
    ++count_;
    return std::find(failing_.begin(), failing_.end(), count_) == failing_.end();
  }
  int count() const { return count_; }

 private:
  std::vector<int> failing_;
  int count_ = 0;
  zervgen_test::ScopedEnv scope_;
};

using GenTest = zervgen_test::ControlBlockTest;

TEST_F(GenTest, SetUpChecksItsArguments) {
  struct Case {
    std::int32_t nTuples;
    std::int16_t nFill;
    bool nullDir;
    const char* text;
  } cases[] = {
      {99, 0, false, "nTuples >= MIN_TUPLES"}, {100000001, 0, false, "nTuples <= MAX_TUPLES"},
      {100, -1, false, "nFill >= 0"},          {100, 101, false, "nFill <= MAX_FILL_CHARS"},
      {100, 0, true, "tmpDir != NULL"},
  };
  for (const Case& c : cases) {
    const Raised r = CatchRaise(
        [&] { Gen_InitializeCB(&cb_, c.nTuples, c.nFill, c.nullDir ? nullptr : dir_.path()); });
    EXPECT_EQ(r.cls, XEPT_REQUIREMENT) << c.text;
    EXPECT_NE(r.out.find(std::string("Failed requirement: '") + c.text + "'"), std::string::npos)
        << r.out;
  }
  for (std::int16_t fill : {0, 100}) {
    GenControlBlock cb{};
    EXPECT_EQ(CatchRaise([&] { Gen_InitializeCB(&cb, 100, fill, dir_.path()); }).cls, -1);
    Main_cleanup(&cb);
  }
}

// The writer's memory is had (allocation 2, after the shared vector) before
// any column takes its vector: when it cannot be had, no column takes one,
// and every column but the fill goes to a temporary file.
TEST_F(GenTest, WriterMemoryThatCannotBeHeldSendsEveryColumnToATemporaryFile) {
  for (const bool held : {true, false}) {
    SCOPED_TRACE(held ? "held" : "not held");
    GenControlBlock cb{};
    {
      FailingAllocations fail(held ? std::vector<int>{} : std::vector<int>{2});
      Gen_InitializeCB(&cb, 1000, 3, dir_.path(), std::size_t{1} << 20);
    }
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(Gen_Slot(&cb, i)->location, held ? GEN_MEMORY : GEN_TEMP) << i;
    }
    EXPECT_EQ(cb.fillAttr.location, GEN_FILL);
    EXPECT_EQ(cb.tempInUse, held ? 0u : 1u);
    EXPECT_EQ(dir_.List().size(), held ? 0u : 10u);
    Main_cleanup(&cb);
    EXPECT_TRUE(dir_.List().empty());
  }
  // Afterwards the columns take memory again as before.
  Gen_InitializeCB(&cb_, 1000, 0, dir_.path());
  EXPECT_EQ(cb_.keyAttr.location, GEN_MEMORY);
}

TEST_F(GenTest, AllInMemoryWhenAllocationsSucceed) {
  Gen_InitializeCB(&cb_, 1000, 7, dir_.path());
  for (int i = 0; i < 10; ++i) {
    GenAttr* attr = Gen_Slot(&cb_, i);
    EXPECT_EQ(attr->inUse, 1u);
    EXPECT_EQ(attr->location, GEN_MEMORY) << i;
    EXPECT_NE(attr->vector, nullptr);
  }
  EXPECT_EQ(cb_.fillAttr.location, GEN_FILL);
  EXPECT_EQ(cb_.fillAttr.nFill, 7);
  EXPECT_EQ(cb_.tempInUse, 0u);
  EXPECT_TRUE(dir_.List().empty());
}

// Large vectors are mapped on their own, small ones come from the heap; more
// large ones than the mappings kept on record come from the heap too. Every
// one must be whole and given back by Gen_Free, in any order.
TEST_F(GenTest, LargeAndSmallVectorsAreWholeAndGivenBack) {
  const std::size_t sizes[] = {std::size_t{8} << 20, (std::size_t{8} << 20) + 4093, 100,
                               (std::size_t{3} << 20) + 1};
  std::vector<unsigned char*> blocks;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 40; ++i) {
      const std::size_t bytes = sizes[i % 4];
      auto* p = static_cast<unsigned char*>(Gen_Allocate(bytes));
      ASSERT_NE(p, nullptr) << i;
      p[0] = static_cast<unsigned char>(i);
      p[bytes - 1] = static_cast<unsigned char>(i + 1);
      blocks.push_back(p);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const std::size_t bytes = sizes[i % 4];
      EXPECT_EQ(blocks[i][0], static_cast<unsigned char>(i));
      EXPECT_EQ(blocks[i][bytes - 1], static_cast<unsigned char>(i + 1));
    }
    // Every other one first, then the rest, so that records are reused.
    for (std::size_t i = 0; i < blocks.size(); i += 2) Gen_Free(blocks[i]);
    for (std::size_t i = 1; i < blocks.size(); i += 2) Gen_Free(blocks[i]);
    blocks.clear();
  }
  Gen_Free(nullptr);
}

// Allocations in order: 1 the shared vector, then one per column slot from
// key; a slot that falls back to a file takes two more (path, read buffer).
TEST_F(GenTest, FloatSlotFallsBackToAFileAndTakesTheAddressAlong) {
  FailingAllocations fail({5});
  Gen_InitializeCB(&cb_, 1000, 0, dir_.path());
  EXPECT_EQ(cb_.floatAttr.location, GEN_TEMP);
  EXPECT_EQ(cb_.floatAttr.vector, cb_.addressAttr.vector);  // both borrow the shared vector
  for (GenAttr* attr :
       {&cb_.doubleAttr, &cb_.decimalAttr, &cb_.dateAttr, &cb_.codeAttr, &cb_.nameAttr}) {
    EXPECT_EQ(attr->location, GEN_MEMORY);
  }
  EXPECT_EQ(cb_.addressAttr.location, GEN_TEMP);
  EXPECT_EQ(cb_.floatAttr.bufSize, 2048);
  EXPECT_EQ(cb_.floatAttr.bufPos, 1);
  EXPECT_EQ(cb_.floatAttr.bufCount, 0);
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"address.tmp", "float.tmp"}));
  struct stat st {};
  ASSERT_EQ(stat((std::string(dir_.path()) + "/float.tmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Main_cleanup(&cb_);
  Main_cleanup(&cb_);  // a second pass does nothing
  EXPECT_TRUE(dir_.List().empty());
}

// Where temporary files are not allowed (a check of files), a column whose
// vector cannot be had fails the set-up for want of memory: no file.
TEST_F(GenTest, WithoutTemporaryFilesAMissingVectorIsOutOfMemory) {
  FailingAllocations fail({5});
  cb_.noTempFiles = 1;
  const Raised r = CatchRaise([&] { Gen_InitializeCB(&cb_, 1000, 0, dir_.path()); }, kWithStderr);
  EXPECT_EQ(r.cls, XEPT_GEN_FAILED);
  EXPECT_EQ(r.err, std::string(programName) + ": Out of memory.\n");
  EXPECT_TRUE(dir_.List().empty());
  Main_cleanup(&cb_);
  EXPECT_TRUE(dir_.List().empty());
}

TEST_F(GenTest, NoColumnVectorGivesTenFiles) {
  // Every column vector fails: allocations 2, 5, 8, ... (each failure is
  // followed by the path and the buffer of its file).
  std::vector<int> fail;
  for (int i = 0; i < 9; ++i) fail.push_back(2 + 3 * i);
  FailingAllocations failing(fail);
  Gen_InitializeCB(&cb_, 1000, 3, dir_.path());
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{
                             "address.tmp", "code.tmp", "date.tmp", "decimal.tmp", "double.tmp",
                             "float.tmp", "integer.tmp", "key.tmp", "name.tmp", "signed.tmp"}));
  EXPECT_EQ(cb_.fillAttr.location, GEN_FILL);
  Main_cleanup(&cb_);
  EXPECT_TRUE(dir_.List().empty());
}

TEST_F(GenTest, LeftoverTemporaryFileFailsSafe) {
  const std::string leftover = std::string(dir_.path()) + "/key.tmp";
  zervgen_test::WriteText(leftover, "from a killed run");
  {
    // Enough memory for the key slot: the leftover is never touched.
    GenControlBlock cb{};
    Gen_InitializeCB(&cb, 1000, 0, dir_.path());
    Main_cleanup(&cb);
  }
  FailingAllocations fail({2});
  const Raised r = CatchRaise([&] { Gen_InitializeCB(&cb_, 1000, 0, dir_.path()); }, kWithStderr);
  EXPECT_EQ(r.cls, XEPT_GEN_FAILED);
  EXPECT_EQ(r.err, std::string(programName) + ": Temporary file error: \"File already exists\".\n");
  EXPECT_NE(r.out.find("Raised exception of class '32'"), std::string::npos);
  Main_cleanup(&cb_);
  EXPECT_EQ(zervgen_test::ReadText(leftover), "from a killed run");
}

TEST_F(GenTest, SharedVectorOrBuffersUnavailable) {
  struct Case {
    std::vector<int> fail;
    const char* report;
  } cases[] = {
      {{1},
       "*** Error: Not enough memory to generate one column of the table.\n\t(The mininum needed).  Increase swap and/or physical memory\n\tand try again.\n"},
      {{2, 4},
       "*** Error: Not enough memory to allocate internal buffers for the temporary\n\tfiles.  Increase swap and/or physical memory and try again.\n"},
  };
  for (const Case& c : cases) {
    GenControlBlock cb{};
    const std::string report = std::string(dir_.path()) + "/r.rpt";
    Report_OpenFile(report.c_str());
    FailingAllocations fail(c.fail);
    const Raised r = CatchRaise([&] { Gen_InitializeCB(&cb, 1000, 0, dir_.path()); }, kWithStderr);
    EXPECT_EQ(r.cls, XEPT_GEN_FAILED);
    EXPECT_EQ(r.err, std::string(programName) + ": Out of memory.\n");
    Report_CloseFile();
    Main_cleanup(&cb);
    EXPECT_EQ(zervgen_test::ReadText(report), c.report);
    ::unlink(report.c_str());
    EXPECT_TRUE(dir_.List().empty());
  }
}

// Writes `values` into a temporary-file slot and the relation writer reads
// them back into one integer column.
TEST_F(GenTest, TemporaryFileValuesReadBackUnchanged) {
  std::vector<int> fail = {2};
  FailingAllocations failing(fail);
  Gen_InitializeCB(&cb_, 1000, 0, dir_.path());
  ASSERT_EQ(cb_.keyAttr.location, GEN_TEMP);
  std::vector<std::int32_t> values(1000);
  std::uint32_t x = 12345;
  for (auto& v : values) v = static_cast<std::int32_t>(x = x * 2654435761u + 7);
  values[0] = INT32_MIN;
  values[1] = -1;
  values[2] = INT32_MAX;
  ASSERT_EQ(::pwrite(cb_.keyAttr.fd, values.data(), values.size() * 4, 0),
            static_cast<ssize_t>(values.size() * 4));
  const std::string out = std::string(dir_.path()) + "/rel";
  GenColumnSpec spec[] = {{&cb_.keyAttr, 10, OutputKind::kInteger, 1}};
  ASSERT_EQ(Gen_outputRelation(&cb_, out.c_str(), "tiny", spec, Whole(cb_)), StatusCode::kOk);
  std::string expected;
  for (std::int32_t v : values) expected += std::to_string(v) + "\n";
  EXPECT_EQ(zervgen_test::ReadText(out), expected);
  // The read position belongs to the write: the slot is as the set-up left it.
  EXPECT_EQ(cb_.keyAttr.bufCount, 0);
  EXPECT_EQ(cb_.keyAttr.bufPos, 1);
}

// Check lines name the source file relative to the source tree, the same on
// every build machine.
TEST_F(GenTest, CheckLineNamesTheSourceFileRelativeToTheTree) {
  GenColumnSpec spec[] = {{&cb_.keyAttr, 10, OutputKind::kInteger, 1}};
  const Raised r = CatchRaise([&] {
    (void)Gen_outputRelation(nullptr, "x", "rel", spec, GenRows{1, 0, 1});
  });
  EXPECT_EQ(r.cls, XEPT_REQUIREMENT);
  EXPECT_EQ(r.out.rfind("File src/run/writer.cpp, Function Gen_outputRelation, line ", 0), 0u)
      << r.out;
}

TEST_F(GenTest, PartOfATemporaryFileColumnStartsAtItsFirstRow) {
  FailingAllocations failing({2});
  Gen_InitializeCB(&cb_, 1000, 0, dir_.path());
  ASSERT_EQ(cb_.keyAttr.location, GEN_TEMP);
  std::vector<std::int32_t> values(1000);
  for (int i = 0; i < 1000; ++i) values[i] = 3 * i - 1000;
  ASSERT_EQ(::pwrite(cb_.keyAttr.fd, values.data(), values.size() * 4, 0), 4000);
  // A read buffer left full by an earlier relation must not leak into the part.
  cb_.keyAttr.bufPos = 0;
  cb_.keyAttr.bufCount = 512;
  const std::string out = std::string(dir_.path()) + "/part";
  GenColumnSpec spec[] = {{&cb_.keyAttr, 10, OutputKind::kInteger, 1}};
  ASSERT_EQ(Gen_outputRelation(&cb_, out.c_str(), "tiny", spec, GenRows{1000, 700, 250}),
            StatusCode::kOk);
  std::string expected;
  for (int i = 700; i < 950; ++i) expected += std::to_string(values[i]) + "\n";
  EXPECT_EQ(zervgen_test::ReadText(out), expected);
}

// A temporary file that holds fewer values than rows (cut short), or more
// (another process appended to it), ends the relation through the read
// failure instead of giving missing or shifted values.
TEST_F(GenTest, TemporaryFileOfTheWrongSizeEndsTheRunAndRemovesThePartialRelation) {
  for (std::size_t held : {std::size_t{600}, std::size_t{10001}}) {
    SCOPED_TRACE(held);
    GenControlBlock cb{};
    FailingAllocations failing({2});
    Gen_InitializeCB(&cb, 10000, 0, dir_.path());
    std::vector<std::int32_t> values(held, 7);
    ASSERT_EQ(::pwrite(cb.keyAttr.fd, values.data(), held * 4, 0), static_cast<ssize_t>(held * 4));
    const std::string out = std::string(dir_.path()) + "/rel";
    GenColumnSpec spec[] = {{&cb.keyAttr, 10, OutputKind::kInteger, 1}};
    const Raised r = CatchRaise(
        [&] { (void)Gen_outputRelation(&cb, out.c_str(), "tiny", spec, Whole(cb)); }, kWithStderr);
    EXPECT_EQ(r.cls, XEPT_GEN_FAILED);
    EXPECT_EQ(r.err, std::string(programName) + ": Temporary file read error.\n");
    EXPECT_FALSE(zervgen_test::Exists(out));
    Main_cleanup(&cb);
  }
}

// Parts of a relation, written one after the other, are the whole relation:
// memory columns, a temporary-file column read twice per row and the fill
// stream all start at the part's first row, at every thread count.
TEST_F(GenTest, PartsOfARelationJoinIntoTheWhole) {
  constexpr std::int32_t kRows = 10007;
  FailingAllocations failing({4});  // signed goes to a temporary file
  Gen_InitializeCB(&cb_, kRows, 9, dir_.path());
  ASSERT_EQ(cb_.signedAttr.location, GEN_TEMP);
  std::vector<std::int32_t> temp(kRows);
  for (std::int32_t i = 0; i < kRows; ++i) {
    cb_.keyAttr.vector[i] = i;
    temp[i] = -3 * i;
  }
  ASSERT_EQ(::pwrite(cb_.signedAttr.fd, temp.data(), kRows * 4, 0), kRows * 4);
  cb_.fillAttr.fillSeed = 7830309;
  GenColumnSpec spec[] = {{&cb_.keyAttr, 10, OutputKind::kInteger, 1},
                          {&cb_.signedAttr, 10, OutputKind::kInteger, 0},
                          {&cb_.signedAttr, 10, OutputKind::kInteger, 1},
                          {&cb_.fillAttr, 9, OutputKind::kFill, 1}};
  const std::string whole = std::string(dir_.path()) + "/whole";
  ASSERT_EQ(Gen_outputRelation(&cb_, whole.c_str(), "rel", spec, Whole(cb_)), StatusCode::kOk);
  const std::string expected = zervgen_test::ReadText(whole);
  ASSERT_EQ(expected.rfind("0,0,0,", 0), 0u);
  const GenRows parts[] = {{kRows, 0, 4097}, {kRows, 4097, 1}, {kRows, 4098, 5909}};
  for (int threads : {1, 3}) {
    cb_.threads = threads;
    std::string joined;
    for (const GenRows& part : parts) {
      const std::string out = std::string(dir_.path()) + "/part" + std::to_string(part.first);
      ASSERT_EQ(Gen_outputRelation(&cb_, out.c_str(), "rel", spec, part), StatusCode::kOk);
      joined += zervgen_test::ReadText(out);
      ::unlink(out.c_str());
    }
    EXPECT_TRUE(joined == expected) << threads << " threads";
  }
}

TEST_F(GenTest, WriterFramesColumnsAndDropsAnEmptyFill) {
  Gen_InitializeCB(&cb_, 100, 0, dir_.path());
  for (int i = 0; i < 100; ++i) {
    cb_.keyAttr.vector[i] = i;
    cb_.signedAttr.vector[i] = -i;
  }
  const std::string out = std::string(dir_.path()) + "/rel";
  GenColumnSpec spec[] = {{&cb_.keyAttr, 10, OutputKind::kInteger, 0},
                          {&cb_.keyAttr, 10, OutputKind::kInteger, 1},
                          {&cb_.signedAttr, 10, OutputKind::kInteger, 1},
                          {&cb_.fillAttr, 0, OutputKind::kFill, 1}};
  ASSERT_EQ(Gen_outputRelation(&cb_, out.c_str(), "rel", spec, Whole(cb_)), StatusCode::kOk);
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    expected += std::to_string(i) + "," + std::to_string(i) + "," + std::to_string(-i) + "\n";
  }
  EXPECT_EQ(zervgen_test::ReadText(out), expected);
  EXPECT_EQ(cb_.keyAttr.readIndex, 0);  // the write's position is the write's own
}

TEST_F(GenTest, WriterRefusesBadColumnLists) {
  Gen_InitializeCB(&cb_, 100, 5, dir_.path());
  std::vector<GenColumnSpec> thirteen(13, GenColumnSpec{&cb_.keyAttr, 10, OutputKind::kInteger, 1});
  std::vector<GenColumnSpec> noFill = {{&cb_.keyAttr, 10, OutputKind::kInteger, 1},
                                       {&cb_.signedAttr, 10, OutputKind::kInteger, 1}};
  struct Case {
    std::vector<GenColumnSpec>* list;
    const char* text;
  } cases[] = {{&thirteen, "Failed ensure: 'nAttr <= sizeof(attrs)/sizeof(attrs[0])'"},
               {&noFill, "Failed ensure: 'attrs[nAttr-1].attr->location == GEN_FILL'"}};
  int n = 0;
  for (const Case& c : cases) {
    const std::string out = std::string(dir_.path()) + "/rel" + std::to_string(n++);
    const Raised r = CatchRaise(
        [&] { (void)Gen_outputRelation(&cb_, out.c_str(), "rel", *c.list, Whole(cb_)); });
    EXPECT_EQ(r.cls, XEPT_ENSURE);
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
  }
}

// The rows are the same whatever the number of formatting threads, at a row
// count that is no multiple of any chunk size.
TEST_F(GenTest, ThreadCountDoesNotChangeTheBytes) {
  const OutputFormat fixed = Output_MakeFormat(0, 1);
  const GenFormatMaker fixedText = [&](const char*, std::span<const GenColumnSpec>) {
    return Gen_TextFormat(fixed);
  };
  Gen_InitializeCB(&cb_, 10007, 9, dir_.path());
  std::string first;
  for (int threads : {1, 2, 5}) {
    GenControlBlock cb{};
    cb.threads = threads;
    Gen_InitializeCB(&cb, 10007, 9, dir_.path());
    const std::string out = std::string(dir_.path()) + "/hun" + std::to_string(threads);
    ASSERT_EQ(Gen_WholeRelation(&cb, TagOf("hundred"), out.c_str(), fixedText), StatusCode::kOk);
    Main_cleanup(&cb);
    std::string text = zervgen_test::ReadText(out);
    EXPECT_EQ(text.size(), 10007u * (185 + 9 + 1));
    if (first.empty()) first = text;
    EXPECT_TRUE(text == first) << threads << " threads";
  }
}

// Rows formatted a whole row at a time, over several chunks and at every
// thread count, are the bytes of calling each field's writer in turn, with
// the fill stream carried across the chunks.
TEST_F(GenTest, RowFormatterAndWritersGiveTheSameRelation) {
  constexpr std::int32_t kRows = 9001;
  constexpr std::int32_t kFillSeed = 816473355;
  Gen_InitializeCB(&cb_, kRows, 17, dir_.path());
  for (std::int32_t i = 0; i < kRows; ++i) {
    cb_.keyAttr.vector[i] = i * 7919 % kRows - 4000;
    cb_.dateAttr.vector[i] = i * 37 % 36524;
    cb_.addressAttr.vector[i] = i % 1009;
  }
  const GenColumnSpec spec[] = {{&cb_.keyAttr, 10, OutputKind::kFloat, 1},
                                {&cb_.dateAttr, 10, OutputKind::kDate, 1},
                                {&cb_.addressAttr, 80, OutputKind::kVarChar, 1},
                                {&cb_.fillAttr, 17, OutputKind::kFill, 1}};
  for (int fixed = 0; fixed <= 1; ++fixed) {
    OutputFieldState state{Output_MakeFormat(fixed ? 0 : '|', fixed), kFillSeed};
    OutputStream direct(-1, 16);
    for (std::int32_t r = 0; r < kRows; ++r) {
      for (int i = 0; i < 4; ++i) {
        const std::int32_t value = i == 3 ? 17 : spec[i].attr->vector[r];
        ASSERT_EQ(Output_WriterOf(spec[i].kind)(&direct, &state, value, spec[i].width, i == 3), 0);
      }
    }
    const std::string expected(direct.data(), direct.size());
    ASSERT_GT(expected.size(), static_cast<std::size_t>(kRows) * 40);
    for (int threads : {1, 3}) {
      cb_.threads = threads;
      cb_.fillAttr.fillSeed = kFillSeed;
      const std::string out =
          std::string(dir_.path()) + "/rel" + std::to_string(fixed) + std::to_string(threads);
      const std::unique_ptr<GenFormat> text = Gen_TextFormat(state.format);
      ASSERT_EQ(Gen_writeRelation(&cb_, out.c_str(), "rel", spec, Whole(cb_), text.get()),
                StatusCode::kOk);
      EXPECT_TRUE(zervgen_test::ReadText(out) == expected)
          << threads << " threads, fixed " << fixed;
    }
  }
}

TEST_F(GenTest, TinyWritesOneRowAndKeepsTheRowCount) {
  Gen_InitializeCB(&cb_, 500, 0, dir_.path());
  const std::string out = std::string(dir_.path()) + "/tny";
  ASSERT_EQ(Gen_WholeRelation(&cb_, TagOf("tiny"), out.c_str()), StatusCode::kOk);
  EXPECT_EQ(zervgen_test::ReadText(out), "0\n");
  EXPECT_EQ(cb_.nTuples, 500);
}

}  // namespace
}  // namespace zervgen
