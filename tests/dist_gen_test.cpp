// dist_gen_test.cpp: the value generators (uniform, normal, Zipfian) and
// the shuffle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "base/except.h"
#include "base/random.h"
#include "core/dist.h"
#include "dist_test_util.h"
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

using DistGenUniform = ArmedTest;
using DistGenNormal = ArmedTest;
using DistInverseNormal = ArmedTest;
using DistGenZipfian = ArmedTest;
using DistShuffle = ArmedTest;

// Value -> copies, for an ascending vector.
std::map<std::int32_t, int> Counts(const Vec& v) {
  std::map<std::int32_t, int> counts;
  for (std::int32_t x : v) ++counts[x];
  return counts;
}

// The swap loop written out plainly, as the reference of the fast shuffle.
void PlainShuffle(Vec* v, std::int32_t seed) {
  std::int32_t s = seed;
  for (std::int32_t m = static_cast<std::int32_t>(v->size()); m >= 2; --m) {
    Ms_Random(&s, nullptr);
    std::swap((*v)[static_cast<std::size_t>(s % m)], (*v)[static_cast<std::size_t>(m - 1)]);
  }
}

// ---- Uniform -------------------------------------------------------------

TEST_F(DistGenUniform, SingleRow) {
  EXPECT_EQ(Uniform(1, 0, 0, 1), Vec{0});
  EXPECT_EQ(Uniform(1, 1, 1, 1, 1), Vec{0});
  EXPECT_EQ(Uniform(1, 1, 1, 1, 0), Vec{1});
  // max and nUnique play no part for one row.
  EXPECT_EQ(Uniform(1, 7, 3, 99), Vec{7});
}

TEST_F(DistGenUniform, EveryValueDistinct) {
  Vec keys = Uniform(100, 1, 100, 100, 1);
  Vec expected = Iota(100, 1);
  expected[0] = 0;
  EXPECT_EQ(keys, expected);

  Vec ints = Uniform(1000, 1, 1000000000, 1000, 1);
  EXPECT_EQ((Vec{ints[0], ints[1], ints[2], ints[3]}), (Vec{0, 1001002, 2002003, 3003004}));
  EXPECT_EQ((Vec{ints[998], ints[999]}), (Vec{998998999, 1000000000}));

  Vec dates = Uniform(1000, 0, 36523, 1000);
  EXPECT_EQ((Vec{dates[0], dates[1], dates[2], dates[3]}), (Vec{0, 37, 73, 110}));
  EXPECT_EQ((Vec{dates[998], dates[999]}), (Vec{36486, 36523}));
}

// Distinct points are made four at a time: every row, the last few of a
// count not divisible by four included, is the point the single formula
// gives, rounded half away from zero (negative points too), 1 shown as 0
// where the column lacks it.
TEST_F(DistGenUniform, DistinctPointsMatchTheSingleFormula) {
  struct Case {
    std::int32_t n, min, max, missingOne;
  } cases[] = {{100, 1, 100, 1},          {101, -1000000000, 1000000000, 0},
               {102, 1, 1000000000, 1},   {103, -7, 5, 0},
               {100003, 1, 599999999, 0}, {100001, -1073741823, 1073741823, 0},
               {1000000, 1, 1000000, 1},  {999999, 0, 36523, 1}};
  for (const Case& c : cases) {
    const Vec got = Uniform(c.n, c.min, c.max, c.n, c.missingOne);
    const double d = c.n - 1;
    const double width = static_cast<double>(c.max - c.min);
    for (std::int32_t i = 0; i < c.n; ++i) {
      double x = static_cast<double>(i) / d;
      x = x * width;
      x = x + c.min;
      auto want = static_cast<std::int32_t>(x >= 0 ? x + 0.5 : x - 0.5);
      if (c.missingOne == 1 && want == 1) want = 0;
      ASSERT_EQ(got[static_cast<std::size_t>(i)], want) << c.n << " rows, row " << i;
    }
  }
}

TEST_F(DistGenUniform, RepeatedValues) {
  Vec v = Uniform(1000, -500000000, 500000000, 100);
  std::map<std::int32_t, int> counts = Counts(v);
  ASSERT_EQ(counts.size(), 100u);
  const Vec front = {-500000000, -489898990, -479797980};
  const Vec back = {489898990, 500000000};
  for (std::size_t i = 0; i < front.size(); ++i) EXPECT_EQ(v[i * 10], front[i]);
  EXPECT_EQ(v[980], back[0]);
  EXPECT_EQ(v[990], back[1]);
  for (const auto& [value, n] : counts) EXPECT_EQ(n, 10) << value;
}

