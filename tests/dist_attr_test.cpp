// dist_attr_test.cpp: the attribute distributions (report lines, reuse,
// deferred jobs, parts, failures) and their storage in temporary files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/datagen.h"
#include "base/except.h"
#include "base/random.h"
#include "base/report.h"
#include "core/dist.h"
#include "dist_test_util.h"
#include "output/output.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::ArmedTest;
using zervgen_test::CatchRaise;
using zervgen_test::Iota;
using zervgen_test::kCatch;
using zervgen_test::Normal;
using zervgen_test::Raised;
using zervgen_test::Uniform;
using zervgen_test::Vec;
using zervgen_test::Zipfian;

using DistNormalZipfianFill = ArmedTest;
using DistDistributions = ArmedTest;
using DistCleanup = ArmedTest;

// A report file in a fresh directory; Text() closes it and returns its bytes.
class ReportCapture {
 public:
  ReportCapture() {
    char pattern[] = "/tmp/dist_test_XXXXXX";
    dir_ = ::mkdtemp(pattern);
    path_ = dir_ + "/report.txt";
    Report_OpenFile(path_.c_str());
  }
  ~ReportCapture() {
    Report_CloseFile();
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string Text() {
    Report_CloseFile();
    std::string text;
    int fd = ::open(path_.c_str(), O_RDONLY);
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string path_;
};

// A memory slot with room for n values.
struct MemorySlot {
  explicit MemorySlot(std::int32_t n, std::int32_t fill = -1)
      : values(static_cast<std::size_t>(n), fill) {
    attr.inUse = 1;
    attr.vector = values.data();
    attr.location = GEN_MEMORY;
  }
  Vec values;
  GenAttr attr{};
};

TEST_F(DistNormalZipfianFill, FillKeepsItsSeedAndWritesNoReport) {
  GenControlBlock cb{};
  for (std::int32_t nFill : {100, 1, 0}) {
    ReportCapture report;
    GenAttr fill{};
    fill.inUse = 1;
    fill.location = GEN_FILL;
    fill.nFill = nFill;
    Dist_Fill("fill", 2, 2, &cb, &fill, 816473355);
    EXPECT_EQ(report.Text(), "");
    EXPECT_EQ(fill.ownerTag, 2);
    EXPECT_EQ(fill.fillSeed, 816473355);
  }
}

TEST_F(DistDistributions, GenerateThenShuffle) {
  GenControlBlock cb{};
  const std::int32_t n = 10000;
  MemorySlot normal(n);
  (void)Dist_Normal("double", 4, 4, &cb, &normal.attr, n, -1000000000, 1000000000, n, 103893252);
  Vec expected = Normal(n, -1000000000, 1000000000);
  Dist_Shuffle(expected.data(), n, 103893252);
  EXPECT_EQ(normal.values, expected);
  EXPECT_EQ(normal.attr.ownerTag, 4);

  MemorySlot zipf(n);
  (void)Dist_Zipfian("float", 4, 4, &cb, &zipf.attr, n, -500000000, 500000000, 10, 529756080);
  expected = Zipfian(n, -500000000, 500000000, 10);
  Dist_Shuffle(expected.data(), n, 529756080);
  EXPECT_EQ(zipf.values, expected);

  // The single-row key of tiny: 0, and no shuffle step.
  MemorySlot tiny(1, 99);
  (void)Dist_Uniform("key", 3, 3, &cb, &tiny.attr, 1, 0, 0, 1, 1884316460, 0);
  EXPECT_EQ(tiny.values, Vec{0});
  EXPECT_EQ(tiny.attr.ownerTag, 3);
}

TEST_F(DistDistributions, ReuseOnlyChangesTheTag) {
  GenControlBlock cb{};
  const std::int32_t n = 200;
  const Vec before = Iota(n, 5000);
  struct Case {
    const char* what;
    std::function<int(GenAttr*)> call;
  };
  const Case cases[] = {
      {"uniform",
       [&](GenAttr* a) { return Dist_Uniform("key", 1, 5, &cb, a, n, 1, n, n, 728952890, 1); }},
      {"normal", [&](GenAttr* a) { return Dist_Normal("double", 1, 5, &cb, a, n, -10, 10, n, 3); }},
      {"zipfian",
       [&](GenAttr* a) { return Dist_Zipfian("float", 1, 5, &cb, a, n, -10, 10, 10, 3); }},
  };
  for (const Case& c : cases) {
    ReportCapture report;
    MemorySlot slot(n);
    slot.values = before;
    slot.attr.vector = slot.values.data();
    slot.attr.ownerTag = 5;
    EXPECT_EQ(c.call(&slot.attr), 0) << c.what;
    EXPECT_EQ(slot.values, before) << c.what;
    EXPECT_EQ(slot.attr.ownerTag, 1) << c.what;
    EXPECT_EQ(report.Text(), "") << c.what;  // the caller writes the column's line
  }
}

TEST_F(DistDistributions, DeferredJobRunsLater) {
  GenControlBlock cb{};
  std::vector<DistJob> queue;
  MemorySlot slot(1000, 42);
  (void)Dist_Uniform("key", 1, 5, &cb, &slot.attr, 1000, 1, 1000, 1000, 728952890, 1, &queue);
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(slot.values, Vec(1000, 42));
  EXPECT_EQ(slot.attr.ownerTag, 0);
  const DistJob& job = queue[0];
  EXPECT_EQ(job.kind, DistKind::kUniform);
  EXPECT_EQ(job.attr, &slot.attr);
  EXPECT_EQ(job.relationTag, 1);
  EXPECT_EQ(job.seed, 728952890);
  EXPECT_EQ(job.missingOne, 1);
  EXPECT_EQ(Dist_RunJob(job), 0);
  Vec expected = Uniform(1000, 1, 1000, 1000, 1);
  Dist_Shuffle(expected.data(), 1000, 728952890);
  EXPECT_EQ(slot.values, expected);
  EXPECT_EQ(slot.attr.ownerTag, 1);
}

// Columns of repeated points are shuffled from their runs, one- or
// two-byte run numbers by the number of points, and a part's job settles
// only its rows; the rows are those of the plain way.
TEST_F(DistDistributions, RunsAndPartsGiveThePlainRows) {
  GenControlBlock cb{};
  const std::int32_t n = 70001;
  struct Case {
    std::int32_t min, max, nUnique, missingOne, from, end;
  } cases[] = {{100, 199, 100, 0, 0, kDistAllRows}, {-500000000, 500000000, 100, 0, 17500, 35000},
               {0, 36523, 36524, 0, 0, n},          {0, 36523, 36524, 0, 70000, n},
               {1, 1000000, 300, 1, 5, 6},          {1, n, n, 1, 30000, 40000},
               {7, 7, 1, 0, 0, kDistAllRows}};
  for (const Case& c : cases) {
    std::vector<DistJob> queue;
    MemorySlot slot(n, 42);
    (void)Dist_Uniform("int", 1, 5, &cb, &slot.attr, n, c.min, c.max, c.nUnique, 14618637,
                       c.missingOne, &queue);
    ASSERT_EQ(queue.size(), 1u);
    queue[0].from = c.from;
    queue[0].end = c.end;
    EXPECT_EQ(Dist_RunJob(queue[0]), 0);
    Vec expected = Uniform(n, c.min, c.max, c.nUnique, c.missingOne);
    Dist_Shuffle(expected.data(), n, 14618637);
    const std::int32_t end = std::min(c.end, n);
    EXPECT_TRUE(std::equal(slot.values.begin() + c.from, slot.values.begin() + end,
                           expected.begin() + c.from))
        << c.nUnique << " points, rows " << c.from << " to " << end;
    EXPECT_EQ(slot.attr.settledFrom, c.from);
    EXPECT_GE(slot.attr.settledEnd, end);
  }
}

TEST_F(DistDistributions, FailedRequirements) {
  GenControlBlock cb{};
  MemorySlot slot(200, 8);
  GenAttr* a = &slot.attr;
  struct Case {
    std::function<void()> call;
    const char* func;
    const char* text;
  };
  const Case cases[] = {
      {[&] { (void)Dist_Uniform(nullptr, 1, 1, nullptr, nullptr, 0, 5, 1, 0, 1, 0); },
       "Dist_Uniform", "name != NULL"},
      {[&] { (void)Dist_Uniform("k", 1, 1, nullptr, a, 100, 0, 9, 10, 1, 0); }, "Dist_Uniform",
       "cb != NULL"},
      {[&] { (void)Dist_Uniform("k", 1, 1, &cb, nullptr, 100, 0, 9, 10, 1, 0); }, "Dist_Uniform",
       "attr != NULL"},
      {[&] { (void)Dist_Uniform("k", 1, 1, &cb, a, 99, 0, 9, 10, 1, 0); }, "Dist_Uniform",
       "nTuples == 1L || nTuples >= 100L"},
      {[&] { (void)Dist_Uniform("k", 1, 1, &cb, a, 2, 0, 9, 1, 1, 0); }, "Dist_Uniform",
       "nTuples == 1L || nTuples >= 100L"},
      {[&] { (void)Dist_Uniform("k", 1, 1, &cb, a, 100, 10, 9, 10, 1, 0); }, "Dist_Uniform",
       "min <= max"},
      {[&] { (void)Dist_Uniform("k", 1, 1, &cb, a, 100, 0, 9, 0, 1, 0); }, "Dist_Uniform",
       "nUnique > 0 && nUnique <= nTuples"},
      {[&] { (void)Dist_Uniform("k", 1, 1, &cb, a, 100, 0, 9, 101, 1, 0); }, "Dist_Uniform",
       "nUnique > 0 && nUnique <= nTuples"},
      {[&] { (void)Dist_Normal(nullptr, 1, 1, &cb, a, 100, 0, 9, 100, 1); }, "Dist_Normal",
       "name != NULL"},
      {[&] { (void)Dist_Normal("d", 1, 1, nullptr, a, 100, 0, 9, 100, 1); }, "Dist_Normal",
       "cb != NULL"},
      {[&] { (void)Dist_Normal("d", 1, 1, &cb, nullptr, 100, 0, 9, 100, 1); }, "Dist_Normal",
       "attr != NULL"},
      {[&] { (void)Dist_Normal("d", 1, 1, &cb, a, 1, 0, 9, 1, 1); }, "Dist_Normal",
       "nTuples >= 100"},
      {[&] { (void)Dist_Normal("d", 1, 1, &cb, a, 100, 9, 9, 100, 1); }, "Dist_Normal",
       "min < max"},
      {[&] { (void)Dist_Normal("d", 1, 1, &cb, a, 100, 0, 9, 200, 1); }, "Dist_Normal",
       "nUnique > 0 && nUnique <= nTuples"},
      {[&] { (void)Dist_Zipfian(nullptr, 1, 1, &cb, a, 100, 0, 9, 10, 1); }, "Dist_Zipfian",
       "name != NULL"},
      {[&] { (void)Dist_Zipfian("f", 1, 1, nullptr, a, 100, 0, 9, 10, 1); }, "Dist_Zipfian",
       "cb != NULL"},
      {[&] { (void)Dist_Zipfian("f", 1, 1, &cb, nullptr, 100, 0, 9, 10, 1); }, "Dist_Zipfian",
       "attr != NULL"},
      {[&] { (void)Dist_Zipfian("f", 1, 1, &cb, a, 1, 0, 9, 1, 1); }, "Dist_Zipfian",
       "nTuples >= 100"},
      {[&] { (void)Dist_Zipfian("f", 1, 1, &cb, a, 100, 0, -9, 10, 1); }, "Dist_Zipfian",
       "min < max"},
      {[&] { (void)Dist_Zipfian("f", 1, 1, &cb, a, 100, 0, 9, -1, 1); }, "Dist_Zipfian",
       "nUnique > 0 && nUnique <= nTuples"},
      {[&] { Dist_Fill(nullptr, 1, 1, nullptr, nullptr, 1); }, "Dist_Fill", "name != NULL"},
      {[&] { Dist_Fill("fill", 1, 1, nullptr, a, 1); }, "Dist_Fill", "cb != NULL"},
      {[&] { Dist_Fill("fill", 1, 1, &cb, nullptr, 1); }, "Dist_Fill", "attr != NULL"},
      {[&] { (void)Dist_cleanup(nullptr, 1, 100, 1); }, "Dist_cleanup", "attr != NULL"},
  };
  for (const Case& c : cases) {
    ReportCapture report;
    const Raised o = CatchRaise(c.call, kCatch);
    EXPECT_EQ(o.cls, XEPT_REQUIREMENT) << c.text;
    EXPECT_NE(o.out.find(std::string("Function ") + c.func + ", line "), std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find(std::string("\nFailed requirement: '") + c.text + "'\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("\nRaised exception of class '2'\n"), std::string::npos) << o.out;
    // Nothing changes before the checks pass.
    EXPECT_EQ(report.Text(), "") << c.text;
    EXPECT_EQ(slot.values, Vec(200, 8)) << c.text;
    EXPECT_EQ(slot.attr.ownerTag, 0) << c.text;
  }
}

// ---- Storage in a temporary file -------------------------------------------

Vec ReadValues(int fd) {
  Vec values;
  std::int32_t buf[256];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
    values.insert(values.end(), buf, buf + n / 4);
  }
  return values;
}

TEST_F(DistCleanup, TempFileHoldsTheShuffledVectorAtOffsetZero) {
  ReportCapture report;
  std::string path = report.dir() + "/key.tmp";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  // An earlier, longer column, and a read position away from the start.
  Vec earlier = Iota(1000, -400);
  ASSERT_EQ(::write(fd, earlier.data(), earlier.size() * 4), 4000);
  ::lseek(fd, 123, SEEK_SET);

  Vec values = Iota(10);
  GenAttr attr{};
  attr.inUse = 1;
  attr.location = GEN_TEMP;
  attr.vector = values.data();
  attr.fd = fd;
  attr.fileName = path.data();
  EXPECT_EQ(Dist_cleanup(&attr, 2, 10, 728952890), 0);
  EXPECT_EQ(attr.ownerTag, 2);
  EXPECT_EQ(values, (Vec{7, 4, 2, 0, 8, 1, 3, 9, 6, 5}));

  Vec expected = values;
  expected.insert(expected.end(), earlier.begin() + 10, earlier.end());
  EXPECT_EQ(ReadValues(fd), expected);

  // Reuse leaves the file alone.
  GenControlBlock cb{};
  (void)Dist_Uniform("key", 1, 2, &cb, &attr, 100, 1, 100, 100, 5, 1);
  EXPECT_EQ(attr.ownerTag, 1);
  EXPECT_EQ(ReadValues(fd), expected);
  ::close(fd);
  ::unlink(path.c_str());
}

TEST_F(DistCleanup, MemorySlotWritesNoFile) {
  MemorySlot slot(10);
  slot.values = Iota(10);
  slot.attr.vector = slot.values.data();
  slot.attr.fd = -1;  // never used by a memory slot
  EXPECT_EQ(Dist_cleanup(&slot.attr, 4, 10, 728952890), 0);
  EXPECT_EQ(slot.values, (Vec{7, 4, 2, 0, 8, 1, 3, 9, 6, 5}));
  EXPECT_EQ(slot.attr.ownerTag, 4);
}

// A failed write is handed back, for the caller to explain, and the slot
// is not the relation's.
TEST_F(DistCleanup, FailedWriteIsHandedBack) {
  struct Case {
    const char* device;
    int flags;
    int error;
  };
  const Case cases[] = {
      {"/dev/full", O_WRONLY, ENOSPC},
      {"/dev/null", O_RDONLY, EBADF},
  };
  for (const Case& c : cases) {
    ReportCapture report;
    int fd = ::open(c.device, c.flags);
    ASSERT_GE(fd, 0);
    Vec values = Iota(100);
    char name[] = "/tmp/some/double.tmp";
    GenAttr attr{};
    attr.inUse = 1;
    attr.location = GEN_TEMP;
    attr.vector = values.data();
    attr.fd = fd;
    attr.fileName = name;
    const Raised o =
        CatchRaise([&] { EXPECT_EQ(Dist_cleanup(&attr, 1, 100, 947883060), c.error); }, kCatch);
    ::close(fd);
    EXPECT_EQ(o.cls, -1) << c.device;
    EXPECT_EQ(attr.ownerTag, 0);
    EXPECT_EQ(report.Text(), "");
    EXPECT_EQ(o.err, "");
  }
}

}  // namespace
}  // namespace zervgen
