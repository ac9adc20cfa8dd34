// core/dist.cpp: the ascending value generators and the attribute distributions
// that document, generate and store one column (the shuffle is in
// shuffle.cpp).
#include "core/dist.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "base/date.h"
#include "base/except.h"
#include "base/random.h"
#include "base/util.h"

// Vectors pass only between inline functions of this file, so GCC's note
// that passing them depends on the instruction set concerns no caller.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace zervgen {
namespace {

// Room for a "%ld" number or a "%hu/%hu/%hu" date.

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

// Four points at once: the same operations as SpreadValue, RoundHalfAway
// and DropOne, each rounded alike, in the lanes of vector registers.
using F64x4 = double __attribute__((vector_size(32)));
using I32x4 = std::int32_t __attribute__((vector_size(16)));

template <bool kMissingOne>
[[gnu::always_inline]] inline I32x4 SpreadValues(F64x4 j, double d, double width, double min) {
  F64x4 x = j / d;
  x = x * width;
  x = x + min;
  const F64x4 y = x >= 0.0 ? x + 0.5 : x - 0.5;
  const I32x4 v = __builtin_convertvector(y, I32x4);  // truncates, as the single cast does
  if constexpr (kMissingOne) return v == 1 ? I32x4{} : v;
  return v;
}

// Every row its own point: vector[i] is point i of n. The points go four at
// a time (the divisions are what costs), the last few one by one.
template <bool kMissingOne>
[[gnu::always_inline]] inline void UniformDistinctBody(std::int32_t* vector, std::int32_t nTuples,
                                                       double width, double min) {
  const double d = static_cast<double>(nTuples - 1);
  std::int32_t i = 0;
  F64x4 j = {0.0, 1.0, 2.0, 3.0};
  for (; i + 4 <= nTuples; i += 4, j += 4.0) {
    const I32x4 v = SpreadValues<kMissingOne>(j, d, width, min);
    std::memcpy(vector + i, &v, sizeof v);
  }
  for (; i < nTuples; ++i) vector[i] = DropOne<kMissingOne>(SpreadValue(i, d, width, min));
}

template <bool kMissingOne>
void UniformDistinctPortable(std::int32_t* vector, std::int32_t nTuples, double width, double min) {
  UniformDistinctBody<kMissingOne>(vector, nTuples, width, min);
}

#if defined(__x86_64__) && defined(__GNUC__)
// Four lanes to a register where the plain x86-64 build has two.
template <bool kMissingOne>
[[gnu::target("avx2")]] void UniformDistinctAvx2(std::int32_t* vector, std::int32_t nTuples,
                                                 double width, double min) {
  UniformDistinctBody<kMissingOne>(vector, nTuples, width, min);
}
#endif

template <bool kMissingOne>
void UniformDistinct(std::int32_t* vector, std::int32_t nTuples, double width, double min) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return UniformDistinctAvx2<kMissingOne>(vector, nTuples, width, min);
#endif
  UniformDistinctPortable<kMissingOne>(vector, nTuples, width, min);
}

// nUnique points, q or q + 1 copies each, handed to put(value, copies) in
// ascending order. The accumulator gains r/nUnique per point and hands out an
// extra copy each time it passes 1.0; it starts at 1e-05 so that it still
// reaches 1.0 on the last extra copy although the step itself is rounded.
// Stops at a point that would overrun nTuples and returns the copies counted
// with it; else the copies of all points.
template <bool kMissingOne, typename Put>
std::int32_t UniformRuns(std::int32_t nTuples, double width, double min, std::int32_t nUnique,
                         const Put& put) {
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
    put(v, k);
    count += k;
  }
  return count;
}

template <bool kMissingOne>
std::int32_t UniformRepeated(std::int32_t* vector, std::int32_t nTuples, double width, double min,
                             std::int32_t nUnique) {
  std::int32_t at = 0;
  return UniformRuns<kMissingOne>(nTuples, width, min, nUnique,
                                  [&](std::int32_t v, std::int32_t k) {
                                    std::fill_n(vector + at, k, v);
                                    at += k;
                                  });
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

// A slot that already holds the asked-for values only changes hands.
bool Reuse(GenAttr* attr, std::int32_t relationTag, std::int32_t reuseTag) {
  if (attr->ownerTag != reuseTag) return false;
  attr->ownerTag = relationTag;
  return true;
}

int Submit(const DistJob& job, DistQueue* queue) {
  if (queue == nullptr) return Dist_RunJob(job);
  queue->push_back(job);
  return 0;
}

// Writes the whole column over the temporary file from offset 0. Returns 0,
// or the errno of the failed seek or write.
int StoreInTempFile(const GenAttr* attr, std::int32_t nTuples) {
  if (::lseek(attr->fd, 0, SEEK_SET) < 0) return errno;
  std::size_t bytes = static_cast<std::size_t>(nTuples) * sizeof(std::int32_t);
  return Util_WriteAll(attr->fd, attr->vector, bytes);
}

}  // namespace

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

int Dist_Uniform(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                 GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                 std::int32_t max, std::int32_t nUnique, std::int32_t seed, std::int32_t missingOne,
                 DistQueue* queue) {
  CHECK_REQUIRE_TEXT(name != nullptr, "name != NULL");
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(nTuples == 1L || nTuples >= 100L, "nTuples == 1L || nTuples >= 100L");
  CHECK_REQUIRE_TEXT(min <= max, "min <= max");
  CHECK_REQUIRE_TEXT(nUnique > 0 && nUnique <= nTuples, "nUnique > 0 && nUnique <= nTuples");
  if (Reuse(attr, relationTag, reuseTag)) return 0;
  return Submit(
      {DistKind::kUniform, attr, relationTag, nTuples, min, max, nUnique, seed, missingOne}, queue);
}