TEST_F(DistGenUniform, ExtraCopiesSpreadOverTheRange) {
  struct Case {
    std::int32_t nTuples;
    std::vector<int> copies;  // of the values 0 .. 9
  };
  const Case cases[] = {
      {1005, {100, 101, 100, 101, 100, 101, 100, 101, 100, 101}},
      // The accumulator reaches 1.00001 on the tenth value.
      {1001, {100, 100, 100, 100, 100, 100, 100, 100, 100, 101}},
      {1000, {100, 100, 100, 100, 100, 100, 100, 100, 100, 100}},
      {1009, {100, 101, 101, 101, 101, 101, 101, 101, 101, 101}},
  };
  for (const Case& c : cases) {
    std::map<std::int32_t, int> counts = Counts(Uniform(c.nTuples, 0, 9, 10));
    ASSERT_EQ(counts.size(), 10u) << c.nTuples;
    for (int value = 0; value < 10; ++value) {
      EXPECT_EQ(counts[value], c.copies[static_cast<std::size_t>(value)])
          << c.nTuples << " value " << value;
    }
  }
}

TEST_F(DistGenUniform, OneDistinctValueFillsWithMin) {
  EXPECT_EQ(Uniform(100, 5, 900, 1), Vec(100, 5));
  EXPECT_EQ(Uniform(100, -3, -3, 1), Vec(100, -3));
}

TEST_F(DistGenUniform, WritesOnlyItsRows) {
  Vec v(102, -7);
  Dist_genUniform(v.data() + 1, 100, 0, 9, 10, 0);
  EXPECT_EQ(v.front(), -7);
  EXPECT_EQ(v.back(), -7);
  v.assign(102, -7);
  Dist_genUniform(v.data() + 1, 100, 1, 100, 100, 1);
  EXPECT_EQ(v.front(), -7);
  EXPECT_EQ(v.back(), -7);
}

TEST_F(DistGenUniform, ShapeProperties) {
  struct Case {
    std::int32_t nTuples;
    std::int32_t min;
    std::int32_t max;
    std::int32_t nUnique;
  };
  const Case cases[] = {
      {100, 1, 100, 100},
      {100, 0, 9, 10},
      {101, 0, 99, 100},
      {1001, 0, 9, 10},
      {1005, 0, 9, 10},
      {10000, -1000000000, 1000000000, 1000},
      {10000, -500000000, 500000000, 10000},
      {36524, 0, 36523, 36524},
      {100000, 0, 36523, 36524},
      {100000, 0, 9999, 10000},
      {100000, 0, 99998, 99999},
      {123457, -5, 12338, 12344},
      {1000000, 1, 1000000001, 100000},
      {1000000, 0, 36523, 36524},
  };
  for (const Case& c : cases) {
    Vec v = Uniform(c.nTuples, c.min, c.max, c.nUnique);
    ASSERT_TRUE(std::is_sorted(v.begin(), v.end())) << c.nTuples << "/" << c.nUnique;
    EXPECT_EQ(v.front(), c.min);
    EXPECT_EQ(v.back(), c.max);
    std::map<std::int32_t, int> counts = Counts(v);
    ASSERT_EQ(counts.size(), static_cast<std::size_t>(c.nUnique)) << c.nTuples;
    const int q = c.nTuples / c.nUnique;
    const int r = c.nTuples % c.nUnique;
    int extra = 0;
    for (const auto& [value, n] : counts) {
      ASSERT_TRUE(n == q || n == q + 1) << value << " x" << n;
      extra += n == q + 1 ? 1 : 0;
    }
    EXPECT_EQ(extra, r) << c.nTuples << "/" << c.nUnique;
  }
}

// ---- Normal --------------------------------------------------------------

TEST_F(DistGenNormal, WorkedValues) {
  EXPECT_EQ(Normal(4, 0, 10), (Vec{0, 4, 5, 10}));
  EXPECT_EQ(Normal(5, 0, 10), (Vec{0, 3, 5, 6, 10}));

  Vec v = Normal(100, -1000000000, 1000000000);
  EXPECT_EQ((Vec{v[0], v[1], v[2]}), (Vec{-1000000000, -700418747, -619925965}));
  EXPECT_EQ((Vec{v[48], v[49], v[50], v[51]}), (Vec{-11533304, -3843617, 3843617, 11533304}));
  EXPECT_EQ((Vec{v[97], v[98], v[99]}), (Vec{619925965, 700418747, 1000000000}));

  Vec odd = Normal(101, -1000000000, 1000000000);
  EXPECT_EQ(odd[50], 0);
}

