// run/plan.h: the run plan. Computed once from the settings, before any
// file is checked or column generated: the relations to write, in the run's
// order, each with its row count and its files (the whole relation, or the
// name and rows of each part written). Everything after reads the plan;
// nothing hands settings back and forth.
#ifndef ZERVGEN_SRC_RUN_PLAN_H_
#define ZERVGEN_SRC_RUN_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "run/catalog.h"
#include "run/writer.h"

namespace zervgen {

// One file of a relation: where it goes ("-": standard output) and which
// rows of the relation it holds.
struct GenFilePlan {
  std::string path;
  GenRows rows;
  std::int32_t part = 0;  // its part number (1 .. parts); 0: the whole relation
};

struct GenRelationPlan {
  std::int32_t tag;     // the relation's tag (Gen_TagOf)
  const char* relName;  // "hundred" ..
  std::int32_t total;   // rows of the whole relation
  std::vector<GenFilePlan> files;

  // Rows of all its files together.
  std::int32_t RowsWritten() const;
};

struct GenRunPlan {
  std::vector<GenRelationPlan> relations;  // uniques, updates, hundred, tenpcnt, tiny
};

// What the plan is made from. Relations are indexed in run order, as in
// kGenRelations (run/catalog.h): uniques, updates, hundred, tenpcnt, tiny.
struct GenPlanSettings {
  std::int32_t nRows;
  bool selected[kGenRelationCount];
  const char* paths[kGenRelationCount];
  std::int32_t nParts;  // 0: whole files
  std::int32_t part;    // 0: every part; else only part `part` (1..nParts)
  // The file name ending that part numbers go before ("" for text: a part
  // is the name with ".K" appended; ".parquet": "x.parquet" has the part
  // "x.K.parquet").
  const char* suffix = "";
};

// REQUIRES: MIN_TUPLES <= nRows, 0 <= nParts <= 1000, 0 <= part <= nParts,
//           paths[i] != NULL for every selected relation
GenRunPlan Gen_PlanRun(const GenPlanSettings& settings);

// The rows of part `part` (1..nParts) of a relation of `total` rows: part K
// holds rows (K-1)*total/nParts .. K*total/nParts-1, rounded down.
GenRows Gen_PartRows(std::int32_t total, std::int32_t nParts, std::int32_t part);

// The name of part `part` of a relation written to `path`.
std::string Gen_PartPath(const std::string& path, std::int32_t part, const char* suffix);

// Every file of the plan, in order, for Gen_CheckRelationFiles; the entries
// point into the plan.
std::vector<GenRelationFile> Gen_PlanFiles(const GenRunPlan& plan);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_PLAN_H_
