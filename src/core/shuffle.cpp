// core/shuffle.cpp: the column shuffle. A Fisher-Yates from the end driven by
// the column's own stream. Long columns take their swap indices a block at
// a time from a kernel that steps eight lanes of the stream at once in
// vector registers and reduces each state modulo its bound without integer
// division, then do the block's swaps with the entries its indices name
// fetched ahead; columns of few runs are shuffled as one-byte run numbers.
// Every form gives the same permutation.
#include "core/shuffle.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "base/random.h"

// Vectors pass only between inline functions of this file, so GCC's note
// that passing them depends on the instruction set concerns no caller.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace zervgen {
namespace shuffle_detail {
namespace {

// The index kernel's lanes: index t = 8g + k of a run of indices takes its
// state from lane k in step g, so that the eight indices of a step lie side
// by side, and every lane steps by the multiplier's eighth power. The lanes
// are two vectors of four 64-bit slots, wide enough for the products.
constexpr int kLanes = 8;
using U64x4 = std::uint64_t __attribute__((vector_size(32)));
using F64x4 = double __attribute__((vector_size(32)));
using U32x8 = std::uint32_t __attribute__((vector_size(32)));

constexpr std::uint64_t kModulus = static_cast<std::uint64_t>(kRandomModulus);

// kLanePowers[k] = 16807^(k+1) mod 2^31-1: lane k starts k+1 steps on.
constexpr std::array<std::uint64_t, kLanes> MakeLanePowers() {
  std::array<std::uint64_t, kLanes> powers{};
  std::uint64_t power = 1;
  for (int k = 0; k < kLanes; ++k) {
    power = power * static_cast<std::uint64_t>(kRandomMultiplier) % kModulus;
    powers[k] = power;
  }
  return powers;
}
constexpr std::array<std::uint64_t, kLanes> kLanePowers = MakeLanePowers();

// x * a modulo 2^31-1 in each slot, for a proper state x and a below 2^31.
// The mask tells the compiler that both factors fit 32 bits, so one
// 32x32-bit multiply serves. The 62-bit product's high bits are folded
// onto its low ones twice: the first fold leaves at most 2(2^31-1), the
// second brings that below 2^31-1 without a compare, since a proper state
// times a power of the multiplier is never a multiple of the modulus.
// kOneMultiply: the 32x32-bit products are made by one vpmuludq written
// out (only where AVX2 is compiled in), as GCC makes the masked product of
// three multiplies.
template <bool kOneMultiply>
[[gnu::always_inline]] inline U64x4 StepLanes(U64x4 x, std::uint64_t a) {
  constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
  U64x4 product;
  if constexpr (kOneMultiply) {
    const U64x4 factor = U64x4{} + a;
    __asm__("vpmuludq %2, %1, %0" : "=x"(product) : "x"(x), "x"(factor));
  } else {
    product = (x & kLow32) * ((U64x4{} + a) & kLow32);
  }
  const U64x4 once = (product & kModulus) + (product >> 31);
  return (once & kModulus) + (once >> 31);
}

// 2^52 and its bit pattern: an integer n below 2^52 added to it lies in the
// low bits of the sum's pattern, which turns integers to doubles and back
// without conversion instructions the baseline vector set lacks.
constexpr double kTwo52 = 4503599627370496.0;
constexpr std::uint64_t kTwo52Bits = 0x4330000000000000u;

// x mod bound in the low 32 bits of each slot, for x below 2^31 and bounds 2 .. 2^31-1, with
// no integer division. The double quotient x / bound is never rounded up to
// the next integer (its distance from it, at least 1/bound, exceeds half a
// unit of its last place), so rounding it to the nearest integer gives the
// true quotient or one more; x - q * bound is exact, and one more leaves a
// negative remainder, to which the bound is added back.
[[gnu::always_inline]] inline U64x4 ModLanes(U64x4 x, F64x4 bound) {
  const F64x4 v = reinterpret_cast<F64x4>(x | kTwo52Bits) - kTwo52;
  const F64x4 q = (v / bound + kTwo52) - kTwo52;
  F64x4 r = v - q * bound;
  const U64x4 negative = reinterpret_cast<U64x4>(r < 0.0);
  r += reinterpret_cast<F64x4>(reinterpret_cast<U64x4>(bound) & negative);
  return reinterpret_cast<U64x4>(r + kTwo52);  // the remainder in the low 32 bits
}

// Stores the low 32 bits of the eight slots, in order, at out.
[[gnu::always_inline]] inline void StoreLanes(std::int32_t* out, U64x4 low, U64x4 high) {
  constexpr int kLow = std::endian::native == std::endian::little ? 0 : 1;
  const U32x8 words = __builtin_shufflevector(
      reinterpret_cast<U32x8>(low), reinterpret_cast<U32x8>(high), kLow, kLow + 2, kLow + 4,
      kLow + 6, kLow + 8, kLow + 10, kLow + 12, kLow + 14);
  std::memcpy(out, &words, sizeof words);
}

// The kernel's one body, compiled for each instruction set it is offered
// in: whole steps of eight lanes, then the rest of the indices one by one.
template <bool kOneMultiply>
[[gnu::always_inline]] inline std::int32_t Indices(std::int32_t* out, std::int32_t m,
                                                   std::int32_t count, std::int32_t state) {
  const std::int32_t steps = count / kLanes;
  std::int32_t t = 0;
  if (steps > 0) {
    U64x4 low, high;
    for (int k = 0; k < 4; ++k) {
      low[k] = static_cast<std::uint32_t>(Ms_MulMod(state, kLanePowers[k]));
      high[k] = static_cast<std::uint32_t>(Ms_MulMod(state, kLanePowers[k + 4]));
    }
    const double top = m;
    F64x4 lowBound = F64x4{top, top - 1, top - 2, top - 3};
    F64x4 highBound = lowBound - 4.0;
    // Kept opaque: the compiler would turn a multiply by the known constant
    // into a chain of shifts and adds, dearer than one 32x32-bit multiply.
    std::uint64_t stride = kLanePowers[kLanes - 1];
    __asm__("" : "+m"(stride));
    U64x4 last = high;
    for (std::int32_t g = 0; g < steps; ++g, t += kLanes) {
      StoreLanes(out + t, ModLanes(low, lowBound), ModLanes(high, highBound));
      last = high;
      low = StepLanes<kOneMultiply>(low, stride);
      high = StepLanes<kOneMultiply>(high, stride);
      lowBound -= kLanes;
      highBound -= kLanes;
    }
    state = static_cast<std::int32_t>(last[3]);
  }
  for (; t < count; ++t) {
    state = Ms_StepFast(state);
    out[t] = state % (m - t);
  }
  return state;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Four slots per instruction where the plain x86-64 build has two.
[[gnu::target("avx2")]] std::int32_t Avx2Indices(std::int32_t* out, std::int32_t m,
                                                 std::int32_t count, std::int32_t state) {
  return Indices<true>(out, m, count, state);
}
#endif

}  // namespace

std::int32_t PortableIndices(std::int32_t* out, std::int32_t m, std::int32_t count,
                             std::int32_t state) {
  return Indices<false>(out, m, count, state);
}

IndexKernel WideIndices() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const IndexKernel kernel = __builtin_cpu_supports("avx2") ? Avx2Indices : nullptr;
  return kernel;
#else
  return nullptr;
#endif
}

}  // namespace shuffle_detail

