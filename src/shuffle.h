// shuffle.h: the column shuffle, a module of its own because it is the
// costliest step of generating a column.
#ifndef ZERVGEN_SRC_SHUFFLE_H_
#define ZERVGEN_SRC_SHUFFLE_H_

#include <cstdint>

namespace zervgen {

// Fisher-Yates shuffle from the end, driven by the stream started at `seed`:
// for m = n .. 2, step, j = state mod m, swap entries j and m-1.
void Dist_Shuffle(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_SHUFFLE_H_
