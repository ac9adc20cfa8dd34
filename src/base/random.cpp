// base/random.cpp: the stream step and its jump-ahead.
#include "base/random.h"

#include "base/except.h"

namespace zervgen {

int Ms_Random(std::int32_t* seed, double* result) {
  CHECK_REQUIRE_TEXT(seed != nullptr, "seed != NULL");
  *seed = Ms_Step(*seed);
  if (result != nullptr) *result = *seed * 4.656612875245797e-10;
  return 0;
}

std::int32_t Ms_JumpAhead(std::int32_t state, std::uint64_t steps) {
  if (steps == 0) return state;
  if (state == 0 || state == kRandomModulus) return kRandomModulus;
  const std::uint64_t m = static_cast<std::uint64_t>(kRandomModulus);
  std::uint64_t factor = 1;
  std::uint64_t base = static_cast<std::uint64_t>(kRandomMultiplier);
  while (steps > 0) {
    if (steps & 1u) factor = factor * base % m;
    base = base * base % m;
    steps >>= 1;
  }
  return static_cast<std::int32_t>(factor * static_cast<std::uint64_t>(state) % m);
}

}  // namespace zervgen
