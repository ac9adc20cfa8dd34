// dist.h: value distributions. The generators write a column's values in
// ascending order with exact multiplicities (no randomness); the attribute
// distributions document a column in the report, generate it (or reuse the
// values its slot already holds), shuffle it with the column's own seed and
// store it in the slot.
#ifndef ZERVGEN_SRC_DIST_H_
#define ZERVGEN_SRC_DIST_H_

#include <cstdint>
#include <vector>

#include "gen.h"

namespace zervgen {

// Ascending generators. Each writes vector[0 .. nTuples-1] and nothing else.
void Dist_genUniform(std::int32_t* vector, std::int32_t nTuples, std::int32_t min,
                     std::int32_t max, std::int32_t nUnique, std::int32_t missingOne);
void Dist_genNormal(std::int32_t* vector, std::int32_t nTuples, std::int32_t min, std::int32_t max,
                    std::int32_t nUnique);
double Dist_inverseNormal(double p);
void Dist_genZipfian(std::int32_t* vector, std::int32_t nTuples, std::int32_t min,
                     std::int32_t max, std::int32_t nUnique);

// Fisher-Yates shuffle from the end, driven by the stream started at `seed`:
// for m = n .. 2, step, j = state mod m, swap entries j and m-1.
void Dist_Shuffle(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed);

// The attribute distributions. Each writes the column's report line, then
// reuses the slot's values when its ownerTag equals reuseTag, or generates,
// shuffles and stores them (Dist_cleanup).
void Dist_Uniform(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                  GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                  std::int32_t max, std::int32_t nUnique, std::int32_t seed,
                  std::int32_t missingOne);
void Dist_Normal(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                 GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                 std::int32_t max, std::int32_t nUnique, std::int32_t seed);
void Dist_Zipfian(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
                  GenControlBlock* cb, GenAttr* attr, std::int32_t nTuples, std::int32_t min,
                  std::int32_t max, std::int32_t nUnique, std::int32_t seed);
void Dist_Fill(const char* name, std::int32_t relationTag, std::int32_t reuseTag,
               GenControlBlock* cb, GenAttr* attr, std::int32_t seed);
// Shuffles the slot's vector, writes it to the slot's temporary file when it
// has one, and sets ownerTag. A failed write is explained and raises
// XEPT_GEN_FAILED.
void Dist_cleanup(GenAttr* attr, std::int32_t relationTag, std::int32_t nTuples,
                  std::int32_t seed);

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
};

// Generates the job's vector and hands it to Dist_cleanup.
void Dist_RunJob(const DistJob& job);

// While a queue is set, the distributions append their generation jobs to it
// instead of running them, so that a caller can run the columns of one
// relation concurrently. Null (the default) runs each job at once.
void Dist_SetDeferral(std::vector<DistJob>* queue);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_DIST_H_
