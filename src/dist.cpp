// dist.cpp: the ascending value generators, the shuffle, and the attribute
// distributions that document, generate and store one column.
#include "dist.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "date.h"
#include "except.h"
#include "random.h"
#include "report.h"
#include "signals.h"
#include "util.h"

namespace zervgen {
namespace {

// Room for a "%ld" number or a "%hu/%hu/%hu" date.
constexpr std::size_t kRangeTextSize = 32;

// How far ahead of its swap the shuffle prefetches the entry an index names.
constexpr std::int32_t kPrefetchAhead = 40;

// Round half away from zero: 0.5 is added (or subtracted) in double
// precision and the sum truncated.
inline std::int32_t RoundHalfAway(double x) {
  double y = x >= 0 ? x + 0.5 : x - 0.5;
  return static_cast<std::int32_t>(y);
}

// The j-th of nUnique points spread over [min, min + width], d = nUnique - 1:
// the division, the product and the sum are each rounded, in this order.
inline std::int32_t SpreadValue(std::int32_t j, double d, double width, double min) {
  double x = static_cast<double>(j) / d;
  x = x * width;
  x = x + min;
  return RoundHalfAway(x);
}

// A column without the value 1 shows 0 in its place.
template <bool kMissingOne>
inline std::int32_t DropOne(std::int32_t v) {
  if constexpr (kMissingOne) return v == 1 ? 0 : v;
  return v;
}

// Every row its own point: vector[i] is point i of n.
template <bool kMissingOne>
void UniformDistinct(std::int32_t* vector, std::int32_t nTuples, double width, double min) {
  const double d = static_cast<double>(nTuples - 1);
  for (std::int32_t i = 0; i < nTuples; ++i) {
    vector[i] = DropOne<kMissingOne>(SpreadValue(i, d, width, min));
  }
}

// nUnique points, q or q + 1 copies each. The accumulator gains r/nUnique per
// point and hands out an extra copy each time it passes 1.0; it starts at
// 1e-05 so that it still reaches 1.0 on the last extra copy although the
// step itself is rounded.
template <bool kMissingOne>
std::int32_t UniformRepeated(std::int32_t* vector, std::int32_t nTuples, double width, double min,
                             std::int32_t nUnique) {
  const double d = static_cast<double>(nUnique - 1);
  const std::int32_t q = nTuples / nUnique;
  const std::int32_t r = nTuples % nUnique;
  const double step = static_cast<double>(r) / static_cast<double>(nUnique);
  double accumulator = 0.00001;
  std::int32_t count = 0;
  for (std::int32_t j = 0; j < nUnique; ++j) {
    std::int32_t v = DropOne<kMissingOne>(SpreadValue(j, d, width, min));
    accumulator = accumulator + step;
    std::int32_t k = q;
    if (accumulator >= 1.0) {
      accumulator = accumulator - 1.0;
      k = q + 1;
    }
    if (k > nTuples - count) return count + k;  // more than the vector holds
    std::fill_n(vector + count, k, v);
    count += k;
  }
  return count;
}

// Writes the column and returns the number of entries written.
template <bool kMissingOne>
std::int32_t UniformGenerate(std::int32_t* vector, std::int32_t nTuples, std::int32_t min,
                             std::int32_t max, std::int32_t nUnique) {
  if (nTuples == 1) {
    vector[0] = DropOne<kMissingOne>(min);
    return 1;
  }
  // A single point sits at min; spacing it would divide 0 by 0.
  if (nUnique == 1) {
    std::fill_n(vector, nTuples, DropOne<kMissingOne>(min));
    return nTuples;
  }
  const std::int32_t widthInt = max - min;
  const double width = static_cast<double>(widthInt);
  if (nUnique == nTuples) {
    UniformDistinct<kMissingOne>(vector, nTuples, width, min);
    return nTuples;
  }
  return UniformRepeated<kMissingOne>(vector, nTuples, width, min, nUnique);
}

// One quantile pair of the normal column. z is the quantile of the upper
// half; the lower entry mirrors it.
struct NormalPair {
  std::int32_t low;
  std::int32_t high;
};

inline NormalPair NormalValues(double z, double scale, double min, double max) {
  double low = 3.2905 - z;
  low = low * scale;
  low = low + min;
  if (min > low) low = min;
  double high = z + 3.2905;
  high = high * scale;
  high = high + min;
  if (max < high) high = max;
  return {static_cast<std::int32_t>(low), static_cast<std::int32_t>(high)};
}

// Sum of 1/k^2 for k = 1 .. nUnique, in that order.
double ZipfHarmonic(std::int32_t nUnique) {
  double h = 0.0;
  for (std::int32_t k = 1; k <= nUnique; ++k) {
    double square = std::pow(static_cast<double>(k), 2.0);
    h = h + 1.0 / square;
  }
  return h;
}

// Copies of rank r: unit / r^2 rounded by adding 0.5 and truncating, at
// least one.
inline std::int32_t ZipfCount(double unit, std::int32_t r) {
  double square = std::pow(static_cast<double>(r), 2.0);
  double c = unit / square;
  c = c + 0.5;
  std::int32_t count = static_cast<std::int32_t>(c);
  return count < 1 ? 1 : count;
}

// The stream step for a proper state (1 .. 2^31-2): 16807 x mod 2^31-1 by
// one 64-bit product folded at bit 31. Equal to Ms_Step on those states,
// which it never leaves, and shorter on the critical path of the shuffle.
inline std::int32_t StepProper(std::int32_t x) {
  const std::uint64_t t = static_cast<std::uint64_t>(x) * kRandomMultiplier;
  const auto m = static_cast<std::uint64_t>(kRandomModulus);
  std::uint64_t r = (t & m) + (t >> 31);
  if (r >= m) r -= m;
  return static_cast<std::int32_t>(r);
}

// The plain Fisher-Yates from the end, swaps for m = from .. 2.
inline void ShuffleTail(std::int32_t* vector, std::int32_t from, std::int32_t* s) {
  for (std::int32_t m = from; m >= 2; --m) {
    *s = Ms_Step(*s);
    std::swap(vector[*s % m], vector[m - 1]);
  }
}

// The product of two states modulo 2^31-1, folded twice at bit 31.
inline std::int32_t MulModulus(std::int32_t x, std::int32_t y) {
  const auto m = static_cast<std::uint64_t>(kRandomModulus);
  std::uint64_t t = static_cast<std::uint64_t>(x) * static_cast<std::uint64_t>(y);
  t = (t & m) + (t >> 31);
  t = (t & m) + (t >> 31);
  if (t >= m) t -= m;
  return static_cast<std::int32_t>(t);
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
    s = StepProper(s);
    ring[t] = s % ahead;
    __builtin_prefetch(vector + ring[t], 1);
  }
  std::int32_t slot = 0;
  for (std::int32_t m = nTuples; ahead >= 2; --m, --ahead) {
    s = StepProper(s);
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
    for (std::int32_t k = 1; k < kLanes; ++k) lane_[k] = MulModulus(lane_[k - 1], jump);
  }
  // Writes index i (0 .. kBlock-1, taken in order) of the block to out.
  void Index(std::int32_t* out, std::int32_t i) {
    const std::int32_t k = i % kLanes;
    const std::int32_t t = k * kLaneSteps + i / kLanes;
    lane_[k] = StepProper(lane_[k]);
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
    *s = StepProper(*s);
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

// Report text of one end of a uniform range.
void RangeText(char* out, const char* name, std::int32_t value) {
  if (std::strcmp(name, "date") == 0) {
    std::uint16_t day = 0;
    std::uint16_t month = 0;
    std::uint16_t year = 0;
    Date_Convert(static_cast<std::uint16_t>(value), &day, &month, &year);
    std::snprintf(out, kRangeTextSize, "%hu/%hu/%hu", month, day, year);
  } else {
    std::snprintf(out, kRangeTextSize, "%ld", static_cast<long>(value));
  }
}

const char* UniformComment(const char* name, std::int32_t missingOne) {
  if (missingOne == 1) return "'1' missing";
  if (std::strcmp(name, "code") == 0 || std::strcmp(name, "name") == 0 ||
      std::strcmp(name, "address") == 0) {
    return "min/max = rnd seed";
  }
  return "";
}

// A slot that already holds the asked-for values only changes hands.
bool Reuse(GenAttr* attr, std::int32_t relationTag, std::int32_t reuseTag) {
  if (attr->ownerTag != reuseTag) return false;
  attr->ownerTag = relationTag;
  return true;
}

void Submit(const DistJob& job, DistQueue* queue) {
  if (queue != nullptr) {
    queue->push_back(job);
    return;
  }
  const int error = Dist_RunJob(job);
  if (error != 0) Dist_TempWriteFailed(job.attr, error);
}

const char* TempWriteReason(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return "Out of disk space";
    default:
      return "Could not write temporary file";
  }
}

// Writes the whole column over the temporary file from offset 0. Returns 0,
// or the errno of the failed seek or write.
int StoreInTempFile(const GenAttr* attr, std::int32_t nTuples) {
  if (::lseek(attr->fd, 0, SEEK_SET) < 0) return errno;
  std::size_t bytes = static_cast<std::size_t>(nTuples) * sizeof(std::int32_t);
  return Util_WriteAll(attr->fd, attr->vector, bytes);
}

}  // namespace

void Dist_TempWriteFailed(const GenAttr* attr, int error) {
  const char* reason = TempWriteReason(error);
  const char* path = attr->fileName != nullptr ? attr->fileName : "";
  Report(
      "*** Error: The temporary file, \"%s\", could not be written.\n\tThe reason given is: \"%s\".\n",
      path, reason);
  std::fprintf(stderr, "%s: Temporary file error: \"%s\".\n", programName, reason);
  // Named after the operation whose write failed, wherever it ran.
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, "Dist_cleanup", __LINE__);
}

