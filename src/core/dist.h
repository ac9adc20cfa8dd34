// core/dist.h: value distributions. The generators write a column's values in
// ascending order with exact multiplicities (no randomness); the attribute
// distributions document a column in the report, generate it (or reuse the
// values its slot already holds), shuffle it with the column's own seed and
// store it in the slot.
#ifndef ZERVGEN_SRC_CORE_DIST_H_
#define ZERVGEN_SRC_CORE_DIST_H_

#include <cstdint>
#include <vector>

#include "core/columns.h"
#include "core/shuffle.h"

namespace zervgen {

// Ascending generators. Each writes vector[0 .. nTuples-1] and nothing else.
void Dist_genUniform(std::int32_t* vector, std::int32_t nTuples, std::int32_t min, std::int32_t max,
                     std::int32_t nUnique, std::int32_t missingOne);
void Dist_genNormal(std::int32_t* vector, std::int32_t nTuples, std::int32_t min, std::int32_t max,
                    std::int32_t nUnique);
double Dist_inverseNormal(double p);
void Dist_genZipfian(std::int32_t* vector, std::int32_t nTuples, std::int32_t min, std::int32_t max,
                     std::int32_t nUnique);

struct DistJob;
// Where the distributions put their generation jobs: appended to `queue`
// when it is set, so that a caller can run the columns of one relation
// concurrently; run at once when it is null.
using DistQueue = std::vector<DistJob>;

// The attribute distributions. Each reuses the slot's values when its
// ownerTag equals reuseTag, or generates, shuffles and stores them
// (Dist_cleanup), at once or through `queue`. Returns 0, or (run at once)
// the errno of a failed temporary-file write, for the caller to explain.
// The column's report line is the caller's (run/catalog.h).
[[nodiscard]] int Dist_Uniform(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                               GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples,
                               std::int32_t min, std::int32_t max, std::int32_t nUnique,
                               std::int32_t seed, std::int32_t missingOne,
                               DistQueue* queue = nullptr);
[[nodiscard]] int Dist_Normal(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                              GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples,
                              std::int32_t min, std::int32_t max, std::int32_t nUnique,
                              std::int32_t seed, DistQueue* queue = nullptr);
[[nodiscard]] int Dist_Zipfian(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                               GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples,
                               std::int32_t min, std::int32_t max, std::int32_t nUnique,
                               std::int32_t seed, DistQueue* queue = nullptr);
// Keeps the fill column's seed in the slot (fillSeed), where the relation
// writer starts the fill stream.
// REQUIRES: seed != 0
void Dist_Fill(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
               GenControlBlock* cb, GenAttr* attr, std::int32_t seed);
// Shuffles the slot's vector, writes it to the slot's temporary file when it
// has one, and sets ownerTag. Returns 0, or the errno of a failed write.
[[nodiscard]] int Dist_cleanup(GenAttr* attr, std::int32_t relationTag, std::int32_t nTuples,
                               std::int32_t seed);

// A job's end row for all rows from its first on.
inline constexpr std::int32_t kDistAllRows = 0x7FFFFFFF;

// One column generation, as decided by a distribution after its report line.
enum class DistKind { kUniform, kNormal, kZipfian };
struct DistJob {
  DistKind kind;
  GenAttr* attr;
  std::int32_t relationTag;
  std::int32_t nTuples;
  std::int32_t min;
  std::int32_t max;
  std::int32_t nUnique;
  std::int32_t seed;
  std::int32_t missingOne;
  // The rows the relation writes, `from` up to `end` (a part of it): the
  // shuffle may leave the others unsettled. An end beyond the rows is the
  // last row's.
  std::int32_t from = 0;
  std::int32_t end = kDistAllRows;
  // The column may stay as its run numbers (GenAttr::runWidth) when it is
  // a uniform one of few distinct values in memory.
  bool keepRunNumbers = false;
};

// Generates the job's vector, shuffles it and stores it, like Dist_cleanup:
// returns 0, or the errno of a failed temporary-file write. Safe on a
// worker thread (its checks are captured there).
[[nodiscard]] int Dist_RunJob(const DistJob& job);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_CORE_DIST_H_
