// gen_schemas.cpp: the five relations. Each is a table of column
// distributions (in report order) and a table of fields (in row order).
// The columns of one relation are generated concurrently: memory columns in
// parallel, temporary-file columns one after the other, since they share
// one scratch vector.
#include "gen_schemas.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dist.h"
#include "except.h"
#include "gen_format.h"
#include "gen_pool.h"
#include "perf.h"
#include "progress.h"
#include "report.h"

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
  const char* comment;  // report-line-only columns
};

struct Field {
  Slot slot;
  int width;  // -1: the fill width
  OutputKind kind;
  int advance;
  const char* name;
  GenValueType type;
};

struct Schema {
  std::int32_t tag;
  const char* relName;
  const char* heading;
  std::vector<ColumnDist> columns;
  std::vector<Field> fields;
};

using CB = GenControlBlock;
constexpr std::int32_t kBillion = 1000000000;
constexpr std::int32_t kHalfBillion = 500000000;
constexpr std::int32_t kCodeMax = 1000000001;

std::vector<Field> TenColumnFields(Slot key, Slot integer, Slot decim, int doubleAdvance) {
  using T = GenValueType;
  return {{key, 10, OutputKind::kInteger, key == integer ? 0 : 1, "key", T::kInt32},
          {integer, 10, OutputKind::kInteger, 1, "int", T::kInt32},
          {&CB::signedAttr, 10, OutputKind::kInteger, 1, "signed", T::kInt32},
          {&CB::floatAttr, 10, OutputKind::kFloat, 1, "float", T::kDecimal},
          {&CB::doubleAttr, 11, OutputKind::kInteger, doubleAdvance, "double", T::kDouble},
          {decim, 11, OutputKind::kInteger, 1, "decim", T::kDecimal},
          {&CB::dateAttr, 10, OutputKind::kDate, 1, "date", T::kDate},
          {&CB::codeAttr, 10, OutputKind::kFixed10, 1, "code", T::kText},
          {&CB::nameAttr, 20, OutputKind::kFixed20, 1, "name", T::kText},
          {&CB::addressAttr, 80, OutputKind::kVarChar, 1, "address", T::kText},
          {&CB::fillAttr, -1, OutputKind::kFill, 1, "fill", T::kText}};
}

const Schema& HundredSchema() {
  static const Schema s{
      kTagHundred,
      "hundred",
      "Hundred Relation:\n",
      {{"key", ColKind::kUniform, &CB::keyAttr, C(1), kN, kN, 728952890, 1, 5, nullptr},
       {"int", ColKind::kUniform, &CB::integerAttr, C(1), C(kBillion), kN, 14618637, 1, 4, nullptr},
       {"signed", ColKind::kUniform, &CB::signedAttr, C(100), C(199), C(100), 77673249, 0, 1,
        nullptr},
       {"float", ColKind::kUniform, &CB::floatAttr, C(-kHalfBillion), C(kHalfBillion), C(100),
        1892379368, 0, 1, nullptr},
       {"double", ColKind::kUniform, &CB::doubleAttr, C(-kBillion), C(kBillion), C(100), 947883060,
        0, 1, nullptr},
       {"decim", ColKind::kLineOnly, nullptr, C(-kBillion), C(kBillion), C(100), 0, 0, 0,
        "same as \"double\""},
       {"date", ColKind::kUniform, &CB::dateAttr, C(0), C(36523), kDays, 1376793920, 0, 5, nullptr},
       {"code", ColKind::kUniform, &CB::codeAttr, C(1), C(kCodeMax), kN, 599774169, 0, 5, nullptr},
       {"name", ColKind::kUniform, &CB::nameAttr, C(1), C(kCodeMax), C(100), 997553128, 0, 1,
        nullptr},
       {"address", ColKind::kUniform, &CB::addressAttr, C(5), C(995), C(100), 431247321, 0, 1,
        nullptr},
       {"fill", ColKind::kFill, &CB::fillAttr, C(0), C(0), C(0), 7830309, 0, 0, nullptr}},
      TenColumnFields(&CB::keyAttr, &CB::integerAttr, &CB::doubleAttr, 0)};
  return s;
}

