// output_test_util.h: what the tests of the field writers and of whole rows
// share: the framing and fill stream the single-field writers work in, the
// fixture that starts it afresh, and numbers of every magnitude.
#ifndef ZERVGEN_TESTS_OUTPUT_TEST_UTIL_H_
#define ZERVGEN_TESTS_OUTPUT_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/random.h"
#include "output/output.h"

namespace zervgen_test {

// The framing and the fill stream the single-field writers of these tests
// work in; each test starts it afresh.
inline zervgen::OutputFieldState fieldState;

inline void Frame(char delim, int fixedFormat) {
  fieldState.format = zervgen::Output_MakeFormat(delim, fixedFormat);
}

inline std::string Requirement(const char* text) {
  return std::string("Failed requirement: '") + text + "'\n";
}

class OutputTest : public testing::Test {
 protected:
  void SetUp() override {
    fieldState = zervgen::OutputFieldState{zervgen::Output_MakeFormat(0, 1), 1};
  }
};

// Every digit count's edges, both signs, the extremes, and random values of
// all magnitudes.
inline std::vector<std::int32_t> TestValues() {
  std::vector<std::int32_t> values = {INT32_MAX, INT32_MAX - 1, INT32_MIN, INT32_MIN + 1};
  for (int bit = 1; bit < 31; ++bit) {  // every bit width's ends
    const std::int32_t power = std::int32_t{1} << bit;
    values.insert(values.end(), {power - 1, power, -power});
  }
  for (std::int64_t power = 1; power <= 1000000000; power *= 10) {
    for (std::int64_t v : {power - 1, power, power + 1}) {
      values.push_back(static_cast<std::int32_t>(v));
      values.push_back(static_cast<std::int32_t>(-v));
    }
  }
  std::int32_t state = 42;
  for (int i = 0; i < 300; ++i) {
    state = zervgen::Ms_Step(state);
    auto high = static_cast<std::uint32_t>(state) << 1;
    state = zervgen::Ms_Step(state);
    auto bits = static_cast<std::int32_t>(high ^ static_cast<std::uint32_t>(state));
    values.push_back(bits >> (state % 32));
  }
  return values;
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_OUTPUT_TEST_UTIL_H_
