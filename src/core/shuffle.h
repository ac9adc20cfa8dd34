// core/shuffle.h: the column shuffle, a module of its own because it is the
// costliest step of generating a column, and the swap-index kernels it is
// built on.
#ifndef ZERVGEN_SRC_CORE_SHUFFLE_H_
#define ZERVGEN_SRC_CORE_SHUFFLE_H_

#include <cstdint>

namespace zervgen {

// Fisher-Yates shuffle from the end, driven by the stream started at `seed`:
// for m = n .. 2, step, j = state mod m, swap entries j and m-1.
void Dist_Shuffle(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed);

namespace shuffle_detail {

// The swap indices of `count` swaps from m = `m` down: out[t] is the
// (t+1)-th state after `state` modulo m - t, exactly as the plain loop
// computes it. Returns the state of the last index (`state` for none).
// REQUIRES: 1 <= state <= 2^31-2, 0 <= count <= m - 1
using IndexKernel = std::int32_t (*)(std::int32_t* out, std::int32_t m, std::int32_t count,
                                     std::int32_t state);

// The kernel for any machine the build targets.
std::int32_t PortableIndices(std::int32_t* out, std::int32_t m, std::int32_t count,
                             std::int32_t state);
// The same kernel in wider registers, or null where the processor lacks
// them (or the build knows no such kernel).
IndexKernel WideIndices();

}  // namespace shuffle_detail

}  // namespace zervgen

#endif  // ZERVGEN_SRC_CORE_SHUFFLE_H_
