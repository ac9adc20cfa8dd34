// run/schemas.cpp: the five relations. Each is a table of column
// distributions (in report order) and a table of fields (in row order).
// The columns of one relation are generated concurrently: memory columns in
// parallel, temporary-file columns one after the other, since they share
// one scratch vector.
#include "run/schemas.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/except.h"
#include "base/perf.h"
#include "base/pool.h"
#include "base/progress.h"
#include "base/report.h"
#include "core/dist.h"
#include "run/format.h"

namespace zervgen {
namespace {

// A number of the schema: a constant, or a function of the row count n.
enum class NumKind { kConst, kN, kNDiv10, kNMinus1, kNDiv10Minus1, kDays };
struct Num {
  NumKind kind;
  std::int32_t value;
};
constexpr Num C(std::int32_t v) { return {NumKind::kConst, v}; }
constexpr Num kN{NumKind::kN, 0};
constexpr Num kN10{NumKind::kNDiv10, 0};
constexpr Num kNm1{NumKind::kNMinus1, 0};
constexpr Num kN10m1{NumKind::kNDiv10Minus1, 0};
constexpr Num kDays{NumKind::kDays, 0};

std::int32_t Eval(Num num, std::int32_t n) {
  switch (num.kind) {
    case NumKind::kConst:
      return num.value;
    case NumKind::kN:
      return n;
    case NumKind::kNDiv10:
      return n / 10;
    case NumKind::kNMinus1:
      return n - 1;
    case NumKind::kNDiv10Minus1:
      return n / 10 - 1;
    case NumKind::kDays:
      return std::min<std::int32_t>(n, 36524);
  }
  return 0;
}

enum class ColKind { kUniform, kNormal, kZipfian, kLineOnly, kFill };
using Slot = GenAttr GenControlBlock::*;

struct ColumnDist {
  const char* name;
  ColKind kind;
  Slot slot;
  Num min;
  Num max;
  Num nUnique;
  std::int32_t seed;
  std::int32_t missingOne;
  std::int32_t reuseTag;
  const char* comment = nullptr;  // report-line-only columns
};

// The width of the fill field: the run's fill width.
constexpr int kFillWidth = -1;

// One field of a row: the slot its values come from, its width (or
// kFillWidth), how it is written, whether the slot's read position moves
// on after it (0: the next field shows the same value), and its name and
// type in typed formats.
struct Field {
  Slot slot;
  int width;
  OutputKind kind;
  int advance;
  const char* name;
  GenValueType type;
};

}  // namespace

struct GenSchema {
  std::vector<ColumnDist> columns;
  std::vector<Field> fields;
};

namespace {

using Schema = GenSchema;

using CB = GenControlBlock;
constexpr std::int32_t kBillion = 1000000000;
constexpr std::int32_t kHalfBillion = 500000000;
constexpr std::int32_t kCodeMax = 1000000001;

std::vector<Field> TenColumnFields(Slot key, Slot integer, Slot decim, int doubleAdvance) {
  using K = OutputKind;
  using T = GenValueType;
  return {{.slot = key,
           .width = 10,
           .kind = K::kInteger,
           .advance = key == integer ? 0 : 1,
           .name = "key",
           .type = T::kInt32},
          {.slot = integer,
           .width = 10,
           .kind = K::kInteger,
           .advance = 1,
           .name = "int",
           .type = T::kInt32},
          {.slot = &CB::signedAttr,
           .width = 10,
           .kind = K::kInteger,
           .advance = 1,
           .name = "signed",
           .type = T::kInt32},
          {.slot = &CB::floatAttr,
           .width = 10,
           .kind = K::kFloat,
           .advance = 1,
           .name = "float",
           .type = T::kDecimal},
          {.slot = &CB::doubleAttr,
           .width = 11,
           .kind = K::kInteger,
           .advance = doubleAdvance,
           .name = "double",
           .type = T::kDouble},
          {.slot = decim,
           .width = 11,
           .kind = K::kInteger,
           .advance = 1,
           .name = "decim",
           .type = T::kDecimal},
          {.slot = &CB::dateAttr,
           .width = 10,
           .kind = K::kDate,
           .advance = 1,
           .name = "date",
           .type = T::kDate},
          {.slot = &CB::codeAttr,
           .width = 10,
           .kind = K::kFixed10,
           .advance = 1,
           .name = "code",
           .type = T::kText},
          {.slot = &CB::nameAttr,
           .width = 20,
           .kind = K::kFixed20,
           .advance = 1,
           .name = "name",
           .type = T::kText},
          {.slot = &CB::addressAttr,
           .width = 80,
           .kind = K::kVarChar,
           .advance = 1,
           .name = "address",
           .type = T::kText},
          {.slot = &CB::fillAttr,
           .width = kFillWidth,
           .kind = K::kFill,
           .advance = 1,
           .name = "fill",
           .type = T::kText}};
}

const Schema& HundredSchema() {
  static const Schema s{
      .columns = {{.name = "key",
                   .kind = ColKind::kUniform,
                   .slot = &CB::keyAttr,
                   .min = C(1),
                   .max = kN,
                   .nUnique = kN,
                   .seed = 728952890,
                   .missingOne = 1,
                   .reuseTag = 5},
                  {.name = "int",
                   .kind = ColKind::kUniform,
                   .slot = &CB::integerAttr,
                   .min = C(1),
                   .max = C(kBillion),
                   .nUnique = kN,
                   .seed = 14618637,
                   .missingOne = 1,
                   .reuseTag = 4},
                  {.name = "signed",
                   .kind = ColKind::kUniform,
                   .slot = &CB::signedAttr,
                   .min = C(100),
                   .max = C(199),
                   .nUnique = C(100),
                   .seed = 77673249,
                   .missingOne = 0,
                   .reuseTag = 1},
                  {.name = "float",
                   .kind = ColKind::kUniform,
                   .slot = &CB::floatAttr,
                   .min = C(-kHalfBillion),
                   .max = C(kHalfBillion),
                   .nUnique = C(100),
                   .seed = 1892379368,
                   .missingOne = 0,
                   .reuseTag = 1},
                  {.name = "double",
                   .kind = ColKind::kUniform,
                   .slot = &CB::doubleAttr,
                   .min = C(-kBillion),
                   .max = C(kBillion),
                   .nUnique = C(100),
                   .seed = 947883060,
                   .missingOne = 0,
                   .reuseTag = 1},
                  {.name = "decim",
                   .kind = ColKind::kLineOnly,
                   .slot = nullptr,
                   .min = C(-kBillion),
                   .max = C(kBillion),
                   .nUnique = C(100),
                   .seed = 0,
                   .missingOne = 0,
                   .reuseTag = 0,
                   .comment = "same as \"double\""},
                  {.name = "date",
                   .kind = ColKind::kUniform,
                   .slot = &CB::dateAttr,
                   .min = C(0),
                   .max = C(36523),
                   .nUnique = kDays,
                   .seed = 1376793920,
                   .missingOne = 0,
                   .reuseTag = 5},
                  {.name = "code",
                   .kind = ColKind::kUniform,
                   .slot = &CB::codeAttr,
                   .min = C(1),
                   .max = C(kCodeMax),
                   .nUnique = kN,
                   .seed = 599774169,
                   .missingOne = 0,
                   .reuseTag = 5},
                  {.name = "name",
                   .kind = ColKind::kUniform,
                   .slot = &CB::nameAttr,
                   .min = C(1),
                   .max = C(kCodeMax),
                   .nUnique = C(100),
                   .seed = 997553128,
                   .missingOne = 0,
                   .reuseTag = 1},
                  {.name = "address",
                   .kind = ColKind::kUniform,
                   .slot = &CB::addressAttr,
                   .min = C(5),
                   .max = C(995),
                   .nUnique = C(100),
                   .seed = 431247321,
                   .missingOne = 0,
                   .reuseTag = 1},
                  {.name = "fill",
                   .kind = ColKind::kFill,
                   .slot = &CB::fillAttr,
                   .min = C(0),
                   .max = C(0),
                   .nUnique = C(0),
                   .seed = 7830309,
                   .missingOne = 0,
                   .reuseTag = 0}},
      .fields = TenColumnFields(&CB::keyAttr, &CB::integerAttr, &CB::doubleAttr, 0)};
  return s;
}

const Schema& TenPcntSchema() {
  static const Schema s{
      .columns = {{.name = "key",
                   .kind = ColKind::kUniform,
                   .slot = &CB::integerAttr,
                   .min = C(1),
                   .max = C(kBillion),
                   .nUnique = kN,
                   .seed = 14618637,
                   .missingOne = 1,
                   .reuseTag = 1},
                  {.name = "int",
                   .kind = ColKind::kLineOnly,
                   .slot = nullptr,
                   .min = C(0),
                   .max = C(kBillion),
                   .nUnique = kN,
                   .seed = 0,
                   .missingOne = 0,
                   .reuseTag = 0,
                   .comment = "same as \"key\""},
                  {.name = "signed",
                   .kind = ColKind::kUniform,
                   .slot = &CB::signedAttr,
                   .min = C(-kHalfBillion),
                   .max = C(kHalfBillion),
                   .nUnique = kN,
                   .seed = 177072576,
                   .missingOne = 0,
                   .reuseTag = 2},
                  {.name = "float",
                   .kind = ColKind::kUniform,
                   .slot = &CB::floatAttr,
                   .min = C(-kHalfBillion),
                   .max = C(kHalfBillion),
                   .nUnique = kN10,
                   .seed = 1754590891,
                   .missingOne = 0,
                   .reuseTag = 2},
                  {.name = "double",
                   .kind = ColKind::kUniform,
                   .slot = &CB::doubleAttr,
                   .min = C(-kBillion),
                   .max = C(kBillion),
                   .nUnique = kN10,
                   .seed = 124321587,
                   .missingOne = 0,
                   .reuseTag = 2},
                  {.name = "decim",
                   .kind = ColKind::kLineOnly,
                   .slot = nullptr,
                   .min = C(-kBillion),
                   .max = C(kBillion),
                   .nUnique = kN10,
                   .seed = 0,
                   .missingOne = 0,
                   .reuseTag = 0,
                   .comment = "same as \"double\""},
                  {.name = "date",
                   .kind = ColKind::kUniform,
                   .slot = &CB::dateAttr,
                   .min = C(0),
                   .max = C(36523),
                   .nUnique = kDays,
                   .seed = 1376793920,
                   .missingOne = 0,
                   .reuseTag = 1},
                  {.name = "code",
                   .kind = ColKind::kUniform,
                   .slot = &CB::codeAttr,
                   .min = C(1),
                   .max = C(kCodeMax),
                   .nUnique = kN,
                   .seed = 599774169,
                   .missingOne = 0,
                   .reuseTag = 1},
                  {.name = "name",
                   .kind = ColKind::kUniform,
                   .slot = &CB::nameAttr,
                   .min = C(0),
                   .max = C(9),
                   .nUnique = C(10),
                   .seed = 2079464979,
                   .missingOne = 0,
                   .reuseTag = 2},
                  {.name = "address",
                   .kind = ColKind::kUniform,
                   .slot = &CB::addressAttr,
                   .min = C(0),
                   .max = kN10m1,
                   .nUnique = kN10,
                   .seed = 1379687929,
                   .missingOne = 0,
                   .reuseTag = 2},
                  {.name = "fill",
                   .kind = ColKind::kFill,
                   .slot = &CB::fillAttr,
                   .min = C(0),
                   .max = C(0),
                   .nUnique = C(0),
                   .seed = 816473355,
                   .missingOne = 0,
                   .reuseTag = 0}},
      .fields = TenColumnFields(&CB::integerAttr, &CB::integerAttr, &CB::doubleAttr, 0)};
  return s;
}

// uniques and updates share all columns but the key, the int line and the
// fill seed.
std::vector<ColumnDist> UniquesLikeColumns(ColumnDist key, ColumnDist intLine,
                                           std::int32_t fillSeed) {
  return {key,
          intLine,
          {.name = "signed",
           .kind = ColKind::kUniform,
           .slot = &CB::signedAttr,
           .min = C(-kHalfBillion),
           .max = C(kHalfBillion),
           .nUnique = kN,
           .seed = 842953455,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "float",
           .kind = ColKind::kZipfian,
           .slot = &CB::floatAttr,
           .min = C(-kHalfBillion),
           .max = C(kHalfBillion),
           .nUnique = C(10),
           .seed = 529756080,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "double",
           .kind = ColKind::kNormal,
           .slot = &CB::doubleAttr,
           .min = C(-kBillion),
           .max = C(kBillion),
           .nUnique = kN,
           .seed = 103893252,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "decim",
           .kind = ColKind::kUniform,
           .slot = &CB::decimalAttr,
           .min = C(-kBillion),
           .max = C(kBillion),
           .nUnique = kN,
           .seed = 190338507,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "date",
           .kind = ColKind::kUniform,
           .slot = &CB::dateAttr,
           .min = C(0),
           .max = C(36523),
           .nUnique = kDays,
           .seed = 1376793920,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "code",
           .kind = ColKind::kUniform,
           .slot = &CB::codeAttr,
           .min = C(1),
           .max = C(kCodeMax),
           .nUnique = kN,
           .seed = 599774169,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "name",
           .kind = ColKind::kUniform,
           .slot = &CB::nameAttr,
           .min = C(1),
           .max = C(kCodeMax),
           .nUnique = kN,
           .seed = 76876519,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "address",
           .kind = ColKind::kUniform,
           .slot = &CB::addressAttr,
           .min = C(0),
           .max = kNm1,
           .nUnique = kN,
           .seed = 1386640140,
           .missingOne = 0,
           .reuseTag = 4},
          {.name = "fill",
           .kind = ColKind::kFill,
           .slot = &CB::fillAttr,
           .min = C(0),
           .max = C(0),
           .nUnique = C(0),
           .seed = fillSeed,
           .missingOne = 0,
           .reuseTag = 0}};
}

const Schema& UniquesSchema() {
  static const Schema s{
      .columns = UniquesLikeColumns({.name = "key",
                                     .kind = ColKind::kUniform,
                                     .slot = &CB::integerAttr,
                                     .min = C(1),
                                     .max = C(kBillion),
                                     .nUnique = kN,
                                     .seed = 14618637,
                                     .missingOne = 1,
                                     .reuseTag = 4},
                                    {.name = "int",
                                     .kind = ColKind::kLineOnly,
                                     .slot = nullptr,
                                     .min = C(0),
                                     .max = C(kBillion),
                                     .nUnique = kN,
                                     .seed = 0,
                                     .missingOne = 0,
                                     .reuseTag = 0,
                                     .comment = "same as \"key\""},
                                    1280708942),
      .fields = TenColumnFields(&CB::integerAttr, &CB::integerAttr, &CB::decimalAttr, 1)};
  return s;
}

const Schema& UpdatesSchema() {
  static const Schema s{.columns = UniquesLikeColumns({.name = "key",
                                                       .kind = ColKind::kUniform,
                                                       .slot = &CB::keyAttr,
                                                       .min = C(1),
                                                       .max = kN,
                                                       .nUnique = kN,
                                                       .seed = 728952890,
                                                       .missingOne = 1,
                                                       .reuseTag = 5},
                                                      {.name = "int",
                                                       .kind = ColKind::kLineOnly,
                                                       .slot = nullptr,
                                                       .min = C(0),
                                                       .max = kN,
                                                       .nUnique = kN,
                                                       .seed = 0,
                                                       .missingOne = 0,
                                                       .reuseTag = 0,
                                                       .comment = "same as \"key\""},
                                                      568158050),
                        .fields = TenColumnFields(&CB::keyAttr, &CB::keyAttr, &CB::decimalAttr, 1)};
  return s;
}

const Schema& TinySchema() {
  static const Schema s{.columns = {{.name = "key",
                                     .kind = ColKind::kUniform,
                                     .slot = &CB::keyAttr,
                                     .min = C(0),
                                     .max = C(0),
                                     .nUnique = C(1),
                                     .seed = 1884316460,
                                     .missingOne = 0,
                                     .reuseTag = 3}},
                        .fields = {{.slot = &CB::keyAttr,
                                    .width = 10,
                                    .kind = OutputKind::kInteger,
                                    .advance = 1,
                                    .name = "key",
                                    .type = GenValueType::kInt32}}};
  return s;
}

}  // namespace

const GenRelation kGenRelations[kGenRelationCount] = {
    {.tag = kTagUniques,
     .name = "uniques",
     .suffix = "uni",
     .option = "-un",
     .heading = "Uniques Relation:\n",
     .schema = UniquesSchema},
    {.tag = kTagUpdates,
     .name = "updates",
     .suffix = "upd",
     .option = "-up",
     .heading = "Updates Relation:\n",
     .schema = UpdatesSchema},
    {.tag = kTagHundred,
     .name = "hundred",
     .suffix = "hun",
     .option = "-hu",
     .heading = "Hundred Relation:\n",
     .schema = HundredSchema},
    {.tag = kTagTenPcnt,
     .name = "tenpcnt",
     .suffix = "ten",
     .option = "-te",
     .heading = "Ten Percent Relation:\n",
     .schema = TenPcntSchema},
    {.tag = kTagTiny,
     .name = "tiny",
     .suffix = "tny",
     .option = "-ti",
     .heading = "Tiny Relation:\n",
     .schema = TinySchema},
};

const GenRelation& Gen_RelationOf(std::int32_t tag) {
  for (const GenRelation& relation : kGenRelations) {
    if (relation.tag == tag) return relation;
  }
  CHECK_REQUIRE_TEXT(false, "tag names one of the five relations");
  return kGenRelations[0];
}

namespace {

// Calls the column's distribution; generation jobs go to the queue.
void Distribute(GenControlBlock* cb, std::int32_t tag, const ColumnDist& c, std::int32_t rows,
                DistQueue* queue) {
  const std::int32_t n = cb->nTuples;
  const std::int32_t min = Eval(c.min, n);
  const std::int32_t max = Eval(c.max, n);
  const std::int32_t nUnique = Eval(c.nUnique, n);
  GenAttr* attr = c.slot != nullptr ? &(cb->*c.slot) : nullptr;
  switch (c.kind) {
    case ColKind::kUniform:
      Dist_Uniform(c.name, tag, c.reuseTag, cb, attr, rows, min, max, nUnique, c.seed, c.missingOne,
                   queue);
      break;
    case ColKind::kNormal:
      Dist_Normal(c.name, tag, c.reuseTag, cb, attr, rows, min, max, nUnique, c.seed, queue);
      break;
    case ColKind::kZipfian:
      Dist_Zipfian(c.name, tag, c.reuseTag, cb, attr, rows, min, max, nUnique, c.seed, queue);
      break;
    case ColKind::kFill:
      Dist_Fill(c.name, tag, tag, cb, attr, c.seed);
      break;
    case ColKind::kLineOnly:
      Report("    %-9s  %-7s  %11ld  %10ld  %10ld  %s\n", c.name, "Uniform", static_cast<long>(min),
             static_cast<long>(max), static_cast<long>(nUnique), c.comment);
      break;
  }
}

// The columns of a relation generated so far, counted by whichever thread
// generated them; the progress line shows them from the main thread.
struct ColumnsDone {
  std::atomic<int> count;
  int total;
  void Show() { Progress_Columns(count.load(), total); }
  void Count() {
    count.fetch_add(1);
    Show();  // nothing unless on the main thread
  }
};

// Runs the queued generation jobs: memory columns each on their own,
// temporary-file columns together in order. Columns of many distinct values
// take longest to shuffle, so they start first and the short ones fill in
// at the end. Each job leaves the errno of a failed temporary-file write in
// its entry of `errors`; the first failure is raised here, on the main
// thread. False when a job could not have the memory it needed.
[[nodiscard]] bool RunJobs(GenControlBlock* cb, std::vector<DistJob>& jobs) {
  std::vector<DistJob> memory;
  std::vector<DistJob> temps;
  for (const DistJob& job : jobs) {
    (job.attr->location == GEN_TEMP ? temps : memory).push_back(job);
  }
  std::stable_sort(memory.begin(), memory.end(),
                   [](const DistJob& a, const DistJob& b) { return a.nUnique > b.nUnique; });
  ColumnsDone done{{0}, static_cast<int>(jobs.size())};
  std::vector<int> errors(memory.size() + temps.size(), 0);
  std::vector<std::function<void()>> tasks;
  for (std::size_t i = 0; i < memory.size(); ++i) {
    tasks.emplace_back([&, i] {
      errors[i] = Dist_RunJob(memory[i]);
      done.Count();
    });
  }
  if (!temps.empty()) {
    tasks.emplace_back([&] {
      for (std::size_t i = 0; i < temps.size(); ++i) {
        int& error = errors[memory.size() + i];
        error = Dist_RunJob(temps[i]);
        if (error != 0) return;
        done.Count();
      }
    });
  }
  done.Show();
  // Temporary files mean memory is short: no thread stacks then.
  const GenStatus status =
      Gen_RunTasks(tasks, cb->tempInUse ? 1 : Gen_Threads(cb->threads), [&done] { done.Show(); });
  done.Show();  // the last column may have been counted on another thread
  Gen_Replay(status);
  if (status.outOfMemory) return false;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (errors[i] == 0) continue;
    const DistJob& job = i < memory.size() ? memory[i] : temps[i - memory.size()];
    Dist_TempWriteFailed(job.attr, errors[i]);
  }
  return true;
}

// Generates the relation's columns, settled in the rows [first, end) its
// files write; the others are not written. A slot an earlier relation
// left unsettled in some of these rows cannot serve this one.
[[nodiscard]] bool GenerateColumns(GenControlBlock* cb, std::int32_t tag, const Schema& schema,
                                   std::int32_t rows, GenRows written) {
  const std::int32_t end = written.first + written.count;
  for (int i = 0; i < kGenSlots; ++i) {
    GenAttr* attr = Gen_Slot(cb, i);
    const bool unsettled = attr->settledFrom > written.first || attr->settledEnd < end;
    if (attr->location != GEN_FILL && unsettled) attr->ownerTag = 0;
  }
  std::vector<DistJob> jobs;
  for (const ColumnDist& c : schema.columns) Distribute(cb, tag, c, rows, &jobs);
  for (DistJob& job : jobs) {
    job.from = written.first;
    job.end = end;
    job.keepRunNumbers = cb->keepRunNumbers != 0;
  }
  return RunJobs(cb, jobs);
}

// The rows from the first any file of the plan writes to the end of the
// last.
GenRows RowsWrittenBy(const GenRelationPlan& plan) {
  std::int32_t first = plan.total;
  std::int32_t end = 0;
  for (const GenFilePlan& file : plan.files) {
    first = std::min(first, file.rows.first);
    end = std::max(end, file.rows.first + file.rows.count);
  }
  if (first > end) first = end;
  return GenRows{plan.total, first, end - first};
}

// The distinct values of the column a field shows, as its distribution has
// them; 0 for the fill.
std::int32_t DistinctOf(const Schema& schema, const Field& field, std::int32_t n) {
  for (const ColumnDist& c : schema.columns) {
    if (c.slot == field.slot && c.kind != ColKind::kLineOnly && c.kind != ColKind::kFill) {
      return Eval(c.nUnique, n);
    }
  }
  return 0;
}

std::vector<GenColumnSpec> FieldSpecs(GenControlBlock* cb, const Schema& schema) {
  std::vector<GenColumnSpec> specs;
  for (const Field& f : schema.fields) {
    specs.push_back({.attr = &(cb->*f.slot),
                     .width = f.width == kFillWidth ? cb->nFill : f.width,
                     .kind = f.kind,
                     .advance = f.advance,
                     .name = f.name,
                     .type = f.type,
                     .distinct = DistinctOf(schema, f, cb->nTuples)});
  }
  return specs;
}

// Writes the files of the relation: the whole of it, or its parts. The
// writer starts each part's fill stream where its first row starts it in
// the whole relation, so the parts' rows are those of the whole relation;
// the columns are generated once for all parts.
GenWriteStatus WriteFiles(GenControlBlock* cb, const GenRelationPlan& plan, const Schema& schema,
                          const GenFormatMaker& makeFormat, const GenFileAction& onFile) {
  const std::vector<GenColumnSpec> specs = FieldSpecs(cb, schema);
  for (const GenFilePlan& file : plan.files) {
    const std::unique_ptr<GenFormat> format =
        makeFormat ? makeFormat(plan.relName, specs) : Gen_TextFormat(Output_MakeFormat(',', 0));
    const GenWriteStatus status = onFile ? onFile(cb, file, plan.relName, specs, format.get())
                                         : Gen_writeRelation(cb, file.path.c_str(), plan.relName,
                                                             specs, file.rows, format.get());
    if (status != GenWriteStatus::kOk) return status;
  }
  return GenWriteStatus::kOk;
}

void ReportHeading(const char* heading, PerfTimer* timer) {
  Perf_Init(timer);
  Perf_Start(timer);
  Report("%s", heading);
  Report(
      "    Attribute  Dist.    Min          Max         # Uniques   Comments\n    =========  =======  ===========  ==========  ==========  ========\n");
}

void ReportTime(PerfTimer* timer) {
  Perf_Stop(timer);
  char text[80];
  Perf_Format(timer, text);
  Report("\n    Generation Time: %s\n\n\n", text);
}

GenWriteStatus GenerateRelation(GenControlBlock* cb, const GenRelationPlan& plan,
                                const GenFormatMaker& makeFormat,
                                const GenFileAction& onFile = nullptr) {
  const GenRelation& relation = Gen_RelationOf(plan.tag);
  const Schema& schema = relation.schema();
  PerfTimer timer;
  ReportHeading(relation.heading, &timer);
  Progress_Begin(relation.name, plan.RowsWritten());
  if (!GenerateColumns(cb, plan.tag, schema, plan.total, RowsWrittenBy(plan))) {
    return GenWriteStatus::kOutOfMemory;
  }
  const GenWriteStatus status = WriteFiles(cb, plan, schema, makeFormat, onFile);
  if (status != GenWriteStatus::kOk) return status;
  Progress_Finish();
  ReportTime(&timer);
  return GenWriteStatus::kOk;
}

// The plan of one whole relation written to `path`.
GenRelationPlan WholePlan(GenControlBlock* cb, std::int32_t tag, const char* path) {
  const std::int32_t total = tag == kTagTiny ? 1 : cb->nTuples;
  return GenRelationPlan{
      .tag = tag,
      .relName = Gen_RelationOf(tag).name,
      .total = total,
      .files = {{.path = path, .rows = GenRows{.total = total, .first = 0, .count = total}}}};
}

}  // namespace

GenWriteStatus Gen_Relation(GenControlBlock* cb, const GenRelationPlan& plan,
                            const GenFormatMaker& makeFormat, const GenFileAction& onFile) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  return GenerateRelation(cb, plan, makeFormat, onFile);
}

GenWriteStatus Gen_WholeRelation(GenControlBlock* cb, std::int32_t tag, const char* path,
                                 const GenFormatMaker& makeFormat) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");
  return GenerateRelation(cb, WholePlan(cb, tag, path), makeFormat);
}

}  // namespace zervgen