namespace {

using shuffle_detail::IndexKernel;

// How far ahead of its swap the shuffle prefetches the entry an index names.
constexpr std::int32_t kPrefetchAhead = 40;

// The plain Fisher-Yates from the end, swaps for m = from .. 2.
inline void ShuffleTail(std::int32_t* vector, std::int32_t from, std::int32_t* s) {
  for (std::int32_t m = from; m >= 2; --m) {
    *s = Ms_Step(*s);
    std::swap(vector[*s % m], vector[m - 1]);
  }
}

// The swaps for a proper seed and more than kPrefetchAhead + 1 entries, a
// block of indices at a time, for m = nTuples down to stop + 1 (stop 1: all
// of them). The indices depend only on the stream, so the next block's are
// computed, right behind this block's, before this block's swaps, and each
// swap fetches the entry named kPrefetchAhead swaps on: the swaps of a
// column larger than the caches wait on memory more than on the arithmetic.
// The next block's indices then move to the front, so that the swaps read
// them in a straight line.
constexpr std::int32_t kBlock = 512;
static_assert(kPrefetchAhead <= kBlock && kBlock % 8 == 0);

template <typename Entry>
void ShuffleBlocks(Entry* vector, std::int32_t nTuples, std::int32_t s, IndexKernel kernel,
                   std::int32_t stop) {
  // This block's indices, then the next's; past them, indices of earlier
  // blocks, which the prefetches of the last block may name (never above
  // nTuples - 1, as the zeros at first).
  std::int32_t indices[2 * kBlock] = {};
  std::int32_t m = nTuples;  // m of the block's first swap
  std::int32_t count = std::min(kBlock, m - stop);
  s = kernel(indices, m, count, s);
  while (count > 0) {
    const std::int32_t nextM = m - count;
    const std::int32_t nextCount = std::min(kBlock, nextM - stop);
    s = kernel(indices + count, nextM, nextCount, s);
    Entry* const top = vector + (m - 1);
#pragma GCC unroll 4
    for (std::int32_t t = 0; t < count; ++t) {
      __builtin_prefetch(vector + indices[t + kPrefetchAhead], 1);
      std::swap(vector[indices[t]], top[-t]);
    }
    std::memmove(indices, indices + count,
                 sizeof(std::int32_t) * static_cast<std::size_t>(nextCount));
    m = nextM;
    count = nextCount;
  }
}

// The last swap a shuffle wanted from row `from` on needs: position m - 1 is
// settled by the swap of m, so the swaps of m <= from only move rows below
// `from`.
std::int32_t StopFor(std::int32_t from) { return from > 1 ? from : 1; }

// The swaps move entries without looking at them, so a column of at most
// 256 runs of equal values can be shuffled as one-byte run numbers: the same
// permutation over a quarter of the memory, which the cache then holds far
// better. The run numbers live in the first bytes of the vector itself.
// Columns shorter than kNarrowMinRows fit the cache as they are.
constexpr std::int32_t kNarrowMinRows = 1 << 16;
constexpr std::int32_t kMaxNarrowRuns = 256;

// Number of runs of equal neighbours in vector[0 .. n-1], counted up to
// kMaxNarrowRuns + 1. The count looks at the limit once per chunk, so that
// the loop over a chunk has no exit and the compiler vectorizes it.
std::int32_t CountRuns(const std::int32_t* vector, std::int32_t nTuples) {
  constexpr std::int32_t kChunk = 1024;
  std::int32_t runs = 1;
  for (std::int32_t from = 1; from < nTuples && runs <= kMaxNarrowRuns; from += kChunk) {
    const std::int32_t to = std::min(nTuples, from + kChunk);
    std::int32_t changes = 0;
    for (std::int32_t i = from; i < to; ++i) changes += vector[i] != vector[i - 1] ? 1 : 0;
    runs += changes;
  }
  return std::min(runs, kMaxNarrowRuns + 1);
}

// Replaces each value by the number of its run, front to back: byte i lies
// in value i/4, which is read first. `values` receives each run's value.
// Runs are long, so a chunk that holds only the current run's value (told
// by a loop without exit, which vectorizes) is filled at once; its bytes
// lie in values of the chunk or before it, all read by then.
void ToRunNumbers(std::int32_t* vector, std::int32_t nTuples, std::int32_t* values) {
  constexpr std::int32_t kChunk = 64;
  auto* narrow = reinterpret_cast<std::uint8_t*>(vector);
  std::int32_t run = 0;
  values[0] = vector[0];
  const auto number = [&](std::int32_t k) {
    const std::int32_t v = vector[k];
    if (v != values[run]) values[++run] = v;
    narrow[k] = static_cast<std::uint8_t>(run);
  };
  std::int32_t i = 0;
  for (; i + kChunk <= nTuples; i += kChunk) {
    std::uint32_t differ = 0;
    for (std::int32_t k = 0; k < kChunk; ++k) {
      differ |= static_cast<std::uint32_t>(vector[i + k] ^ values[run]);
    }
    if (differ == 0) {
      std::memset(narrow + i, run, kChunk);
      continue;
    }
    for (std::int32_t k = i; k < i + kChunk; ++k) number(k);
  }
  for (; i < nTuples; ++i) number(i);
}

// Puts the values of rows `from` .. end-1 back, back to front: value i
// covers bytes 4i .. 4i+3, which hold run numbers of rows i and later, all
// used (or not wanted) before it is written.
template <typename Narrow>
void FromRunNumbersPlain(std::int32_t* vector, std::int32_t from, std::int32_t end,
                         const std::int32_t* values) {
  const auto* narrow = reinterpret_cast<const Narrow*>(vector);
  for (std::int32_t i = end - 1; i >= from; --i) {
    const Narrow run = narrow[i];
    vector[i] = values[run];
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same eight rows at a time: their run numbers widened in one register
// and their values gathered from the table in one instruction. The eight
// values of rows i-8 .. i-1 cover bytes 4(i-8) onwards, past the run
// numbers of every row below i-8; the rows below a last whole eight go one
// by one.
template <typename Narrow>
[[gnu::target("avx2")]] void FromRunNumbersAvx2(std::int32_t* vector, std::int32_t from,
                                                std::int32_t end, const std::int32_t* values) {
  const auto* narrow = reinterpret_cast<const Narrow*>(vector);
  std::int32_t i = end;
  for (; i - 8 >= from; i -= 8) {
    __m256i runs;
    if constexpr (sizeof(Narrow) == 1) {
      runs =
          _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(narrow + i - 8)));
    } else {
      runs =
          _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(narrow + i - 8)));
    }
    const __m256i got = _mm256_i32gather_epi32(values, runs, 4);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(vector + i - 8), got);
  }
  FromRunNumbersPlain<Narrow>(vector, from, i, values);
}
#endif