void Dist_genUniform(std::int32_t* vector, std::int32_t nTuples, std::int32_t min, std::int32_t max,
                     std::int32_t nUnique, std::int32_t missingOne) {
  const std::int32_t count = missingOne
                                 ? UniformGenerate<true>(vector, nTuples, min, max, nUnique)
                                 : UniformGenerate<false>(vector, nTuples, min, max, nUnique);
  CHECK_ASSERT_TEXT(count == nTuples, "count == nTuples");
}

void Dist_genNormal(std::int32_t* vector, std::int32_t nTuples, std::int32_t min, std::int32_t max,
                    std::int32_t nUnique) {
  const double dMin = static_cast<double>(min);
  const double dMax = static_cast<double>(max);
  const double intervalWidth = dMax - dMin;
  CHECK_ASSERT_TEXT(intervalWidth > 0L, "intervalWidth > 0L");
  if (nUnique != nTuples) XEPT_RAISE(XEPT_CODING);
  const std::int32_t half = (nTuples + 1) / 2;
  const double scale = intervalWidth * 0.15195259079167298;
  const double denominator = static_cast<double>(nTuples - 1);
  for (std::int32_t k = 0; k < half; ++k) {
    const std::int32_t i = nTuples - 1 - k;
    const double p = static_cast<double>(i) / denominator;
    const NormalPair pair = NormalValues(Dist_inverseNormal(p), scale, dMin, dMax);
    vector[k] = pair.low;
    vector[i] = pair.high;
  }
}