const Schema& TenPcntSchema() {
  static const Schema s{
      kTagTenPcnt,
      "tenpcnt",
      "Ten Percent Relation:\n",
      {{"key", ColKind::kUniform, &CB::integerAttr, C(1), C(kBillion), kN, 14618637, 1, 1, nullptr},
       {"int", ColKind::kLineOnly, nullptr, C(0), C(kBillion), kN, 0, 0, 0, "same as \"key\""},
       {"signed", ColKind::kUniform, &CB::signedAttr, C(-kHalfBillion), C(kHalfBillion), kN,
        177072576, 0, 2, nullptr},
       {"float", ColKind::kUniform, &CB::floatAttr, C(-kHalfBillion), C(kHalfBillion), kN10,
        1754590891, 0, 2, nullptr},
       {"double", ColKind::kUniform, &CB::doubleAttr, C(-kBillion), C(kBillion), kN10, 124321587, 0,
        2, nullptr},
       {"decim", ColKind::kLineOnly, nullptr, C(-kBillion), C(kBillion), kN10, 0, 0, 0,
        "same as \"double\""},
       {"date", ColKind::kUniform, &CB::dateAttr, C(0), C(36523), kDays, 1376793920, 0, 1, nullptr},
       {"code", ColKind::kUniform, &CB::codeAttr, C(1), C(kCodeMax), kN, 599774169, 0, 1, nullptr},
       {"name", ColKind::kUniform, &CB::nameAttr, C(0), C(9), C(10), 2079464979, 0, 2, nullptr},
       {"address", ColKind::kUniform, &CB::addressAttr, C(0), kN10m1, kN10, 1379687929, 0, 2,
        nullptr},
       {"fill", ColKind::kFill, &CB::fillAttr, C(0), C(0), C(0), 816473355, 0, 0, nullptr}},
      TenColumnFields(&CB::integerAttr, &CB::integerAttr, &CB::doubleAttr, 0)};
  return s;
}

// uniques and updates share all columns but the key, the int line and the
// fill seed.
std::vector<ColumnDist> UniquesLikeColumns(ColumnDist key, ColumnDist intLine,
                                           std::int32_t fillSeed) {
  return {
      key,
      intLine,
      {"signed", ColKind::kUniform, &CB::signedAttr, C(-kHalfBillion), C(kHalfBillion), kN,
       842953455, 0, 4, nullptr},
      {"float", ColKind::kZipfian, &CB::floatAttr, C(-kHalfBillion), C(kHalfBillion), C(10),
       529756080, 0, 4, nullptr},
      {"double", ColKind::kNormal, &CB::doubleAttr, C(-kBillion), C(kBillion), kN, 103893252, 0, 4,
       nullptr},
      {"decim", ColKind::kUniform, &CB::decimalAttr, C(-kBillion), C(kBillion), kN, 190338507, 0, 4,
       nullptr},
      {"date", ColKind::kUniform, &CB::dateAttr, C(0), C(36523), kDays, 1376793920, 0, 4, nullptr},
      {"code", ColKind::kUniform, &CB::codeAttr, C(1), C(kCodeMax), kN, 599774169, 0, 4, nullptr},
      {"name", ColKind::kUniform, &CB::nameAttr, C(1), C(kCodeMax), kN, 76876519, 0, 4, nullptr},
      {"address", ColKind::kUniform, &CB::addressAttr, C(0), kNm1, kN, 1386640140, 0, 4, nullptr},
      {"fill", ColKind::kFill, &CB::fillAttr, C(0), C(0), C(0), fillSeed, 0, 0, nullptr}};
}

const Schema& UniquesSchema() {
  static const Schema s{kTagUniques, "uniques", "Uniques Relation:\n",
                        UniquesLikeColumns({"key", ColKind::kUniform, &CB::integerAttr, C(1),
                                            C(kBillion), kN, 14618637, 1, 4, nullptr},
                                           {"int", ColKind::kLineOnly, nullptr, C(0), C(kBillion),
                                            kN, 0, 0, 0, "same as \"key\""},
                                           1280708942),
                        TenColumnFields(&CB::integerAttr, &CB::integerAttr, &CB::decimalAttr, 1)};
  return s;
}

const Schema& UpdatesSchema() {
  static const Schema s{
      kTagUpdates, "updates", "Updates Relation:\n",
      UniquesLikeColumns(
          {"key", ColKind::kUniform, &CB::keyAttr, C(1), kN, kN, 728952890, 1, 5, nullptr},
          {"int", ColKind::kLineOnly, nullptr, C(0), kN, kN, 0, 0, 0, "same as \"key\""},
          568158050),
      TenColumnFields(&CB::keyAttr, &CB::keyAttr, &CB::decimalAttr, 1)};
  return s;
}

const Schema& TinySchema() {
  static const Schema s{
      kTagTiny,
      "tiny",
      "Tiny Relation:\n",
      {{"key", ColKind::kUniform, &CB::keyAttr, C(0), C(0), C(1), 1884316460, 0, 3, nullptr}},
      {{&CB::keyAttr, 10, OutputKind::kInteger, 1, "key", GenValueType::kInt32}}};
  return s;
}

