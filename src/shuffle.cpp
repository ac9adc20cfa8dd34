// shuffle.cpp: the column shuffle. A Fisher-Yates from the end driven by
// the column's own stream; long columns compute the swap indices ahead of
// the swaps and prefetch the entries they name, and columns of few runs are
// shuffled as one-byte run numbers. Every form gives the same permutation.
#include "shuffle.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "random.h"

namespace zervgen {
namespace {

// How far ahead of its swap the shuffle prefetches the entry an index names.
constexpr std::int32_t kPrefetchAhead = 40;

// The plain Fisher-Yates from the end, swaps for m = from .. 2.
inline void ShuffleTail(std::int32_t* vector, std::int32_t from, std::int32_t* s) {
  for (std::int32_t m = from; m >= 2; --m) {
    *s = Ms_Step(*s);
    std::swap(vector[*s % m], vector[m - 1]);
  }
}

// The same swaps for a proper seed and more than kPrefetchAhead + 1 rows of
// a full column. The indices depend only on the stream, so each is computed
// kPrefetchAhead swaps before its use and the entry it names fetched
// meanwhile: the swaps of a column far larger than the caches wait on
// memory more than on the arithmetic.
void ShuffleRing(std::int32_t* vector, std::int32_t nTuples, std::int32_t s) {
  constexpr std::int32_t kRingSize = 64;  // holds the indices computed, not yet used
  static_assert(kRingSize >= kPrefetchAhead && (kRingSize & (kRingSize - 1)) == 0);
  std::int32_t ring[kRingSize];
  std::int32_t ahead = nTuples;  // m of the next index to compute
  for (std::int32_t t = 0; t < kPrefetchAhead; ++t, --ahead) {
    s = Ms_StepFast(s);
    ring[t] = s % ahead;
    __builtin_prefetch(vector + ring[t], 1);
  }
  std::int32_t slot = 0;
  for (std::int32_t m = nTuples; ahead >= 2; --m, --ahead) {
    s = Ms_StepFast(s);
    const std::int32_t next = s % ahead;
    __builtin_prefetch(vector + next, 1);
    ring[(slot + kPrefetchAhead) & (kRingSize - 1)] = next;
    std::swap(vector[ring[slot]], vector[m - 1]);
    slot = (slot + 1) & (kRingSize - 1);
  }
  // The last kPrefetchAhead swaps use indices already in the ring.
  for (std::int32_t m = kPrefetchAhead + 1; m >= 2; --m) {
    std::swap(vector[ring[slot]], vector[m - 1]);
    slot = (slot + 1) & (kRingSize - 1);
  }
}

// The shuffle's indices are computed a block ahead of their swaps. A full
// block takes the stream in kLanes lanes of kLaneSteps consecutive states
// each: lane k starts kLaneSteps states after lane k-1, one multiplication
// by the multiplier's kLaneSteps-th power away, so the lanes' steps do not
// wait on each other and give the very states of one stream stepped in
// turn. One lane step is taken per swap of the block before, so the
// arithmetic overlaps the swaps' waits on memory.
constexpr std::int32_t kLanes = 8;
constexpr std::int32_t kLaneSteps = 64;
constexpr std::int32_t kBlock = kLanes * kLaneSteps;
static_assert(kPrefetchAhead <= kBlock);

class BlockLanes {
 public:
  // The lanes of the full block of swaps from m = `m` down, from the proper
  // state `s` before it.
  BlockLanes(std::int32_t m, std::int32_t s) : m_(m) {
    static const std::int32_t jump = Ms_JumpAhead(1, kLaneSteps);
    lane_[0] = s;
    for (std::int32_t k = 1; k < kLanes; ++k) lane_[k] = Ms_MulMod(lane_[k - 1], jump);
  }
  // Writes index i (0 .. kBlock-1, taken in order) of the block to out.
  void Index(std::int32_t* out, std::int32_t i) {
    const std::int32_t k = i % kLanes;
    const std::int32_t t = k * kLaneSteps + i / kLanes;
    lane_[k] = Ms_StepFast(lane_[k]);
    out[t] = lane_[k] % (m_ - t);
  }
  // The state after the block's last index.
  std::int32_t last() const { return lane_[kLanes - 1]; }

