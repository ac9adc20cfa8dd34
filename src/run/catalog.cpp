// run/catalog.cpp: the five relations, a table of columns each.
#include "run/catalog.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "base/date.h"
#include "base/except.h"

namespace zervgen {

std::int32_t GenNum::Of(std::int32_t n) const {
  switch (kind) {
    case kConst:
      return value;
    case kN:
      return n;
    case kNDiv10:
      return n / 10;
    case kNMinus1:
      return n - 1;
    case kNDiv10Minus1:
      return n / 10 - 1;
    case kDays:
      return std::min<std::int32_t>(n, DATE_MAX_DAY + 1);
  }
  return 0;
}

namespace {

using CB = GenControlBlock;
using T = GenValueType;
using K = OutputKind;

constexpr GenNum C(std::int32_t v) { return {GenNum::kConst, v}; }
constexpr GenNum kN{GenNum::kN, 0};
constexpr GenNum kN10{GenNum::kNDiv10, 0};
constexpr GenNum kNm1{GenNum::kNMinus1, 0};
constexpr GenNum kN10m1{GenNum::kNDiv10Minus1, 0};
constexpr GenNum kDays{GenNum::kDays, 0};
constexpr GenNum k0 = C(0);

constexpr std::int32_t kBillion = 1000000000;
constexpr std::int32_t kHalf = 500000000;
constexpr std::int32_t kCodeMax = 1000000001;
constexpr std::int32_t kLastDay = DATE_MAX_DAY;

enum Column { kKey, kInt, kSigned, kFloat, kDouble, kDecim, kDate, kCode, kName, kAddress, kFill };

// clang-format off
constexpr GenColumnKind kKinds[] = {
  // name       type         field kind      width          shortest text
  {"key",     T::kInt32,   K::kInteger,   10,            0},
  {"int",     T::kInt32,   K::kInteger,   10,            0},
  {"signed",  T::kInt32,   K::kInteger,   10,            0},
  {"float",   T::kDecimal, K::kFloat,     10,            0},
  {"double",  T::kDouble,  K::kInteger,   11,            0},
  {"decim",   T::kDecimal, K::kInteger,   11,            0},
  {"date",    T::kDate,    K::kDate,      10,            0},
  {"code",    T::kText,    K::kFixed10,   10,            10},
  {"name",    T::kText,    K::kFixed20,   20,            20},
  {"address", T::kText,    K::kVarChar,   80,            2},
  {"fill",    T::kText,    K::kFill,      kGenFillWidth, 0},
};

constexpr GenDist U = GenDist::kUniform, Nrm = GenDist::kNormal, Z = GenDist::kZipfian,
                  Same = GenDist::kSameAs, Fill = GenDist::kFill;

constexpr GenColumn kHundred[] = {
  // column   dist   slot               min            max            distinct  seed         no 1    reuse
  {kKey,      U,     &CB::keyAttr,      C(1),          kN,            kN,       728952890,   true,   5},
  {kInt,      U,     &CB::integerAttr,  C(1),          C(kBillion),   kN,       14618637,    true,   4},
  {kSigned,   U,     &CB::signedAttr,   C(100),        C(199),        C(100),   77673249,    false,  1},
  {kFloat,    U,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      C(100),   1892379368,  false,  1},
  {kDouble,   U,     &CB::doubleAttr,   C(-kBillion),  C(kBillion),   C(100),   947883060,   false,  1},
  {kDecim,    Same,  &CB::doubleAttr,   k0,            k0,            k0,       0,           false,  0},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  5},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  5},
  {kName,     U,     &CB::nameAttr,     C(1),          C(kCodeMax),   C(100),   997553128,   false,  1},
  {kAddress,  U,     &CB::addressAttr,  C(5),          C(995),        C(100),   431247321,   false,  1},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       7830309,     false,  0},
};

constexpr GenColumn kTenPcnt[] = {
  {kKey,      U,     &CB::integerAttr,  C(1),          C(kBillion),   kN,       14618637,    true,   1},
  {kInt,      Same,  &CB::integerAttr,  k0,            k0,            k0,       0,           false,  0},
  {kSigned,   U,     &CB::signedAttr,   C(-kHalf),     C(kHalf),      kN,       177072576,   false,  2},
  {kFloat,    U,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      kN10,     1754590891,  false,  2},
  {kDouble,   U,     &CB::doubleAttr,   C(-kBillion),  C(kBillion),   kN10,     124321587,   false,  2},
  {kDecim,    Same,  &CB::doubleAttr,   k0,            k0,            k0,       0,           false,  0},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  1},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  1},
  {kName,     U,     &CB::nameAttr,     C(0),          C(9),          C(10),    2079464979,  false,  2},
  {kAddress,  U,     &CB::addressAttr,  C(0),          kN10m1,        kN10,     1379687929,  false,  2},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       816473355,   false,  0},
};