double Dist_inverseNormal(double p) {
  if (!(p > 0.5)) return 0.0;
  double t = p * 0.999;
  t = 0.9995 - t;
  double y = t * t;
  y = std::log(y);
  y = -y;
  y = std::sqrt(y);
  double num = 0.0000453642210148 * y;
  num = num + 0.0204231210245;
  num = num * y;
  num = num + 0.342242088547;
  num = num * y;
  num = num + 1.0;
  num = num * y;
  num = num + 0.322232431088;
  double den = 0.0038560700634 * y;
  den = den + 0.10353775285;
  den = den * y;
  den = den + 0.531103462366;
  den = den * y;
  den = den + 0.588581570495;
  den = den * y;
  den = den + 0.099348462606;
  double ratio = num / den;
  return y - ratio;
}

void Dist_genZipfian(std::int32_t* vector, std::int32_t nTuples, std::int32_t min, std::int32_t max,
                     std::int32_t nUnique) {
  const std::int32_t widthInt = max - min;
  const double width = static_cast<double>(widthInt);
  const double dMin = static_cast<double>(min);
  const double h = ZipfHarmonic(nUnique);
  double unit = 1.0 / h;
  unit = unit * static_cast<double>(nTuples);
  const double d = static_cast<double>(nUnique - 1);
  // The fill pointer, as an index: the next entry to write, moving down.
  std::int64_t dp = static_cast<std::int64_t>(nTuples) - 1;
  std::int32_t count = 0;
  for (std::int32_t r = nUnique; r >= 2; --r) {
    const std::int32_t v = SpreadValue(r - 1, d, width, dMin);
    const std::int32_t c = ZipfCount(unit, r);
    count += c;
    CHECK_ASSERT_TEXT(count <= nTuples, "count <= nTuples");
    dp -= c;
    std::fill_n(vector + dp + 1, c, v);
  }
  // Rank 1 takes what the rounded counts left.
  const std::int32_t rest = nTuples - count;
  dp -= rest;
  std::fill_n(vector + dp + 1, rest, min);
  CHECK_ASSERT_TEXT(dp == -1, "dp == &vector[-1]");
}

void Dist_Shuffle(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed) {
  std::int32_t s = seed;
  const bool proper = seed > 0 && seed < kRandomModulus;
  if (!proper || nTuples <= kPrefetchAhead + 1) {
    ShuffleTail(vector, nTuples, &s);
  } else {
    if (!ShuffleAsRuns(vector, nTuples, s)) ShuffleRing(vector, nTuples, s);
  }
}