int Dist_Normal(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                std::int32_t max, std::int32_t nUnique, std::int32_t seed, DistQueue* queue) {
  CHECK_REQUIRE_TEXT(name != nullptr, "name != NULL");
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(nTuples >= 100, "nTuples >= 100");
  CHECK_REQUIRE_TEXT(min < max, "min < max");
  CHECK_REQUIRE_TEXT(nUnique > 0 && nUnique <= nTuples, "nUnique > 0 && nUnique <= nTuples");
  if (Reuse(attr, relationTag, reuseTag)) return 0;
  return Submit({DistKind::kNormal, attr, relationTag, nTuples, min, max, nUnique, seed, 0}, queue);
}

int Dist_Zipfian(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                 GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                 std::int32_t max, std::int32_t nUnique, std::int32_t seed, DistQueue* queue) {
  CHECK_REQUIRE_TEXT(name != nullptr, "name != NULL");
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(nTuples >= 100, "nTuples >= 100");
  CHECK_REQUIRE_TEXT(min < max, "min < max");
  CHECK_REQUIRE_TEXT(nUnique > 0 && nUnique <= nTuples, "nUnique > 0 && nUnique <= nTuples");
  if (Reuse(attr, relationTag, reuseTag)) return 0;
  return Submit({DistKind::kZipfian, attr, relationTag, nTuples, min, max, nUnique, seed, 0},
                queue);
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
}

namespace {

// Stores the shuffled column and hands the slot to the relation; 0 or the
// errno of the failed write. The shuffle settled rows `from` up to `end`.
int Store(GenAttr* attr, std::int32_t relationTag, std::int32_t nTuples, std::int32_t from,
          std::int32_t end) {
  if (attr->location == GEN_TEMP) {
    const int error = StoreInTempFile(attr, nTuples);
    if (error != 0) return error;
  }
  attr->ownerTag = relationTag;
  attr->settledFrom = from;
  attr->settledEnd = end;
  return 0;
}

// Shuffles the column and stores it; 0 or the errno of the failed write.
int ShuffleAndStore(GenAttr* attr, std::int32_t relationTag, std::int32_t nTuples,
                    std::int32_t seed, std::int32_t from) {
  Dist_ShuffleFrom(attr->vector, nTuples, seed, from);
  return Store(attr, relationTag, nTuples, from, nTuples);
}

// The job's end row, at most its row count.
std::int32_t EndOf(const DistJob& job) { return std::min(job.end, job.nTuples); }

// A uniform column of repeated points made as its runs and shuffled from
// them, without writing the ascending values first. False, having done
// nothing, for a column of one point or of distinct ones, of more runs than
// a shuffle keeps as run numbers, or whose run list cannot be had; and for
// one whose copies do not add up, which the plain path then refuses.
bool UniformAsRuns(const DistJob& job) {
  const std::int32_t n = job.nTuples;
  const std::int32_t nUnique = job.nUnique;
  if (n == 1 || nUnique == 1 || nUnique == n || nUnique > kDistMaxRuns) return false;
  std::unique_ptr<std::int32_t[]> list(new (std::nothrow) std::int32_t[2 * nUnique]);
  if (list == nullptr) return false;
  std::int32_t* values = list.get();
  std::int32_t* counts = values + nUnique;
  std::int32_t runs = 0;
  const auto put = [&](std::int32_t v, std::int32_t k) {
    values[runs] = v;
    counts[runs] = k;
    ++runs;
  };
  const std::int32_t widthInt = job.max - job.min;
  const double width = static_cast<double>(widthInt);
  const std::int32_t count = job.missingOne ? UniformRuns<true>(n, width, job.min, nUnique, put)
                                            : UniformRuns<false>(n, width, job.min, nUnique, put);
  if (count != n) return false;
  // Run numbers stand for values only when no two runs share a value.
  bool keep = job.keepRunNumbers && job.attr->location == GEN_MEMORY;
  for (std::int32_t k = 1; keep && k < runs; ++k) keep = values[k - 1] < values[k];
  GenAttr* attr = job.attr;
  attr->runWidth = Dist_ShuffleRuns(attr->vector, n, job.seed, DistRuns{values, counts, runs},
                                    job.from, EndOf(job), keep);
  if (attr->runWidth != 0) {
    attr->runValues = list.release();
    attr->runCount = runs;
  }
  return true;
}

}  // namespace

int Dist_cleanup(GenAttr* attr, std::int32_t relationTag, std::int32_t nTuples, std::int32_t seed) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  Gen_DropRunNumbers(attr);
  return ShuffleAndStore(attr, relationTag, nTuples, seed, 0);
}

int Dist_RunJob(const DistJob& job) {
  Gen_DropRunNumbers(job.attr);
  if (job.kind == DistKind::kUniform && UniformAsRuns(job)) {
    return Store(job.attr, job.relationTag, job.nTuples, job.from, EndOf(job));
  }
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
  return ShuffleAndStore(job.attr, job.relationTag, job.nTuples, job.seed, job.from);
}

}  // namespace zervgen