template <typename Narrow>
void FromRunNumbers(std::int32_t* vector, std::int32_t from, std::int32_t end,
                    const std::int32_t* values) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return FromRunNumbersAvx2<Narrow>(vector, from, end, values);
#endif
  FromRunNumbersPlain<Narrow>(vector, from, end, values);
}

// Shuffles a long column of at most kMaxNarrowRuns runs as run numbers.
// Returns false, having changed nothing, for any other column.
bool ShuffleAsRuns(std::int32_t* vector, std::int32_t nTuples, std::int32_t s, IndexKernel kernel,
                   std::int32_t from) {
  if (nTuples < kNarrowMinRows || CountRuns(vector, nTuples) > kMaxNarrowRuns) return false;
  std::int32_t values[kMaxNarrowRuns];
  ToRunNumbers(vector, nTuples, values);
  ShuffleBlocks(reinterpret_cast<std::uint8_t*>(vector), nTuples, s, kernel, StopFor(from));
  FromRunNumbers<std::uint8_t>(vector, from, nTuples, values);
  return true;
}

// Lays the runs down as run numbers of type Narrow in the first bytes of the
// vector, shuffles them and, unless they are kept, puts the values of the
// rows from `from` up to `end` in their place. Returns the width of the
// numbers kept, or 0.
template <typename Narrow>
int ShuffleRunNumbers(std::int32_t* vector, std::int32_t nTuples, std::int32_t s,
                      IndexKernel kernel, const DistRuns& runs, std::int32_t from, std::int32_t end,
                      bool keep) {
  auto* narrow = reinterpret_cast<Narrow*>(vector);
  std::int32_t at = 0;
  for (std::int32_t k = 0; k < runs.n; ++k) {
    std::fill_n(narrow + at, runs.counts[k], static_cast<Narrow>(k));
    at += runs.counts[k];
  }
  ShuffleBlocks(narrow, nTuples, s, kernel, StopFor(from));
  if (keep) return static_cast<int>(sizeof(Narrow));
  FromRunNumbers<Narrow>(vector, from, end, runs.values);
  return 0;
}