void Dist_Uniform(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                  GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                  std::int32_t max, std::int32_t nUnique, std::int32_t seed,
                  std::int32_t missingOne, DistQueue* queue) {
  CHECK_REQUIRE_TEXT(name != nullptr, "name != NULL");
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(nTuples == 1L || nTuples >= 100L, "nTuples == 1L || nTuples >= 100L");
  CHECK_REQUIRE_TEXT(min <= max, "min <= max");
  CHECK_REQUIRE_TEXT(nUnique > 0 && nUnique <= nTuples, "nUnique > 0 && nUnique <= nTuples");
  char minText[kRangeTextSize];
  char maxText[kRangeTextSize];
  RangeText(minText, name, min);
  RangeText(maxText, name, max);
  // The smallest value of a column without 1 is 0, one below its min.
  if (missingOne == 1) {
    std::snprintf(minText, sizeof minText, "%ld", static_cast<long>(min) - 1);
  }
  Report("    %-9s  %-7s  %11s  %10s  %10ld  %s\n", name, "Uniform", minText, maxText,
         static_cast<long>(nUnique), UniformComment(name, missingOne));
  if (Reuse(attr, relationTag, reuseTag)) return;
  Submit({DistKind::kUniform, attr, relationTag, nTuples, min, max, nUnique, seed, missingOne}, queue);
}

void Dist_Normal(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                 GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                 std::int32_t max, std::int32_t nUnique, std::int32_t seed,
                 DistQueue* queue) {
  CHECK_REQUIRE_TEXT(name != nullptr, "name != NULL");
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(nTuples >= 100, "nTuples >= 100");
  CHECK_REQUIRE_TEXT(min < max, "min < max");
  CHECK_REQUIRE_TEXT(nUnique > 0 && nUnique <= nTuples, "nUnique > 0 && nUnique <= nTuples");
  Report("    %-9s  %-7s  %11ld  %10ld  %10ld\n", name, "Normal", static_cast<long>(min),
         static_cast<long>(max), static_cast<long>(nUnique));
  if (Reuse(attr, relationTag, reuseTag)) return;
  Submit({DistKind::kNormal, attr, relationTag, nTuples, min, max, nUnique, seed, 0}, queue);
}

void Dist_Zipfian(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                  GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                  std::int32_t max, std::int32_t nUnique, std::int32_t seed,
                 DistQueue* queue) {
  CHECK_REQUIRE_TEXT(name != nullptr, "name != NULL");
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(nTuples >= 100, "nTuples >= 100");
  CHECK_REQUIRE_TEXT(min < max, "min < max");
  CHECK_REQUIRE_TEXT(nUnique > 0 && nUnique <= nTuples, "nUnique > 0 && nUnique <= nTuples");
  Report("    %-9s  %-7s  %11ld  %10ld  %10ld\n", name, "Zipfian", static_cast<long>(min),
         static_cast<long>(max), static_cast<long>(nUnique));
  if (Reuse(attr, relationTag, reuseTag)) return;
  Submit({DistKind::kZipfian, attr, relationTag, nTuples, min, max, nUnique, seed, 0}, queue);
}

void Dist_Fill(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
               GenControlBlock* cb, GenAttr* attr, std::int32_t seed) {
  (void)reuseTag;  // the fill column holds no values to reuse
  CHECK_REQUIRE_TEXT(name != nullptr, "name != NULL");
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(seed != 0, "seed != 0");
  attr->ownerTag = relationTag;
  attr->fillSeed = seed;
  const long n = attr->nFill;
  if (n == 0) {
    Report("    no %s\n", name);
  } else {
    Report("    %-9s  %-7s  %11s  %10s  %10s  %ld rnd character%s\n", name, "Fill", "n/a", "n/a",
           "n/a", n, n == 1 ? "" : "s");
  }
}

namespace {

// Shuffles the column and stores it; 0 or the errno of the failed write.
int ShuffleAndStore(GenAttr* attr, std::int32_t relationTag, std::int32_t nTuples,
                    std::int32_t seed) {
  Dist_Shuffle(attr->vector, nTuples, seed);
  if (attr->location == GEN_TEMP) {
    const int error = StoreInTempFile(attr, nTuples);
    if (error != 0) return error;
  }
  attr->ownerTag = relationTag;
  return 0;
}

}  // namespace

void Dist_cleanup(GenAttr* attr, std::int32_t relationTag, std::int32_t nTuples,
                  std::int32_t seed) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  const int error = ShuffleAndStore(attr, relationTag, nTuples, seed);
  if (error != 0) Dist_TempWriteFailed(attr, error);
}

int Dist_RunJob(const DistJob& job) {
  std::int32_t* vector = job.attr->vector;
  switch (job.kind) {
    case DistKind::kUniform:
      Dist_genUniform(vector, job.nTuples, job.min, job.max, job.nUnique, job.missingOne);
      break;
    case DistKind::kNormal:
      Dist_genNormal(vector, job.nTuples, job.min, job.max, job.nUnique);
      break;
    case DistKind::kZipfian:
      Dist_genZipfian(vector, job.nTuples, job.min, job.max, job.nUnique);
      break;
  }
  return ShuffleAndStore(job.attr, job.relationTag, job.nTuples, job.seed);
}

}  // namespace zervgen
