// Benchmarks of the field writers: rows shaped like those of the hundred
// relation, formatted into a memory-only sink that is emptied whenever it
// grows large, so only formatting is timed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "base/date.h"
#include "base/random.h"
#include "output/output.h"

namespace zervgen {
namespace {

constexpr int kRows = 1 << 16;  // distinct rows of values, reused in turn

struct Column {
  std::vector<std::int32_t> values;
  int width;
  OutputKind kind;
  OutputWriter writer = Output_WriterOf(kind);
};

// Values in the ranges of the hundred relation, from a fixed stream.
std::vector<std::int32_t> Uniform(std::int32_t* state, std::int64_t min, std::int64_t max) {
  std::vector<std::int32_t> values(kRows);
  const std::int64_t span = max - min + 1;
  for (std::int32_t& v : values) {
    *state = Ms_Step(*state);
    v = static_cast<std::int32_t>(min + *state % span);
  }
  return values;
}

std::vector<Column> HundredColumns(int nFill) {
  std::int32_t s = 728952890;
  std::vector<Column> columns = {
      {Uniform(&s, 1, 100000000), 10, OutputKind::kInteger},
      {Uniform(&s, 1, 1000000000), 10, OutputKind::kInteger},
      {Uniform(&s, 100, 199), 10, OutputKind::kInteger},
      {Uniform(&s, -500000000, 500000000), 10, OutputKind::kFloat},
      {Uniform(&s, -1000000000, 1000000000), 11, OutputKind::kInteger},
      {Uniform(&s, -1000000000, 1000000000), 11, OutputKind::kInteger},
      {Uniform(&s, 0, DATE_MAX_DAY), 10, OutputKind::kDate},
      {Uniform(&s, 1, 1000000001), 10, OutputKind::kFixed10},
      {Uniform(&s, 1, 1000000001), 20, OutputKind::kFixed20},
      {Uniform(&s, 5, 995), 80, OutputKind::kVarChar},
  };
  if (nFill > 0)
    columns.push_back({std::vector<std::int32_t>(kRows, nFill), nFill, OutputKind::kFill});
  return columns;
}

// Runs `rows` rows of `columns` into `sink`, the way the relation writer
// does: one call through the writer's pointer per field. Returns the bytes
// formatted.
std::size_t FormatRows(const std::vector<Column>& columns, OutputFieldState* framing,
                       OutputStream* sink, int rows, int* next) {
  std::size_t bytes = 0;
  const std::size_t lastColumn = columns.size() - 1;
  for (int r = 0; r < rows; ++r) {
    const int row = *next;
    *next = (row + 1) & (kRows - 1);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const Column& col = columns[c];
      col.writer(sink, framing, col.values[static_cast<std::size_t>(row)], col.width,
                 c == lastColumn);
    }
    if (sink->size() > kOutBufferSize / 2) {
      bytes += sink->size();
      sink->Clear();
    }
  }
  return bytes;
}

// The same rows through the row formatter: one call for all of them.
// REQUIRES: rows divides kRows
std::size_t FormatWholeRows(const std::vector<Column>& columns, OutputFieldState* framing,
                            OutputStream* sink, int rows, int* next) {
  std::vector<OutputRowField> fields;
  for (const Column& col : columns) {
    fields.push_back({col.values.data() + *next, 1, col.kind, col.width});
  }
  *next = (*next + rows) & (kRows - 1);
  static OutputFieldCaches caches;  // kept from call to call, as a chunk keeps them
  Output_Rows(sink, framing->format, fields.data(), static_cast<int>(fields.size()), rows,
              &framing->fillState, &caches);
  const std::size_t bytes = sink->size();
  sink->Clear();
  return bytes;
}

// Times rows of `columns` in the format the benchmark's first argument picks
// (1: fixed, 0: delimited with '|'), a field at a time or, when `whole`, a
// row at a time; reports bytes and rows per second.
// The framing the benchmark's first argument picks, with the fill stream
// started.
OutputFieldState UseFormat(benchmark::State& state) {
  const bool fixed = state.range(0) != 0;
  return OutputFieldState{Output_MakeFormat(fixed ? 0 : '|', fixed ? 1 : 0), 7830309};
}

void RunRows(benchmark::State& state, const std::vector<Column>& columns, bool whole) {
  OutputFieldState framing = UseFormat(state);
  OutputStream sink(-1);
  constexpr int kRowsPerIteration = 1024;
  std::size_t bytes = 0;
  int next = 0;
  for (auto _ : state) {
    bytes += whole ? FormatWholeRows(columns, &framing, &sink, kRowsPerIteration, &next)
                   : FormatRows(columns, &framing, &sink, kRowsPerIteration, &next);
  }
  bytes += sink.size();
  const double rows = static_cast<double>(state.iterations()) * kRowsPerIteration;
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["rows"] = benchmark::Counter(rows, benchmark::Counter::kIsRate);
}

void BM_HundredRows(benchmark::State& state) {
  RunRows(state, HundredColumns(static_cast<int>(state.range(1))), state.range(2) != 0);
}
BENCHMARK(BM_HundredRows)
    ->ArgNames({"fixed", "fill", "whole"})
    ->ArgsProduct({{1, 0}, {0, 100}, {0, 1}});

// One column of the row alone, to see where the time goes.
void BM_Column(benchmark::State& state) {
  const std::vector<Column> columns = HundredColumns(100);
  RunRows(state, {columns[static_cast<std::size_t>(state.range(1))]}, state.range(2) != 0);
}
BENCHMARK(BM_Column)
    ->ArgNames({"fixed", "column", "whole"})
    ->ArgsProduct({{1, 0}, {0, 3, 6, 7, 8, 9, 10}, {1}});

}  // namespace
}  // namespace zervgen