const Schema& SchemaOf(std::int32_t tag) {
  switch (tag) {
    case kTagHundred:
      return HundredSchema();
    case kTagTenPcnt:
      return TenPcntSchema();
    case kTagUniques:
      return UniquesSchema();
    case kTagUpdates:
      return UpdatesSchema();
    default:
      CHECK_REQUIRE(tag == kTagTiny);
      return TinySchema();
  }
}

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
// thread.
void RunJobs(GenControlBlock* cb, std::vector<DistJob>& jobs) {
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
      Gen_RunTasks(tasks, cb->tempInUse ? 1 : Gen_Threads(), [&done] { done.Show(); });
  done.Show();  // the last column may have been counted on another thread
  Gen_Replay(status);
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (errors[i] == 0) continue;
    const DistJob& job = i < memory.size() ? memory[i] : temps[i - memory.size()];
    Dist_TempWriteFailed(job.attr, errors[i]);
  }
}

void GenerateColumns(GenControlBlock* cb, const Schema& schema, std::int32_t rows) {
  std::vector<DistJob> jobs;
  for (const ColumnDist& c : schema.columns) Distribute(cb, schema.tag, c, rows, &jobs);
  RunJobs(cb, jobs);
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
    specs.push_back({&(cb->*f.slot), f.width < 0 ? cb->nFill : f.width, f.kind, f.advance, f.name,
                     f.type, DistinctOf(schema, f, cb->nTuples)});
  }
  return specs;
}

// Writes the files of the relation: the whole of it, or its parts. The
// writer starts each part's fill stream where its first row starts it in
// the whole relation, so the parts' rows are those of the whole relation;
// the columns are generated once for all parts.
void WriteFiles(GenControlBlock* cb, const GenRelationPlan& plan, const Schema& schema,
                const GenFormatMaker& makeFormat, const GenFileAction& onFile) {
  const std::vector<GenColumnSpec> specs = FieldSpecs(cb, schema);
  for (const GenFilePlan& file : plan.files) {
    const std::unique_ptr<GenFormat> format =
        makeFormat ? makeFormat(schema.relName, specs) : Gen_TextFormat(Output_CurrentFormat());
    if (onFile) {
      onFile(cb, file, schema.relName, specs, format.get());
      continue;
    }
    Gen_writeRelation(cb, file.path.c_str(), schema.relName, specs, file.rows, format.get());
  }
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

void GenerateRelation(GenControlBlock* cb, const GenRelationPlan& plan,
                      const GenFormatMaker& makeFormat, const GenFileAction& onFile = nullptr) {
  const Schema& schema = SchemaOf(plan.tag);
  PerfTimer timer;
  ReportHeading(schema.heading, &timer);
  Progress_Begin(schema.relName, plan.RowsWritten());
  GenerateColumns(cb, schema, plan.total);
  WriteFiles(cb, plan, schema, makeFormat, onFile);
  Progress_Finish();
  ReportTime(&timer);
}

// The plan of one whole relation written to `path`.
GenRelationPlan WholePlan(GenControlBlock* cb, std::int32_t tag, const char* path) {
  const Schema& schema = SchemaOf(tag);
  const std::int32_t total = tag == kTagTiny ? 1 : cb->nTuples;
  return GenRelationPlan{tag, schema.relName, total, {{path, GenRows{total, 0, total}}}};
}

}  // namespace

void Gen_Relation(GenControlBlock* cb, const GenRelationPlan& plan,
                  const GenFormatMaker& makeFormat, const GenFileAction& onFile) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  GenerateRelation(cb, plan, makeFormat, onFile);
}

#define GEN_CHECK_ARGS()                           \
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL"); \
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL")

void Gen_Hundred(GenControlBlock* cb, const char* path) {
  GEN_CHECK_ARGS();
  GenerateRelation(cb, WholePlan(cb, kTagHundred, path), nullptr);
}

void Gen_TenPcnt(GenControlBlock* cb, const char* path) {
  GEN_CHECK_ARGS();
  GenerateRelation(cb, WholePlan(cb, kTagTenPcnt, path), nullptr);
}

void Gen_Uniques(GenControlBlock* cb, const char* path) {
  GEN_CHECK_ARGS();
  GenerateRelation(cb, WholePlan(cb, kTagUniques, path), nullptr);
}

void Gen_Updates(GenControlBlock* cb, const char* path) {
  GEN_CHECK_ARGS();
  GenerateRelation(cb, WholePlan(cb, kTagUpdates, path), nullptr);
}

void Gen_Tiny(GenControlBlock* cb, const char* path) {
  GEN_CHECK_ARGS();
  GenerateRelation(cb, WholePlan(cb, kTagTiny, path), nullptr);
}

}  // namespace zervgen