TEST_F(DistGenNormal, AscendingAndSymmetric) {
  // Ascending from min to max. Over a range symmetric about 0 the back half
  // mirrors the front exactly; otherwise the pairs sum to min + max less what
  // truncation dropped.
  struct Case {
    std::int32_t nTuples;
    std::int32_t min;
    std::int32_t max;
    bool exact;
  };
  const Case cases[] = {{100, -1000000000, 1000000000, true},
                        {101, -1000000000, 1000000000, true},
                        {100000, -1000000000, 1000000000, true},
                        {1001, -5000, 5000, true},
                        {100, 0, 10, false},
                        {10001, 3, 1000000000, false},
                        {100000, -7, 123456789, false},
                        {1000, 0, 10, false},
                        {10000, -5, 1000000000, false},
                        {99999, 1, 2, false}};
  for (const Case& c : cases) {
    Vec v = Normal(c.nTuples, c.min, c.max);
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end())) << c.nTuples;
    EXPECT_EQ(v.front(), c.min);
    EXPECT_EQ(v.back(), c.max);
    const std::int64_t sum = std::int64_t{c.min} + c.max;
    for (std::int32_t k = 0; k < c.nTuples; ++k) {
      const std::int64_t pair = std::int64_t{v[static_cast<std::size_t>(k)]} +
                                v[static_cast<std::size_t>(c.nTuples - 1 - k)];
      if (c.exact) {
        ASSERT_EQ(pair, sum) << c.nTuples << " entry " << k;
      } else {
        ASSERT_TRUE(pair == sum || pair == sum - 1) << c.nTuples << " entry " << k << " " << pair;
      }
    }
  }
}

TEST_F(DistGenNormal, Failures) {
  Vec v(100);
  const Raised empty = CatchRaise([&] { Dist_genNormal(v.data(), 100, 5, 5, 100); }, kCatch);
  EXPECT_EQ(empty.cls, XEPT_ASSERTION);
  EXPECT_NE(empty.out.find("Function Dist_genNormal, line "), std::string::npos);
  EXPECT_NE(empty.out.find("\nFailed assertion: 'intervalWidth > 0L'\n"), std::string::npos);

  const Raised repeated = CatchRaise([&] { Dist_genNormal(v.data(), 100, 0, 10, 99); }, kCatch);
  EXPECT_EQ(repeated.cls, XEPT_CODING);
  EXPECT_EQ(repeated.out.find("Failed"), std::string::npos) << repeated.out;
  EXPECT_NE(repeated.out.find("\nRaised exception of class '1'\n"), std::string::npos);
}

TEST_F(DistInverseNormal, Values) {
  EXPECT_EQ(Dist_inverseNormal(0.5), 0.0);
  EXPECT_EQ(Dist_inverseNormal(0.25), 0.0);
  EXPECT_EQ(Dist_inverseNormal(0.0), 0.0);
  EXPECT_EQ(Dist_inverseNormal(-1.0), 0.0);
  // Normal quantiles of 0.0005 + 0.999 p, to the accuracy of the rational
  // approximation.
  struct Case {
    double p;
    double quantile;
  };
  const Case cases[] = {{0.6, 0.2530882739523646},   {0.75, 0.6737032424994921},
                        {0.9, 1.2792756619125702},   {0.99, 2.308344198166935},
                        {0.999, 2.9679429185616124}, {1.0, 3.290526731491863}};
  for (const Case& c : cases) {
    EXPECT_NEAR(Dist_inverseNormal(c.p), c.quantile, 5e-8) << c.p;
  }
  EXPECT_GT(Dist_inverseNormal(1.0), 3.2905);
}

// ---- Zipfian -------------------------------------------------------------

TEST_F(DistGenZipfian, WorkedCounts) {
  struct Case {
    std::int32_t nTuples;
    std::int32_t min;
    std::int32_t max;
    std::vector<std::int32_t> values;  // ranks 1 .. nUnique
    std::vector<int> copies;
  };
  const std::vector<std::int32_t> floats = {-500000000, -388888889, -277777778, -166666667,
                                            -55555556,  55555556,   166666667,  277777778,
                                            388888889,  500000000};
  std::vector<int> ones(14, 1);
  std::vector<int> twenty = {54, 16, 7, 4, 3, 2};
  twenty.insert(twenty.end(), ones.begin(), ones.end());
  const Case cases[] = {
      {10000, -500000000, 500000000, floats, {6452, 1613, 717, 403, 258, 179, 132, 101, 80, 65}},
      {100, -500000000, 500000000, floats, {64, 16, 7, 4, 3, 2, 1, 1, 1, 1}},
      {100, 0, 19, Iota(20), twenty},
  };
  for (const Case& c : cases) {
    const auto nUnique = static_cast<std::int32_t>(c.values.size());
    Vec v = Zipfian(c.nTuples, c.min, c.max, nUnique);
    // Ascending: each value's copies in one run, rank 1 in front.
    Vec expected;
    for (std::size_t r = 0; r < c.values.size(); ++r) {
      expected.insert(expected.end(), static_cast<std::size_t>(c.copies[r]), c.values[r]);
    }
    EXPECT_EQ(v, expected) << c.nTuples << "/" << nUnique;
  }
}

