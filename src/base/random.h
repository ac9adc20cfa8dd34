// base/random.h: the minimal-standard random stream (x' = 16807 x mod 2^31-1).
// A stream is one signed 32-bit state owned by its user; there is no global
// generator. Every random decision of the program steps such a state.
#ifndef ZERVGEN_SRC_BASE_RANDOM_H_
#define ZERVGEN_SRC_BASE_RANDOM_H_

#include <cstdint>

namespace zervgen {

inline constexpr std::int32_t kRandomModulus = 2147483647;
inline constexpr std::int32_t kRandomMultiplier = 16807;

// The step by Schrage's method; every intermediate fits in 32 bits. The
// proper states 1..2^31-2 form one cycle; 0 steps to 2^31-1, which steps to
// itself.
inline std::int32_t Ms_Step(std::int32_t x) {
  std::int32_t hi = x / 127773;
  std::int32_t lo = x % 127773;
  std::int32_t t = 16807 * lo - 2836 * hi;
  return t > 0 ? t : t + 2147483647;
}

// x * y modulo 2^31-1 for x and y in 0..2^31-1: one 64-bit product whose
// high bits are folded onto the low ones, which takes fewer dependent
// operations than Schrage's method. A product that is a multiple of the
// modulus gives the modulus itself, so the state 2^31-1 stays itself, as
// Ms_Step keeps it; on the proper states both give the same step.
inline std::int32_t Ms_MulMod(std::int32_t x, std::uint64_t y) {
  const std::uint64_t product = static_cast<std::uint64_t>(x) * y;
  const std::uint64_t m = static_cast<std::uint64_t>(kRandomModulus);
  const std::uint64_t r = (product & m) + (product >> 31);  // at most 2m
  return static_cast<std::int32_t>(r > m ? r - m : r);
}

// The step of a state 1..2^31-1 by Ms_MulMod; Ms_Step for every state.
inline std::int32_t Ms_StepFast(std::int32_t x) { return Ms_MulMod(x, kRandomMultiplier); }

// Steps the stream at `seed`; when `result` is given it receives the new
// state times 1/2147483647, a deviate in (0, 1). Returns 0.
// REQUIRES: seed != NULL
int Ms_Random(std::int32_t* seed, double* result);

// The state after `steps` steps from `state`, by raising the multiplier to
// the power `steps` modulo 2^31-1. For a proper state this equals stepping
// `steps` times; the degenerate states 0 and 2^31-1 are stepped as the
// generator does (0 goes to 2^31-1 after one step and stays there).
std::int32_t Ms_JumpAhead(std::int32_t state, std::uint64_t steps);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_RANDOM_H_