bool ProperSeed(std::int32_t seed) { return seed > 0 && seed < kRandomModulus; }

IndexKernel BestKernel() {
  const IndexKernel wide = shuffle_detail::WideIndices();
  return wide != nullptr ? wide : shuffle_detail::PortableIndices;
}

}  // namespace

void Dist_Shuffle(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed) {
  Dist_ShuffleFrom(vector, nTuples, seed, 0);
}

void Dist_ShuffleFrom(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed,
                      std::int32_t from) {
  std::int32_t s = seed;
  if (!ProperSeed(seed) || nTuples <= kPrefetchAhead + 1) {
    ShuffleTail(vector, nTuples, &s);
    return;
  }
  const IndexKernel kernel = BestKernel();
  if (!ShuffleAsRuns(vector, nTuples, s, kernel, from)) {
    ShuffleBlocks(vector, nTuples, s, kernel, StopFor(from));
  }
}

int Dist_ShuffleRuns(std::int32_t* vector, std::int32_t nTuples, std::int32_t seed,
                     const DistRuns& runs, std::int32_t from, std::int32_t end,
                     bool keepRunNumbers) {
  if (ProperSeed(seed) && nTuples >= kNarrowMinRows) {
    const IndexKernel kernel = BestKernel();
    if (runs.n <= kMaxNarrowRuns) {
      return ShuffleRunNumbers<std::uint8_t>(vector, nTuples, seed, kernel, runs, from, end,
                                             keepRunNumbers);
    }
    if (runs.n <= kDistMaxRuns) {
      return ShuffleRunNumbers<std::uint16_t>(vector, nTuples, seed, kernel, runs, from, end,
                                              keepRunNumbers);
    }
  }
  std::int32_t at = 0;
  for (std::int32_t k = 0; k < runs.n; ++k) {
    std::fill_n(vector + at, runs.counts[k], runs.values[k]);
    at += runs.counts[k];
  }
  Dist_ShuffleFrom(vector, nTuples, seed, from);
  return 0;
}

}  // namespace zervgen
