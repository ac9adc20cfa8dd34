// dist_test_util.h: what the tests of the value generators and of the
// attribute distributions share: a fixture armed against unexpected raises
// and the generators' vectors as values.
#ifndef ZERVGEN_TESTS_DIST_TEST_UTIL_H_
#define ZERVGEN_TESTS_DIST_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/except.h"
#include "core/dist.h"
#include "test_util.h"

namespace zervgen_test {

using Vec = std::vector<std::int32_t>;

// Every test runs with a handler for all classes on the stack, so that an
// unexpected raise fails the test (as a thrown exception) instead of ending
// the test program.
class ArmedTest : public testing::Test {
 protected:
  void SetUp() override {
    zervgen::Xept_Reset();
    zervgen::Xept_GetBuffer(zervgen::XEPT_ANY);
  }
  void TearDown() override { zervgen::Xept_Reset(); }
};

// A raise is caught with what went to both streams, and a fresh handler is
// armed again for the rest of the test.
inline constexpr unsigned kCatch = kWithStderr | kRearm;

inline Vec Uniform(std::int32_t n, std::int32_t min, std::int32_t max, std::int32_t nUnique,
                   std::int32_t missingOne = 0) {
  Vec v(static_cast<std::size_t>(n));
  zervgen::Dist_genUniform(v.data(), n, min, max, nUnique, missingOne);
  return v;
}

inline Vec Normal(std::int32_t n, std::int32_t min, std::int32_t max) {
  Vec v(static_cast<std::size_t>(n));
  zervgen::Dist_genNormal(v.data(), n, min, max, n);
  return v;
}

inline Vec Zipfian(std::int32_t n, std::int32_t min, std::int32_t max, std::int32_t nUnique) {
  Vec v(static_cast<std::size_t>(n));
  zervgen::Dist_genZipfian(v.data(), n, min, max, nUnique);
  return v;
}

inline Vec Iota(std::int32_t n, std::int32_t first = 0) {
  Vec v(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = first + i;
  return v;
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_DIST_TEST_UTIL_H_
