// random_test.cpp: the minimal-standard stream and its jump-ahead.
#include "base/random.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/except.h"
#include "test_util.h"

namespace zervgen {
namespace {

std::int32_t StepTimes(std::int32_t state, std::uint64_t steps) {
  for (std::uint64_t i = 0; i < steps; ++i) Ms_Random(&state, nullptr);
  return state;
}

TEST(MsRandom, KnownStreams) {
  struct Case {
    std::int32_t start;
    int steps;
    std::int32_t expected;
  };
  const Case cases[] = {
      {1, 1, 16807},
      {1, 2, 282475249},
      {1, 3, 1622650073},
      {1, 4, 984943658},
      {1, 5, 1144108930},
      {1, 10000, 1043618065},
      {728952890, 1, 117016095},
      {728952890, 2, 1741971660},
      {728952890, 3, 673130069},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StepTimes(c.start, c.steps), c.expected) << c.start << " after " << c.steps;
  }
}

TEST(MsRandom, ReturnsZeroAndStepsOnlyItsOwnState) {
  std::int32_t a = 728952890;
  std::int32_t b = 728952890;
  EXPECT_EQ(Ms_Random(&a, nullptr), 0);
  EXPECT_EQ(a, 117016095);
  EXPECT_EQ(b, 728952890);
  EXPECT_EQ(Ms_Random(&b, nullptr), 0);
  EXPECT_EQ(Ms_Random(&b, nullptr), 0);
  EXPECT_EQ(a, 117016095);
  EXPECT_EQ(b, 1741971660);
}

TEST(MsRandom, DegenerateStatesStayDegenerate) {
  std::int32_t s = 0;
  Ms_Random(&s, nullptr);
  EXPECT_EQ(s, 2147483647);
  for (int i = 0; i < 1000; ++i) {
    Ms_Random(&s, nullptr);
    ASSERT_EQ(s, 2147483647) << "step " << i;
  }
}

TEST(MsRandom, ProperStatesNeverReachDegenerateOnes) {
  // The states next to the ends of the range and a stretch of the stream.
  const std::int32_t starts[] = {1, 2, 127773, 127774, 2147483645, 2147483646};
  for (std::int32_t start : starts) {
    std::int32_t s = start;
    for (int i = 0; i < 100000; ++i) {
      Ms_Random(&s, nullptr);
      ASSERT_GT(s, 0) << start << " step " << i;
      ASSERT_LT(s, 2147483647) << start << " step " << i;
    }
  }
}

TEST(MsRandom, Deviate) {
  std::int32_t s = 1;
  double d = -1.0;
  Ms_Random(&s, &d);
  EXPECT_EQ(s, 16807);
  EXPECT_EQ(d, 16807 * 4.656612875245797e-10);

  // The predecessor of 2^31-2 gives the largest deviate, still below 1;
  // the predecessor of 1 gives the smallest, above 0.
  std::int32_t top = Ms_JumpAhead(2147483646, 2147483645);
  Ms_Random(&top, &d);
  EXPECT_EQ(top, 2147483646);
  EXPECT_LT(d, 1.0);
  EXPECT_EQ(d, 2147483646 * 4.656612875245797e-10);
  std::int32_t bottom = Ms_JumpAhead(1, 2147483645);
  Ms_Random(&bottom, &d);
  EXPECT_EQ(bottom, 1);
  EXPECT_GT(d, 0.0);
}

TEST(MsRandom, NullSeedFailsRequirement) {
  const zervgen_test::Raised r = zervgen_test::CatchRaise([] { Ms_Random(nullptr, nullptr); });
  const int raised = r.cls;
  const std::string& out = r.out;
  Xept_Reset();
  EXPECT_EQ(raised, XEPT_REQUIREMENT);
  EXPECT_NE(out.find("Function Ms_Random, line "), std::string::npos) << out;
  EXPECT_NE(out.find("\nFailed requirement: 'seed != NULL'\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nRaised exception of class '2'\n"), std::string::npos) << out;
}

TEST(MsJumpAhead, EqualsStepping) {
  const std::uint64_t counts[] = {0, 1, 2, 3, 511, 512, 513, 10000, 65536, 1000003};
  const std::int32_t starts[] = {1, 728952890, 2147483646, 14618637};
  for (std::int32_t start : starts) {
    for (std::uint64_t k : counts) {
      EXPECT_EQ(Ms_JumpAhead(start, k), StepTimes(start, k)) << start << " by " << k;
    }
  }
}

TEST(MsJumpAhead, FullCycleAndBeyond) {
  // The proper states form one cycle of length 2^31-2.
  const std::uint64_t period = 2147483646;
  const std::int32_t starts[] = {1, 16807, 728952890, 2147483646};
  for (std::int32_t start : starts) {
    EXPECT_EQ(Ms_JumpAhead(start, period), start);
    EXPECT_EQ(Ms_JumpAhead(start, 2 * period), start);
    EXPECT_EQ(Ms_JumpAhead(start, period + 5), StepTimes(start, 5));
    EXPECT_EQ(Ms_JumpAhead(start, 3 * period + 10000), StepTimes(start, 10000));
  }
  // A huge count folds onto the cycle too.
  const std::uint64_t huge = 1000 * period + 7;
  EXPECT_EQ(Ms_JumpAhead(1, huge), StepTimes(1, 7));
}

TEST(MsJumpAhead, DegenerateStates) {
  const std::uint64_t counts[] = {1, 2, 1000, 2147483646, 1ull << 40};
  EXPECT_EQ(Ms_JumpAhead(0, 0), 0);
  EXPECT_EQ(Ms_JumpAhead(2147483647, 0), 2147483647);
  for (std::uint64_t k : counts) {
    EXPECT_EQ(Ms_JumpAhead(0, k), 2147483647) << k;
    EXPECT_EQ(Ms_JumpAhead(2147483647, k), 2147483647) << k;
  }
  EXPECT_EQ(Ms_JumpAhead(0, 1000), StepTimes(0, 1000));
}

}  // namespace
}  // namespace zervgen