TEST_F(DistGenZipfian, CountsFollowTheHarmonicSum) {
  // With H = 1.5497677311665408 for ten ranks, rank r >= 2 of 10000 rows
  // gets 10000 / (H r^2) copies, rounded.
  const double h = 1.5497677311665408;
  std::map<std::int32_t, int> counts = Counts(Zipfian(10000, 1, 10, 10));
  int others = 0;
  for (std::int32_t r = 2; r <= 10; ++r) {
    const double unit = (1.0 / h) * 10000;
    EXPECT_EQ(counts[r], static_cast<int>(unit / (r * r) + 0.5)) << r;
    others += counts[r];
  }
  EXPECT_EQ(counts[1], 10000 - others);
}

TEST_F(DistGenZipfian, TooManyRanksFailsCount) {
  Vec v(101, -9);
  const Raised o = CatchRaise([&] { Dist_genZipfian(v.data(), 100, 0, 1000, 100); }, kCatch);
  EXPECT_EQ(o.cls, XEPT_ASSERTION);
  EXPECT_NE(o.out.find("\nFailed assertion: 'count <= nTuples'\n"), std::string::npos) << o.out;
  EXPECT_EQ(v[100], -9);  // stopped before writing past the rows
}

// ---- Shuffle -------------------------------------------------------------

TEST_F(DistShuffle, KnownPermutation) {
  Vec v = Iota(10);
  Dist_Shuffle(v.data(), 10, 728952890);
  EXPECT_EQ(v, (Vec{7, 4, 2, 0, 8, 1, 3, 9, 6, 5}));
}

TEST_F(DistShuffle, SameAsPlainLoopAtEverySize) {
  const std::int32_t sizes[] = {0, 1, 2, 3, 10, 39, 40, 41, 42, 43, 64, 65, 100, 1000, 100003};
  const std::int32_t seeds[] = {728952890, 1, 2147483646, 0, 2147483647, -5, -2147483647 - 1};
  for (std::int32_t n : sizes) {
    for (std::int32_t seed : seeds) {
      Vec fast = Iota(n, 1000);
      Vec plain = fast;
      Dist_Shuffle(fast.data(), n, seed);
      PlainShuffle(&plain, seed);
      ASSERT_EQ(fast, plain) << "size " << n << " seed " << seed;
    }
  }
}

// Long columns of at most 256 runs of equal values are shuffled as one-byte
// run numbers; the permutation must be the plain one all the same, and a
// value that comes back in a later run must keep its own places.
TEST_F(DistShuffle, FewRunsGiveThePlainPermutation) {
  struct Case {
    std::int32_t n;
    std::int32_t runs;  // runs of equal values, in ascending order unless `repeat`
    bool repeat;        // runs alternate between two values
  } cases[] = {{65535, 100, false},
               {65536, 100, false},
               {100003, 1, false},
               {100003, 256, false},
               {100003, 257, false},
               {70001, 256, true},
               {70001, 300, true},
               {250000, 36524, false},
               // Run numbers are swapped in blocks of 512: whole blocks only,
               // and a last block of one swap.
               {65537, 100, false},
               {66049, 3, true},
               {66050, 255, false}};
  const std::int32_t seeds[] = {728952890, 1, 2147483646, 0, -5};
  for (const Case& c : cases) {
    Vec column(static_cast<std::size_t>(c.n));
    for (std::int32_t i = 0; i < c.n; ++i) {
      const std::int32_t run = static_cast<std::int32_t>(std::int64_t{i} * c.runs / c.n);
      column[static_cast<std::size_t>(i)] = c.repeat ? (run % 2) * 7 - 3 : run * 1000 - 500000;
    }
    for (std::int32_t seed : seeds) {
      Vec fast = column;
      Vec plain = column;
      Dist_Shuffle(fast.data(), c.n, seed);
      PlainShuffle(&plain, seed);
      ASSERT_TRUE(fast == plain) << "size " << c.n << " runs " << c.runs << " seed " << seed;
    }
  }
}

}  // namespace
}  // namespace zervgen
