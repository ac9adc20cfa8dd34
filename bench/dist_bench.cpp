// dist_bench.cpp: the value generators and the shuffle, per value, at the
// largest row count and at a cache-sized one; the shuffle also at 10^7 rows,
// the size of the whole-program benchmark's columns.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "core/dist.h"

namespace zervgen {
namespace {

constexpr std::int64_t kLargest = 100000000;
constexpr std::int64_t kMiddle = 10000000;
constexpr std::int64_t kSmall = 100000;

// One vector per size, allocated before the timed loop and kept for the
// whole run so that its pages are touched only once.
std::int32_t* VectorFor(std::int64_t n) {
  static std::unique_ptr<std::int32_t[]> large;
  static std::unique_ptr<std::int32_t[]> small;
  static std::unique_ptr<std::int32_t[]> middle;
  std::unique_ptr<std::int32_t[]>& v = n > kMiddle ? large : (n > kSmall ? middle : small);
  if (!v) {
    v = std::make_unique<std::int32_t[]>(static_cast<std::size_t>(n));
  }
  return v.get();
}

// Values per second, and its inverse: the time per value.
void Finish(benchmark::State& state, std::int64_t n) {
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["per_value"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

// Every value distinct, as the key and int columns.
void BM_GenUniformDistinct(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  std::int32_t* v = VectorFor(n);
  for (auto _ : state) {
    Dist_genUniform(v, n, 1, 1000000000, n, 1);
    benchmark::DoNotOptimize(v);
    benchmark::ClobberMemory();
  }
  Finish(state, n);
}

// One value in ten distinct, as the float column of tenpcnt.
void BM_GenUniformRepeated(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  std::int32_t* v = VectorFor(n);
  for (auto _ : state) {
    Dist_genUniform(v, n, -500000000, 500000000, n / 10, 0);
    benchmark::DoNotOptimize(v);
    benchmark::ClobberMemory();
  }
  Finish(state, n);
}

void BM_GenNormal(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  std::int32_t* v = VectorFor(n);
  for (auto _ : state) {
    Dist_genNormal(v, n, -1000000000, 1000000000, n);
    benchmark::DoNotOptimize(v);
    benchmark::ClobberMemory();
  }
  Finish(state, n);
}

void BM_GenZipfian(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  std::int32_t* v = VectorFor(n);
  for (auto _ : state) {
    Dist_genZipfian(v, n, -500000000, 500000000, 10);
    benchmark::DoNotOptimize(v);
    benchmark::ClobberMemory();
  }
  Finish(state, n);
}

// The second argument is the number of distinct values: all distinct (0),
// or few, as most columns have, which the shuffle moves as narrow run
// numbers.
void BM_Shuffle(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const auto nUnique = state.range(1) == 0 ? n : static_cast<std::int32_t>(state.range(1));
  std::int32_t* v = VectorFor(n);
  for (auto _ : state) {
    state.PauseTiming();
    Dist_genUniform(v, n, 1, 1000000000, nUnique, 0);
    state.ResumeTiming();
    Dist_Shuffle(v, n, 728952890);
    benchmark::DoNotOptimize(v);
    benchmark::ClobberMemory();
  }
  Finish(state, n);
}
BENCHMARK(BM_Shuffle)
    ->ArgNames({"rows", "unique"})
    ->ArgsProduct({{kSmall, kMiddle, kLargest}, {0, 100, 36524}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#define ZERVGEN_DIST_BENCH(fn) \
  BENCHMARK(fn)->Arg(kSmall)->Arg(kLargest)->Unit(benchmark::kMillisecond)->UseRealTime()

ZERVGEN_DIST_BENCH(BM_GenUniformDistinct);
ZERVGEN_DIST_BENCH(BM_GenUniformRepeated);
ZERVGEN_DIST_BENCH(BM_GenNormal);
ZERVGEN_DIST_BENCH(BM_GenZipfian);

}  // namespace
}  // namespace zervgen
