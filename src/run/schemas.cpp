// run/schemas.cpp: the generation of a relation from its columns in the
// catalogue: each column's distribution fills its slot, then the fields are
// written to the relation's files. The columns of one relation are
// generated concurrently: memory columns in parallel, temporary-file
// columns one after the other, since they share one scratch vector.
#include "run/schemas.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/except.h"
#include "base/perf.h"
#include "base/pool.h"
#include "base/progname.h"
#include "base/progress.h"
#include "base/report.h"
#include "core/dist.h"
#include "run/format.h"

namespace zervgen {
namespace {

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

// Writes the column's report line and calls its distribution; generation
// jobs go to the queue.
void Distribute(GenControlBlock* cb, const GenRelation& relation, const GenColumn& c,
                std::int32_t rows, DistQueue* queue) {
  Report("%s", Gen_ColumnLine(relation, c, cb->nTuples, cb->nFill).c_str());
  const std::int32_t n = cb->nTuples;
  const std::int32_t min = c.min.Of(n);
  const std::int32_t max = c.max.Of(n);
  const std::int32_t nUnique = c.distinct.Of(n);
  const char* name = Gen_KindOf(c).name;
  const std::int32_t tag = Gen_TagOf(relation);
  const std::int32_t reuseTag = Gen_ReuseTagOf(c);
  GenAttr* attr = &(cb->*c.slot);
  int error = 0;  // nothing is written here: the jobs go to the queue
  switch (c.dist) {
    case GenDist::kUniform:
      error = Dist_Uniform(name, tag, reuseTag, cb, attr, rows, min, max, nUnique, c.seed,
                           c.missingOne ? 1 : 0, queue);
      break;
    case GenDist::kNormal:
      error = Dist_Normal(name, tag, reuseTag, cb, attr, rows, min, max, nUnique, c.seed, queue);
      break;
    case GenDist::kZipfian:
      error = Dist_Zipfian(name, tag, reuseTag, cb, attr, rows, min, max, nUnique, c.seed, queue);
      break;
    case GenDist::kFill:
      Dist_Fill(name, tag, tag, cb, attr, c.seed);
      break;
    case GenDist::kSameAs:
      break;
  }
  if (error != 0) Gen_TempWriteFailed(attr, error);
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
    Gen_TempWriteFailed(job.attr, errors[i]);
  }
  return true;
}

// Generates the relation's columns, settled in the rows [first, end) its
// files write; the others are not written. A slot an earlier relation
// left unsettled in some of these rows cannot serve this one.
[[nodiscard]] bool GenerateColumns(GenControlBlock* cb, const GenRelation& relation,
                                   std::int32_t rows, GenRows written) {
  const std::int32_t end = written.first + written.count;
  for (int i = 0; i < kGenSlots; ++i) {
    GenAttr* attr = Gen_Slot(cb, i);
    const bool unsettled = attr->settledFrom > written.first || attr->settledEnd < end;
    if (attr->location != GEN_FILL && unsettled) attr->ownerTag = 0;
  }
  std::vector<DistJob> jobs;
  for (const GenColumn& c : relation.columns) Distribute(cb, relation, c, rows, &jobs);
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

// The fields of the relation's rows: each column shows the values of its
// slot, and the read position stays put after a field whose next column
// shows the same values again.
std::vector<GenColumnSpec> FieldSpecs(GenControlBlock* cb, const GenRelation& relation) {
  std::vector<GenColumnSpec> specs;
  const std::span<const GenColumn> columns = relation.columns;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const GenColumn& c = columns[i];
    const GenColumnKind& kind = Gen_KindOf(c);
    const bool repeated = i + 1 < columns.size() && columns[i + 1].dist == GenDist::kSameAs &&
                          columns[i + 1].slot == c.slot;
    const std::int32_t distinct =
        c.dist == GenDist::kFill ? 0 : Gen_FiguresOf(relation, c, cb->nTuples).distinct;
    specs.push_back({.attr = &(cb->*c.slot),
                     .width = kind.width == kGenFillWidth ? cb->nFill : kind.width,
                     .kind = kind.kind,
                     .advance = repeated ? 0 : 1,
                     .name = kind.name,
                     .type = kind.type,
                     .distinct = distinct});
  }
  return specs;
}

// Writes the files of the relation: the whole of it, or its parts. The
// writer starts each part's fill stream where its first row starts it in
// the whole relation, so the parts' rows are those of the whole relation;
// the columns are generated once for all parts. Ok, or the first failure.
Status WriteFiles(GenControlBlock* cb, const GenRelationPlan& plan, const GenRelation& relation,
                  const GenFormatMaker& makeFormat, const GenFileAction& onFile) {
  const std::vector<GenColumnSpec> specs = FieldSpecs(cb, relation);
  for (const GenFilePlan& file : plan.files) {
    const std::unique_ptr<GenFormat> format =
        makeFormat ? makeFormat(plan.relName, specs) : Gen_TextFormat(Output_MakeFormat(',', 0));
    const Status status = onFile ? onFile(cb, file, plan.relName, specs, format.get())
                                 : Gen_writeRelation(cb, file.path.c_str(), plan.relName, specs,
                                                     file.rows, format.get());
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

void ReportHeading(const char* heading, PerfTimer* timer) {
  Perf_Init(timer);
  Perf_Start(timer);
  Report("%s", heading);
  Report("%s", kGenColumnTableHeader);
}

void ReportTime(PerfTimer* timer) {
  Perf_Stop(timer);
  char text[80];
  Perf_Format(timer, text);
  Report("\n    Generation Time: %s\n\n\n", text);
}

// Generates the relation's columns and writes its files. Ok; NoMemory
// when the columns could not be had; or what its files met.
Status GenerateRelation(GenControlBlock* cb, const GenRelationPlan& plan,
                        const GenFormatMaker& makeFormat, const GenFileAction& onFile = nullptr) {
  const GenRelation& relation = Gen_RelationOf(plan.tag);
  PerfTimer timer;
  ReportHeading(relation.heading, &timer);
  Progress_Begin(relation.name, plan.RowsWritten());
  if (!GenerateColumns(cb, relation, plan.total, RowsWrittenBy(plan))) {
    return Status::NoMemory();
  }
  const Status status = WriteFiles(cb, plan, relation, makeFormat, onFile);
  if (!status.ok()) return status;
  Progress_Finish();
  ReportTime(&timer);
  return Status::Ok();
}

// The plan of one whole relation written to `path`.
GenRelationPlan WholePlan(GenControlBlock* cb, std::int32_t tag, const char* path) {
  const GenRelation& relation = Gen_RelationOf(tag);
  const std::int32_t total = relation.Rows(cb->nTuples);
  return GenRelationPlan{
      .tag = tag,
      .relName = relation.name,
      .total = total,
      .files = {{.path = path, .rows = GenRows{.total = total, .first = 0, .count = total}}}};
}

}  // namespace

void Gen_TempWriteFailed(const GenAttr* attr, int error) {
  const char* reason = TempWriteReason(error);
  const char* path = attr->fileName != nullptr ? attr->fileName : "";
  Report(
      "*** Error: The temporary file, \"%s\", could not be written.\n\tThe reason given is: \"%s\".\n",
      path, reason);
  std::fprintf(stderr, "%s: Temporary file error: \"%s\".\n", programName, reason);
  // Named after the operation whose write failed, wherever it ran.
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, "Dist_cleanup", __LINE__);
}

Status Gen_Relation(GenControlBlock* cb, const GenRelationPlan& plan,
                    const GenFormatMaker& makeFormat, const GenFileAction& onFile) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  return GenerateRelation(cb, plan, makeFormat, onFile);
}

Status Gen_WholeRelation(GenControlBlock* cb, std::int32_t tag, const char* path,
                         const GenFormatMaker& makeFormat) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");
  return GenerateRelation(cb, WholePlan(cb, tag, path), makeFormat);
}

}  // namespace zervgen
