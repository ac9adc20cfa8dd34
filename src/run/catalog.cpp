// run/catalog.cpp: what the report, the help text and -describe read from
// the relations' table.
#include "run/catalog.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "base/date.h"
#include "base/except.h"

namespace zervgen {

namespace {

using gen_catalog::kKinds;

// Whether a relation is named `name`. (A bool, not Gen_RelationNamed's
// pointer: under the sanitizers GCC checks a pointer it compares, which is
// no constant expression.)
constexpr bool IsRelationName(std::string_view name) {
  for (const GenRelation& relation : kGenRelations) {
    if (name == relation.name) return true;
  }
  return false;
}

// Whether every relation has its own name, suffix and option, and every
// column that reuses values names a relation.
constexpr bool TableIsSound() {
  for (const GenRelation& r : kGenRelations) {
    for (const GenRelation& other : kGenRelations) {
      if (&r == &other) continue;
      if (std::string_view(r.name) == other.name || std::string_view(r.suffix) == other.suffix ||
          std::string_view(r.option) == other.option) {
        return false;
      }
    }
    for (const GenColumn& c : r.columns) {
      if (c.reuses != nullptr && !IsRelationName(c.reuses)) return false;
      if (c.column < 0 || c.column >= static_cast<int>(std::size(kKinds))) return false;
    }
  }
  return true;
}
static_assert(TableIsSound(), "relations need their own name, suffix and option");

}  // namespace

const GenRelation& Gen_RelationOf(std::int32_t tag) {
  CHECK_REQUIRE_TEXT(tag >= 1 && tag <= kGenRelationCount, "tag names one of the relations");
  return kGenRelations[tag - 1];
}

const GenRelation& Gen_RelationListed(int index) {
  CHECK_REQUIRE(index >= 0 && index < kGenRelationCount);
  for (const GenRelation& relation : kGenRelations) {
    if (Gen_ListPlaceOf(relation) == index) return relation;
  }
  CHECK_ASSERT_TEXT(false, "each relation has its own place in the lists");
  return kGenRelations[0];
}

std::int32_t Gen_ReuseTagOf(const GenColumn& column) {
  if (column.reuses == nullptr) return 0;
  const GenRelation* relation = Gen_RelationNamed(column.reuses);
  CHECK_ASSERT(relation != nullptr);
  return Gen_TagOf(*relation);
}

std::span<const GenColumnKind> Gen_ColumnKinds() { return kKinds; }

const GenColumnKind& Gen_KindOf(const GenColumn& column) {
  CHECK_REQUIRE(column.column >= 0 && column.column < static_cast<int>(std::size(kKinds)));
  return kKinds[column.column];
}

namespace {

const char* DistName(GenDist dist) {
  switch (dist) {
    case GenDist::kNormal:
      return "Normal";
    case GenDist::kZipfian:
      return "Zipfian";
    case GenDist::kFill:
      return "Fill";
    case GenDist::kUniform:
    case GenDist::kSameAs:
      break;
  }
  return "Uniform";
}

// The column of `relation` before `column` whose values `column` shows.
const GenColumn& ShownBy(const GenRelation& relation, const GenColumn& column) {
  const GenColumn* shown = nullptr;
  for (const GenColumn& c : relation.columns) {
    if (&c == &column) break;
    if (c.slot == column.slot && c.dist != GenDist::kSameAs) shown = &c;
  }
  CHECK_ASSERT_TEXT(shown != nullptr, "a repeated column follows the one it repeats");
  return *shown;
}

// A range end as the report shows it: a date as M/D/YYYY, else the number.
std::string RangeText(const GenColumnKind& kind, std::int32_t value) {
  char text[32];
  if (kind.type == GenValueType::kDate) {
    std::uint16_t day = 0;
    std::uint16_t month = 0;
    std::uint16_t year = 0;
    Date_Convert(static_cast<std::uint16_t>(value), &day, &month, &year);
    std::snprintf(text, sizeof text, "%hu/%hu/%hu", month, day, year);
  } else {
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(value));
  }
  return text;
}

}  // namespace

GenRules Gen_RulesOf(const GenRelation& relation, const GenColumn& column) {
  const GenColumn& shown = column.dist == GenDist::kSameAs ? ShownBy(relation, column) : column;
  GenNum min = shown.min;
  if (shown.missingOne) min.add -= 1;
  return GenRules{.min = min, .max = shown.max, .distinct = shown.distinct, .shown = &shown};
}

GenFigures Gen_FiguresOf(const GenRelation& relation, const GenColumn& column, std::int32_t n) {
  const GenRules rules = Gen_RulesOf(relation, column);
  return GenFigures{.dist = DistName(rules.shown->dist),
                    .min = rules.min.Of(n),
                    .max = rules.max.Of(n),
                    .distinct = rules.distinct.Of(n),
                    .shown = rules.shown};
}