// uniques and updates differ in the key, what int repeats and the fill seed.
constexpr GenColumn kUniques[] = {
  {kKey,      U,     &CB::integerAttr,  C(1),          C(kBillion),   kN,       14618637,    true,   4},
  {kInt,      Same,  &CB::integerAttr,  k0,            k0,            k0,       0,           false,  0},
  {kSigned,   U,     &CB::signedAttr,   C(-kHalf),     C(kHalf),      kN,       842953455,   false,  4},
  {kFloat,    Z,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      C(10),    529756080,   false,  4},
  {kDouble,   Nrm,   &CB::doubleAttr,   C(-kBillion),  C(kBillion),   kN,       103893252,   false,  4},
  {kDecim,    U,     &CB::decimalAttr,  C(-kBillion),  C(kBillion),   kN,       190338507,   false,  4},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  4},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  4},
  {kName,     U,     &CB::nameAttr,     C(1),          C(kCodeMax),   kN,       76876519,    false,  4},
  {kAddress,  U,     &CB::addressAttr,  C(0),          kNm1,          kN,       1386640140,  false,  4},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       1280708942,  false,  0},
};

constexpr GenColumn kUpdates[] = {
  {kKey,      U,     &CB::keyAttr,      C(1),          kN,            kN,       728952890,   true,   5},
  {kInt,      Same,  &CB::keyAttr,      k0,            k0,            k0,       0,           false,  0},
  {kSigned,   U,     &CB::signedAttr,   C(-kHalf),     C(kHalf),      kN,       842953455,   false,  4},
  {kFloat,    Z,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      C(10),    529756080,   false,  4},
  {kDouble,   Nrm,   &CB::doubleAttr,   C(-kBillion),  C(kBillion),   kN,       103893252,   false,  4},
  {kDecim,    U,     &CB::decimalAttr,  C(-kBillion),  C(kBillion),   kN,       190338507,   false,  4},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  4},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  4},
  {kName,     U,     &CB::nameAttr,     C(1),          C(kCodeMax),   kN,       76876519,    false,  4},
  {kAddress,  U,     &CB::addressAttr,  C(0),          kNm1,          kN,       1386640140,  false,  4},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       568158050,   false,  0},
};

constexpr GenColumn kTiny[] = {
  {kKey,      U,     &CB::keyAttr,      C(0),          C(0),          C(1),     1884316460,  false,  3},
};
// clang-format on

}  // namespace

const GenRelation kGenRelations[kGenRelationCount] = {
    // tag         name       suffix option helpName  heading                   one row
    {kTagUniques, "uniques", "uni", "-un", "uniques", "Uniques Relation:\n", false, kUniques},
    {kTagUpdates, "updates", "upd", "-up", "updates", "Updates Relation:\n", false, kUpdates},
    {kTagHundred, "hundred", "hun", "-hu", "hundred", "Hundred Relation:\n", false, kHundred},
    {kTagTenPcnt, "tenpcnt", "ten", "-te", "ten percent", "Ten Percent Relation:\n", false,
     kTenPcnt},
    {kTagTiny, "tiny", "tny", "-ti", "tiny", "Tiny Relation:\n", true, kTiny},
};

const GenRelation& Gen_RelationOf(std::int32_t tag) {
  for (const GenRelation& relation : kGenRelations) {
    if (relation.tag == tag) return relation;
  }
  CHECK_REQUIRE_TEXT(false, "tag names one of the five relations");
  return kGenRelations[0];
}

const GenRelation& Gen_RelationByTag(int index) {
  CHECK_REQUIRE(index >= 0 && index < kGenRelationCount);
  return Gen_RelationOf(kTagHundred + index);
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

GenFigures Gen_FiguresOf(const GenRelation& relation, const GenColumn& column, std::int32_t n) {
  const GenColumn& shown = column.dist == GenDist::kSameAs ? ShownBy(relation, column) : column;
  const std::int32_t min = shown.min.Of(n);
  return GenFigures{.dist = DistName(shown.dist),
                    .min = shown.missingOne ? min - 1 : min,
                    .max = shown.max.Of(n),
                    .distinct = shown.distinct.Of(n),
                    .shown = &shown};
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
    list += Gen_RelationByTag(i).option;
    list += close;
  }
  return list;
}

}  // namespace zervgen
