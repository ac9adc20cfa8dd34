// run/plan.cpp: the run plan.
#include "run/plan.h"

#include <string_view>

#include "base/except.h"
#include "run/catalog.h"

namespace zervgen {
namespace {

GenRelationPlan PlanRelation(const GenPlanSettings& s, int index) {
  const GenRelation& r = kGenRelations[index];
  const std::int32_t total = r.Rows(s.nRows);
  GenRelationPlan plan{.tag = Gen_TagOf(r), .relName = r.name, .total = total, .files = {}};
  const std::string path = s.paths[index];
  // Standard output takes the rows of the part asked for, or all of them.
  if (s.nParts == 0 || path == "-") {
    const bool onePart = s.nParts != 0 && s.part != 0;
    plan.files.push_back(
        {path, onePart ? Gen_PartRows(total, s.nParts, s.part) : GenRows{total, 0, total},
         onePart ? s.part : 0});
    return plan;
  }
  const std::int32_t firstPart = s.part != 0 ? s.part : 1;
  const std::int32_t lastPart = s.part != 0 ? s.part : s.nParts;
  for (std::int32_t k = firstPart; k <= lastPart; ++k) {
    plan.files.push_back({Gen_PartPath(path, k, s.suffix), Gen_PartRows(total, s.nParts, k), k});
  }
  return plan;
}

}  // namespace

std::int32_t GenRelationPlan::RowsWritten() const {
  std::int32_t rows = 0;
  for (const GenFilePlan& file : files) rows += file.rows.count;
  return rows;
}

GenRunPlan Gen_PlanRun(const GenPlanSettings& settings) {
  CHECK_REQUIRE(settings.nRows >= MIN_TUPLES);
  CHECK_REQUIRE(settings.nParts >= 0 && settings.nParts <= 1000);
  CHECK_REQUIRE(settings.part >= 0 && settings.part <= settings.nParts);
  CHECK_REQUIRE_TEXT(settings.suffix != nullptr, "settings.suffix != NULL");
  GenRunPlan plan;
  for (int i = 0; i < kGenRelationCount; ++i) {
    if (!settings.selected[i]) continue;
    CHECK_REQUIRE_TEXT(settings.paths[i] != nullptr, "settings.paths[i] != NULL");
    plan.relations.push_back(PlanRelation(settings, i));
  }
  return plan;
}

GenRows Gen_PartRows(std::int32_t total, std::int32_t nParts, std::int32_t part) {
  CHECK_REQUIRE(total >= 0 && nParts >= 1 && part >= 1 && part <= nParts);
  const std::int64_t n = total;
  const auto first = static_cast<std::int32_t>((part - 1) * n / nParts);
  const auto end = static_cast<std::int32_t>(part * n / nParts);
  return GenRows{total, first, end - first};
}

std::string Gen_PartPath(const std::string& path, std::int32_t part, const char* suffix) {
  const std::string_view end(suffix);
  const bool ends = !end.empty() && path.size() > end.size() &&
                    std::string_view(path).substr(path.size() - end.size()) == end;
  std::string name = ends ? path.substr(0, path.size() - end.size()) : path;
  name += '.';
  name += std::to_string(part);
  if (ends) name += end;
  return name;
}

std::vector<GenRelationFile> Gen_PlanFiles(const GenRunPlan& plan) {
  std::vector<GenRelationFile> files;
  for (const GenRelationPlan& relation : plan.relations) {
    for (const GenFilePlan& file : relation.files) {
      files.push_back({relation.relName, file.path.c_str()});
    }
  }
  return files;
}

}  // namespace zervgen