const char kGenColumnTableHeader[] =
    "    Attribute  Dist.    Min          Max         # Uniques   Comments\n"
    "    =========  =======  ===========  ==========  ==========  ========\n";

std::string Gen_ColumnLine(const GenRelation& relation, const GenColumn& column, std::int32_t n,
                           std::int16_t nFill) {
  const GenColumnKind& kind = Gen_KindOf(column);
  char line[160];
  if (column.dist == GenDist::kFill) {
    if (nFill == 0) {
      std::snprintf(line, sizeof line, "    no %s\n", kind.name);
    } else {
      std::snprintf(line, sizeof line, "    %-9s  %-7s  %11s  %10s  %10s  %ld rnd character%s\n",
                    kind.name, "Fill", "n/a", "n/a", "n/a", static_cast<long>(nFill),
                    nFill == 1 ? "" : "s");
    }
    return line;
  }
  const GenFigures f = Gen_FiguresOf(relation, column, n);
  if (column.dist == GenDist::kSameAs) {
    std::snprintf(line, sizeof line, "    %-9s  %-7s  %11ld  %10ld  %10ld  same as \"%s\"\n",
                  kind.name, f.dist, static_cast<long>(f.min), static_cast<long>(f.max),
                  static_cast<long>(f.distinct), Gen_KindOf(*f.shown).name);
  } else if (column.dist == GenDist::kUniform) {
    const char* comment = column.missingOne                  ? "'1' missing"
                          : kind.type == GenValueType::kText ? "min/max = rnd seed"
                                                             : "";
    std::snprintf(line, sizeof line, "    %-9s  %-7s  %11s  %10s  %10ld  %s\n", kind.name, f.dist,
                  RangeText(kind, f.min).c_str(), RangeText(kind, f.max).c_str(),
                  static_cast<long>(f.distinct), comment);
  } else {
    std::snprintf(line, sizeof line, "    %-9s  %-7s  %11ld  %10ld  %10ld\n", kind.name, f.dist,
                  static_cast<long>(f.min), static_cast<long>(f.max),
                  static_cast<long>(f.distinct));
  }
  return line;
}

namespace {

// The widest relation: the one with the most columns.
const GenRelation& Widest() {
  const GenRelation* widest = &kGenRelations[0];
  for (const GenRelation& r : kGenRelations) {
    if (r.columns.size() > widest->columns.size()) widest = &r;
  }
  return *widest;
}

}  // namespace

int Gen_FixedWidthOf(const GenColumnKind& kind, std::int16_t nFill) {
  if (kind.width == kGenFillWidth) return nFill;
  return kind.kind == OutputKind::kFloat ? kind.width + 3 : kind.width;
}

int Gen_FixedRowWidth() {
  int width = 0;
  for (const GenColumn& c : Widest().columns) {
    const GenColumnKind& kind = Gen_KindOf(c);
    if (kind.width != kGenFillWidth) width += Gen_FixedWidthOf(kind, 0);
  }
  return width;
}

std::string Gen_ColumnMap(std::int16_t nFill) {
  std::string map;
  int first = 1;
  char line[80];
  for (const GenColumn& c : Widest().columns) {
    const GenColumnKind& kind = Gen_KindOf(c);
    const std::string label = std::string(kind.name) + ":";
    if (kind.width == kGenFillWidth) {
      if (nFill == 1) {
        std::snprintf(line, sizeof line, "    %-8s column  %d\n", label.c_str(), first);
        map += line;
      } else if (nFill >= 2) {
        std::snprintf(line, sizeof line, "    %-8s columns %d - %3hd\n", label.c_str(), first,
                      static_cast<short>(nFill + first - 1));
        map += line;
      }
      continue;
    }
    const int last = first + Gen_FixedWidthOf(kind, nFill) - 1;
    std::snprintf(line, sizeof line, "    %-8s columns %3d - %3d\n", label.c_str(), first, last);
    map += line;
    first = last + 1;
  }
  return map;
}

std::size_t Gen_WidestRowValueBytes() {
  std::size_t bytes = 0;
  for (const GenColumn& c : Widest().columns) {
    const GenColumnKind& kind = Gen_KindOf(c);
    switch (kind.type) {
      case GenValueType::kInt32:
      case GenValueType::kDate:
        bytes += 4;
        break;
      case GenValueType::kDecimal:
      case GenValueType::kDouble:
        bytes += 8;
        break;
      case GenValueType::kText:
        if (kind.width != kGenFillWidth) bytes += static_cast<std::size_t>(kind.width) + 4;
        break;
    }
  }
  return bytes;
}

std::size_t Gen_WidestRowColumns() { return Widest().columns.size(); }

std::string Gen_OptionList(const char* open, const char* close, const char* between,
                           const char* last) {
  std::string list;
  for (int i = 0; i < kGenRelationCount; ++i) {
    if (i > 0) list += i + 1 == kGenRelationCount ? last : between;
    list += open;
    list += Gen_RelationListed(i).option;
    list += close;
  }
  return list;
}

}  // namespace zervgen