 private:
  std::int32_t m_;
  std::int32_t lane_[kLanes];
};

// The indices of `count` swaps from m = `m` down, one state after another
// from the proper state *s, which is left at the state of the last.
void PlainIndices(std::int32_t* out, std::int32_t m, std::int32_t count, std::int32_t* s) {
  for (std::int32_t t = 0; t < count; ++t) {
    *s = Ms_StepFast(*s);
    out[t] = *s % (m - t);
  }
}

// The same swaps for a proper seed and more than kPrefetchAhead + 1 rows of
// one-byte run numbers, which the caches hold well enough that computing
// the indices is most of the work: a block at a time, each swap fetching
// the entry kPrefetchAhead swaps on.
void ShuffleLanes(std::uint8_t* vector, std::int32_t nTuples, std::int32_t s) {
  constexpr std::int32_t kRing = 2 * kBlock;  // this block's indices and the next's
  std::int32_t ring[kRing] = {};              // indices never exceed nTuples - 1
  std::int32_t m = nTuples;                   // m of the block's first swap
  std::int32_t count = std::min(kBlock, m - 1);
  std::int32_t at = 0;  // where the block's indices start in the ring
  PlainIndices(ring, m, count, &s);
  while (count > 0) {
    const std::int32_t nextM = m - count;
    const std::int32_t nextCount = std::min(kBlock, nextM - 1);
    const std::int32_t nextAt = at ^ kBlock;
    const auto swap = [&](std::int32_t t) {
      __builtin_prefetch(vector + ring[(at + t + kPrefetchAhead) & (kRing - 1)], 1);
      std::swap(vector[ring[at + t]], vector[m - 1 - t]);
    };
    if (nextCount == kBlock) {  // then this block is full too
      BlockLanes lanes(nextM, s);
      for (std::int32_t t = 0; t < kBlock; ++t) {
        lanes.Index(ring + nextAt, t);
        swap(t);
      }
      s = lanes.last();
    } else {
      PlainIndices(ring + nextAt, nextM, nextCount, &s);
      for (std::int32_t t = 0; t < count; ++t) swap(t);
    }
    m = nextM;
    count = nextCount;
    at = nextAt;
  }
}

// The swaps move entries without looking at them, so a column of at most
// 256 runs of equal values can be shuffled as one-byte run numbers: the same
// permutation over a quarter of the memory, which the cache then holds far
// better. The run numbers live in the first bytes of the vector itself.
// Columns shorter than kNarrowMinRows fit the cache as they are.
constexpr std::int32_t kNarrowMinRows = 1 << 16;
constexpr std::int32_t kMaxNarrowRuns = 256;

// Number of runs of equal neighbours in vector[0 .. n-1], counted up to
// kMaxNarrowRuns + 1.
std::int32_t CountRuns(const std::int32_t* vector, std::int32_t nTuples) {
  std::int32_t runs = 1;
  for (std::int32_t i = 1; i < nTuples && runs <= kMaxNarrowRuns; ++i) {
    runs += vector[i] != vector[i - 1] ? 1 : 0;
  }
  return runs;
}

// Replaces each value by the number of its run, front to back: byte i lies
// in value i/4, which is read first. `values` receives each run's value.
void ToRunNumbers(std::int32_t* vector, std::int32_t nTuples, std::int32_t* values) {
  auto* narrow = reinterpret_cast<std::uint8_t*>(vector);
  std::int32_t run = 0;
  values[0] = vector[0];
  for (std::int32_t i = 0; i < nTuples; ++i) {
    const std::int32_t v = vector[i];
    if (v != values[run]) values[++run] = v;
    narrow[i] = static_cast<std::uint8_t>(run);
  }
}

// Puts the values back, back to front: value i covers bytes 4i .. 4i+3,
// all used before it is written.
void FromRunNumbers(std::int32_t* vector, std::int32_t nTuples, const std::int32_t* values) {
  const auto* narrow = reinterpret_cast<const std::uint8_t*>(vector);
  for (std::int32_t i = nTuples - 1; i >= 0; --i) {
    const std::uint8_t run = narrow[i];
    vector[i] = values[run];
  }
}

// Shuffles a long column of at most kMaxNarrowRuns runs as run numbers.
// Returns false, having changed nothing, for any other column.
bool ShuffleAsRuns(std::int32_t* vector, std::int32_t nTuples, std::int32_t s) {
  if (nTuples < kNarrowMinRows || CountRuns(vector, nTuples) > kMaxNarrowRuns) return false;
  std::int32_t values[kMaxNarrowRuns];
  ToRunNumbers(vector, nTuples, values);
  ShuffleLanes(reinterpret_cast<std::uint8_t*>(vector), nTuples, s);
  FromRunNumbers(vector, nTuples, values);
  return true;
}

}  // namespace

void Dist_Shuffle(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed) {
  std::int32_t s = seed;
  const bool proper = seed > 0 && seed < kRandomModulus;
  if (!proper || nTuples <= kPrefetchAhead + 1) {
    ShuffleTail(vector, nTuples, &s);
  } else {
    if (!ShuffleAsRuns(vector, nTuples, s)) ShuffleRing(vector, nTuples, s);
  }
}

}  // namespace zervgen
