// shuffle_test.cpp: the swap-index kernels against the plain loop, and the
// shuffle of every block remainder, of runs and of a part's rows against
// the plain Fisher-Yates.
#include "core/shuffle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "base/random.h"

namespace zervgen {
namespace {

using shuffle_detail::IndexKernel;

// The kernels this machine runs: the portable one always, the wide one
// where the processor has it.
std::vector<std::pair<const char*, IndexKernel>> Kernels() {
  std::vector<std::pair<const char*, IndexKernel>> kernels = {
      {"portable", shuffle_detail::PortableIndices}};
  if (shuffle_detail::WideIndices() != nullptr) {
    kernels.emplace_back("wide", shuffle_detail::WideIndices());
  }
  return kernels;
}

// The indices as the plain loop computes them, and the state of the last.
std::int32_t PlainIndices(std::vector<std::int32_t>* out, std::int32_t m, std::int32_t count,
                          std::int32_t state) {
  out->assign(static_cast<std::size_t>(count), -1);
  for (std::int32_t t = 0; t < count; ++t) {
    Ms_Random(&state, nullptr);
    (*out)[static_cast<std::size_t>(t)] = state % (m - t);
  }
  return state;
}

// Small bounds (down to 2, where only the last index can land), bounds near
// 2^31 (quotients 0 and 1), and counts of every remainder modulo the eight
// lanes, from states at both ends of the proper range.
TEST(ShuffleKernels, SameIndicesAsThePlainLoop) {
  struct Case {
    std::int32_t m;
    std::int32_t count;
  };
  std::vector<Case> cases;
  for (std::int32_t count = 0; count <= 33; ++count) {
    cases.push_back({count + 1, count});   // bounds down to 2
    cases.push_back({count + 40, count});  // small bounds
    cases.push_back({2147483647, count});  // the largest bound
    cases.push_back({2147483600, count});
  }
  cases.push_back({513, 512});
  cases.push_back({2147483647, 519});
  cases.push_back({1 << 20, 517});
  const std::int32_t states[] = {1, 2, 16807, 728952890, 1073741824, 2147483645, 2147483646};
  for (const auto& [name, kernel] : Kernels()) {
    for (const Case& c : cases) {
      for (std::int32_t state : states) {
        std::vector<std::int32_t> expected;
        const std::int32_t last = PlainIndices(&expected, c.m, c.count, state);
        std::vector<std::int32_t> got(static_cast<std::size_t>(c.count) + 1, -7);
        EXPECT_EQ(kernel(got.data(), c.m, c.count, state), last)
            << name << " m " << c.m << " count " << c.count << " state " << state;
        EXPECT_EQ(got.back(), -7) << name << ": wrote past the indices";
        got.pop_back();
        ASSERT_EQ(got, expected) << name << " m " << c.m << " count " << c.count << " state "
                                 << state;
      }
    }
  }
}

// Every remainder of the last block of 512 swaps and of its eight lanes,
// for full columns and for columns of few runs (shuffled as run numbers).
TEST(ShuffleKernels, EveryBlockRemainderGivesThePlainPermutation) {
  std::vector<std::int32_t> sizes;
  for (std::int32_t n = 42; n <= 42 + 520; ++n) sizes.push_back(n);
  for (std::int32_t r = 0; r < 9; ++r) sizes.push_back((1 << 16) + 512 * 3 + r);
  for (std::int32_t n : sizes) {
    for (bool fewRuns : {false, true}) {
      std::vector<std::int32_t> column(static_cast<std::size_t>(n));
      for (std::int32_t i = 0; i < n; ++i) {
        column[static_cast<std::size_t>(i)] = fewRuns ? i / (n / 7 + 1) : i * 3 - 100;
      }
      std::vector<std::int32_t> plain = column;
      std::int32_t s = 2147483646;
      for (std::int32_t m = n; m >= 2; --m) {
        Ms_Random(&s, nullptr);
        std::swap(plain[static_cast<std::size_t>(s % m)], plain[static_cast<std::size_t>(m - 1)]);
      }
      Dist_Shuffle(column.data(), n, 2147483646);
      ASSERT_EQ(column, plain) << "size " << n << (fewRuns ? " few runs" : "");
    }
  }
}

// The plain Fisher-Yates of the column, the reference of the others.
std::vector<std::int32_t> PlainShuffled(std::vector<std::int32_t> column, std::int32_t seed) {
  std::int32_t s = seed;
  for (auto m = static_cast<std::int32_t>(column.size()); m >= 2; --m) {
    Ms_Random(&s, nullptr);
    std::swap(column[static_cast<std::size_t>(s % m)], column[static_cast<std::size_t>(m - 1)]);
  }
  return column;
}

// A shuffle from row `from` on and a shuffle of runs give the rows of the
// plain shuffle from `from` (up to `end`): one- and two-byte run numbers,
// more runs than two bytes hold, columns too short for run numbers,
// improper seeds, and the rows of parts, the last row and no row at all.
// Run numbers kept stand for the same rows, from `from` to the last.
TEST(ShuffleRuns, SameRowsAsThePlainShuffle) {
  struct Case {
    std::int32_t n;
    std::int32_t runs;
  } cases[] = {{100003, 1},     {100003, 100},   {100003, 256},   {100003, 257},
               {250000, 36524}, {140000, 65536}, {140000, 70000}, {5000, 7}};
  const std::int32_t seeds[] = {728952890, 2147483646, 0, -5};
  for (const Case& c : cases) {
    // Runs of ascending values, of unequal lengths, summing to n.
    std::vector<std::int32_t> values(static_cast<std::size_t>(c.runs));
    std::vector<std::int32_t> counts(static_cast<std::size_t>(c.runs));
    std::vector<std::int32_t> column;
    for (std::int32_t k = 0; k < c.runs; ++k) {
      const auto end = static_cast<std::int32_t>(std::int64_t{k + 1} * c.n / c.runs);
      counts[static_cast<std::size_t>(k)] = end - static_cast<std::int32_t>(column.size());
      values[static_cast<std::size_t>(k)] = k * 37 - 1000;
      column.resize(static_cast<std::size_t>(end), values[static_cast<std::size_t>(k)]);
    }
    const DistRuns runs{values.data(), counts.data(), c.runs};
    for (std::int32_t seed : seeds) {
      const std::vector<std::int32_t> plain = PlainShuffled(column, seed);
      const std::pair<std::int32_t, std::int32_t> ranges[] = {
          {0, c.n},       {1, c.n},  {c.n / 4, c.n / 2}, {c.n / 2, c.n / 2 + 1},
          {c.n - 1, c.n}, {c.n, c.n}};
      for (const auto& [from, end] : ranges) {
        std::vector<std::int32_t> fromRuns(column.size(), 99);
        Dist_ShuffleRuns(fromRuns.data(), c.n, seed, runs, from, end);
        std::vector<std::int32_t> fromValues = column;
        Dist_ShuffleFrom(fromValues.data(), c.n, seed, from);
        const auto same = [&](const std::vector<std::int32_t>& got, std::int32_t to) {
          return std::equal(got.begin() + from, got.begin() + to, plain.begin() + from);
        };
        ASSERT_TRUE(same(fromRuns, end) && same(fromValues, c.n))
            << "size " << c.n << " runs " << c.runs << " seed " << seed << " rows " << from
            << " to " << end;
        std::vector<std::int32_t> kept(column.size(), 99);
        const int width = Dist_ShuffleRuns(kept.data(), c.n, seed, runs, from, end, true);
        const bool proper = seed > 0 && c.n >= 65536;
        const int wantWidth = !proper ? 0 : c.runs <= 256 ? 1 : c.runs <= 65536 ? 2 : 0;
        ASSERT_EQ(width, wantWidth) << "size " << c.n << " runs " << c.runs << " seed " << seed;
        if (width == 0) {
          ASSERT_TRUE(same(kept, end)) << "size " << c.n << " runs " << c.runs;
          continue;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(kept.data());
        for (std::int32_t r = from; r < c.n; ++r) {
          const std::size_t at = static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
          std::uint16_t wide = 0;
          std::memcpy(&wide, bytes + at, 2);
          const std::size_t number = width == 1 ? bytes[at] : wide;
          ASSERT_EQ(values[number], plain[static_cast<std::size_t>(r)])
              << "size " << c.n << " runs " << c.runs << " seed " << seed << " row " << r;
        }
      }
    }
  }
}

}  // namespace
}  // namespace zervgen
