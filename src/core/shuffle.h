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

// The same shuffle when only the rows from `from` on are wanted (a part of
// the relation): the swaps that touch nothing but rows below `from` are
// left out, so those rows hold values in no particular order, or other
// bytes altogether. Rows from `from` on are those of Dist_Shuffle.
// REQUIRES: 0 <= from <= nTuples
void Dist_ShuffleFrom(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed,
                      std::int32_t from);

// A column of ascending runs before its shuffle: run k is counts[k] copies
// of values[k], runs in order.
struct DistRuns {
  const std::int32_t* values;
  const std::int32_t* counts;
  std::int32_t n;
};

// Runs a shuffle can keep as one- or two-byte run numbers.
inline constexpr std::int32_t kDistMaxRuns = 1 << 16;

// Writes the runs into `vector` and shuffles them as Dist_ShuffleFrom does:
// the same rows from `from` up to `end`, without first writing every value
// out; the rows from `end` on may hold other bytes, too. A long column of
// few runs is laid down and shuffled as run numbers, and only the values of
// the rows wanted are put back; with `keepRunNumbers`, none is, and the
// column stays as its run numbers in the first bytes of the vector (row r's
// at byte r * width for all rows from `from` on, its value
// runs.values[number]). Returns that width, 1 or 2, when the run numbers
// were kept, and 0 when the vector holds the values.
// REQUIRES: 1 <= runs.n <= kDistMaxRuns, the counts are positive and sum to
// nTuples, 0 <= from <= end <= nTuples
int Dist_ShuffleRuns(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed,
                     const DistRuns& runs, std::int32_t from, std::int32_t end,
                     bool keepRunNumbers = false);

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
