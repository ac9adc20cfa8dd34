// run/catalog.h: the one description of the relations. Each relation has
// its name, file suffix, option, report heading and row rule; each of its
// columns its name, value type, field kind and width, its distribution
// (kind, range, distinct values, seed) and the slot its values live in.
// Everything else that knows the relations asks this table: the command
// line and its help text, the plan, the generation, the report's column
// lines and column map, the Parquet schema and sizing, -describe. The
// relation count, each relation's tag and the longest suffix follow from
// it at compile time.
#ifndef ZERVGEN_SRC_RUN_CATALOG_H_
#define ZERVGEN_SRC_RUN_CATALOG_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

#include "base/date.h"
#include "core/columns.h"
#include "output/output.h"
#include "run/value_type.h"

namespace zervgen {

// A figure of a column: a constant, or a function of the row count n:
// n / perRows + add (integer division), at most `cap` when one is given.
struct GenNum {
  std::int32_t perRows;  // 0: the constant `add`
  std::int32_t add;
  std::int32_t cap;  // 0: none
  // The figure for a relation of n rows.
  constexpr std::int32_t Of(std::int32_t n) const {
    if (perRows == 0) return add;
    const std::int32_t value = n / perRows + add;
    return cap != 0 && value > cap ? cap : value;
  }
  constexpr bool Constant() const { return perRows == 0; }
};

// How a column's values are drawn. kSameAs: the column shows the values of
// the column before it that has the same slot (no values of its own).
enum class GenDist : std::uint8_t { kUniform, kNormal, kZipfian, kSameAs, kFill };

using GenSlotOf = GenAttr GenControlBlock::*;

// What a column is, whatever relation it is in: its name, its type, how its
// field is written and how wide it is in fixed-format rows.
struct GenColumnKind {
  const char* name;
  GenValueType type;
  OutputKind kind;
  int width;              // kGenFillWidth: the run's fill width
  std::int32_t minChars;  // text: the shortest text; 0 for numbers
};

// The width of the fill field: the run's fill width.
inline constexpr int kGenFillWidth = -1;

// One column of a relation: which column it is, and how its values are made.
struct GenColumn {
  int column;  // index into Gen_ColumnKinds()
  GenDist dist;
  GenSlotOf slot;  // where its values are (kSameAs: those of the column it shows)
  GenNum min;
  GenNum max;
  GenNum distinct;
  std::int32_t seed;
  bool missingOne;  // the value 1 is replaced by 0
  // The relation (by name) whose values of this column, left in the slot,
  // serve as they are; nullptr: none (a repeated or fill column).
  const char* reuses;
};

// One relation.
struct GenRelation {
  const char* name;                    // "hundred": progress, Parquet schema, -describe
  const char* suffix;                  // "hun": the default file is "zerv.hun"
  const char* option;                  // "-hu": generates just this relation
  const char* helpName;                // "hundred": "Generate just the hundred table."
  const char* heading;                 // "Hundred Relation:\n": its section of the report
  bool oneRow;                         // it has one row, whatever the row count
  std::span<const GenColumn> columns;  // in row order

  // Rows of the relation for a run of nRows rows.
  std::int32_t Rows(std::int32_t nRows) const { return oneRow ? 1 : nRows; }
};

namespace gen_catalog {

using CB = GenControlBlock;
using T = GenValueType;
using K = OutputKind;

constexpr GenNum C(std::int32_t v) { return {0, v, 0}; }
inline constexpr GenNum kN{1, 0, 0};
inline constexpr GenNum kN10{10, 0, 0};
inline constexpr GenNum kNm1{1, -1, 0};
inline constexpr GenNum kN10m1{10, -1, 0};
inline constexpr GenNum kDays{1, 0, DATE_MAX_DAY + 1};  // one value a day at most
inline constexpr GenNum k0 = C(0);

inline constexpr std::int32_t kBillion = 1000000000;
inline constexpr std::int32_t kHalf = 500000000;
inline constexpr std::int32_t kCodeMax = 1000000001;
inline constexpr std::int32_t kLastDay = DATE_MAX_DAY;

enum Column { kKey, kInt, kSigned, kFloat, kDouble, kDecim, kDate, kCode, kName, kAddress, kFill };

// clang-format off
inline constexpr GenColumnKind kKinds[] = {
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

inline constexpr GenDist U = GenDist::kUniform, Nrm = GenDist::kNormal, Z = GenDist::kZipfian,
                  Same = GenDist::kSameAs, Fill = GenDist::kFill;

inline constexpr GenColumn kHundred[] = {
  // column   dist   slot               min            max            distinct  seed         no 1    reuses
  {kKey,      U,     &CB::keyAttr,      C(1),          kN,            kN,       728952890,   true,   "updates"},
  {kInt,      U,     &CB::integerAttr,  C(1),          C(kBillion),   kN,       14618637,    true,   "uniques"},
  {kSigned,   U,     &CB::signedAttr,   C(100),        C(199),        C(100),   77673249,    false,  "hundred"},
  {kFloat,    U,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      C(100),   1892379368,  false,  "hundred"},
  {kDouble,   U,     &CB::doubleAttr,   C(-kBillion),  C(kBillion),   C(100),   947883060,   false,  "hundred"},
  {kDecim,    Same,  &CB::doubleAttr,   k0,            k0,            k0,       0,           false,  nullptr},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  "updates"},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  "updates"},
  {kName,     U,     &CB::nameAttr,     C(1),          C(kCodeMax),   C(100),   997553128,   false,  "hundred"},
  {kAddress,  U,     &CB::addressAttr,  C(5),          C(995),        C(100),   431247321,   false,  "hundred"},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       7830309,     false,  nullptr},
};

inline constexpr GenColumn kTenPcnt[] = {
  {kKey,      U,     &CB::integerAttr,  C(1),          C(kBillion),   kN,       14618637,    true,   "hundred"},
  {kInt,      Same,  &CB::integerAttr,  k0,            k0,            k0,       0,           false,  nullptr},
  {kSigned,   U,     &CB::signedAttr,   C(-kHalf),     C(kHalf),      kN,       177072576,   false,  "tenpcnt"},
  {kFloat,    U,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      kN10,     1754590891,  false,  "tenpcnt"},
  {kDouble,   U,     &CB::doubleAttr,   C(-kBillion),  C(kBillion),   kN10,     124321587,   false,  "tenpcnt"},
  {kDecim,    Same,  &CB::doubleAttr,   k0,            k0,            k0,       0,           false,  nullptr},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  "hundred"},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  "hundred"},
  {kName,     U,     &CB::nameAttr,     C(0),          C(9),          C(10),    2079464979,  false,  "tenpcnt"},
  {kAddress,  U,     &CB::addressAttr,  C(0),          kN10m1,        kN10,     1379687929,  false,  "tenpcnt"},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       816473355,   false,  nullptr},
};

// uniques and updates differ in the key, what int repeats and the fill seed.
inline constexpr GenColumn kUniques[] = {
  {kKey,      U,     &CB::integerAttr,  C(1),          C(kBillion),   kN,       14618637,    true,   "uniques"},
  {kInt,      Same,  &CB::integerAttr,  k0,            k0,            k0,       0,           false,  nullptr},
  {kSigned,   U,     &CB::signedAttr,   C(-kHalf),     C(kHalf),      kN,       842953455,   false,  "uniques"},
  {kFloat,    Z,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      C(10),    529756080,   false,  "uniques"},
  {kDouble,   Nrm,   &CB::doubleAttr,   C(-kBillion),  C(kBillion),   kN,       103893252,   false,  "uniques"},
  {kDecim,    U,     &CB::decimalAttr,  C(-kBillion),  C(kBillion),   kN,       190338507,   false,  "uniques"},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  "uniques"},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  "uniques"},
  {kName,     U,     &CB::nameAttr,     C(1),          C(kCodeMax),   kN,       76876519,    false,  "uniques"},
  {kAddress,  U,     &CB::addressAttr,  C(0),          kNm1,          kN,       1386640140,  false,  "uniques"},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       1280708942,  false,  nullptr},
};

inline constexpr GenColumn kUpdates[] = {
  {kKey,      U,     &CB::keyAttr,      C(1),          kN,            kN,       728952890,   true,   "updates"},
  {kInt,      Same,  &CB::keyAttr,      k0,            k0,            k0,       0,           false,  nullptr},
  {kSigned,   U,     &CB::signedAttr,   C(-kHalf),     C(kHalf),      kN,       842953455,   false,  "uniques"},
  {kFloat,    Z,     &CB::floatAttr,    C(-kHalf),     C(kHalf),      C(10),    529756080,   false,  "uniques"},
  {kDouble,   Nrm,   &CB::doubleAttr,   C(-kBillion),  C(kBillion),   kN,       103893252,   false,  "uniques"},
  {kDecim,    U,     &CB::decimalAttr,  C(-kBillion),  C(kBillion),   kN,       190338507,   false,  "uniques"},
  {kDate,     U,     &CB::dateAttr,     C(0),          C(kLastDay),   kDays,    1376793920,  false,  "uniques"},
  {kCode,     U,     &CB::codeAttr,     C(1),          C(kCodeMax),   kN,       599774169,   false,  "uniques"},
  {kName,     U,     &CB::nameAttr,     C(1),          C(kCodeMax),   kN,       76876519,    false,  "uniques"},
  {kAddress,  U,     &CB::addressAttr,  C(0),          kNm1,          kN,       1386640140,  false,  "uniques"},
  {kFill,     Fill,  &CB::fillAttr,     k0,            k0,            k0,       568158050,   false,  nullptr},
};

inline constexpr GenColumn kTiny[] = {
  {kKey,      U,     &CB::keyAttr,      C(0),          C(0),          C(1),     1884316460,  false,  "tiny"},
};
// clang-format on

}  // namespace gen_catalog

// The relations in the order a run generates them: uniques, updates,
// hundred, tenpcnt, tiny. A relation's tag is its place here, counted
// from 1 (a slot's owner tag 0 is no relation).
// clang-format off
inline constexpr GenRelation kGenRelations[] = {
  // name      suffix  option  helpName       heading                    one row  columns
  {"uniques",  "uni",  "-un",  "uniques",     "Uniques Relation:\n",     false,   gen_catalog::kUniques},
  {"updates",  "upd",  "-up",  "updates",     "Updates Relation:\n",     false,   gen_catalog::kUpdates},
  {"hundred",  "hun",  "-hu",  "hundred",     "Hundred Relation:\n",     false,   gen_catalog::kHundred},
  {"tenpcnt",  "ten",  "-te",  "ten percent", "Ten Percent Relation:\n", false,   gen_catalog::kTenPcnt},
  {"tiny",     "tny",  "-ti",  "tiny",        "Tiny Relation:\n",        true,    gen_catalog::kTiny},
};
// clang-format on

// The number of relations.
inline constexpr int kGenRelationCount = static_cast<int>(std::size(kGenRelations));

// The tag of a relation of kGenRelations: its place there, from 1.
constexpr std::int32_t Gen_TagOf(const GenRelation& relation) {
  return static_cast<std::int32_t>(&relation - kGenRelations) + 1;
}

// The relation named `name`, or null.
constexpr const GenRelation* Gen_RelationNamed(std::string_view name) {
  for (const GenRelation& relation : kGenRelations) {
    if (name == relation.name) return &relation;
  }
  return nullptr;
}

// The place of `relation` in the order the help text and the messages
// list the relations: by name, alphabetically.
constexpr int Gen_ListPlaceOf(const GenRelation& relation) {
  int place = 0;
  for (const GenRelation& r : kGenRelations) {
    if (std::string_view(r.name) < relation.name) ++place;
  }
  return place;
}

// The length of the longest file suffix ("hun": 3).
constexpr std::size_t Gen_LongestSuffix() {
  std::size_t longest = 0;
  for (const GenRelation& r : kGenRelations) {
    longest = std::max(longest, std::string_view(r.suffix).size());
  }
  return longest;
}

// The relation of `tag`. REQUIRES: 1 <= tag <= kGenRelationCount
const GenRelation& Gen_RelationOf(std::int32_t tag);
// The relation at `index` (0 ..) in the order the help text and the
// messages list them: hundred, tenpcnt, tiny, uniques, updates.
const GenRelation& Gen_RelationListed(int index);
// The tag of the relation whose values `column` reuses; 0 when none.
std::int32_t Gen_ReuseTagOf(const GenColumn& column);

// The kinds of every column, in row order: key .. fill.
std::span<const GenColumnKind> Gen_ColumnKinds();
const GenColumnKind& Gen_KindOf(const GenColumn& column);

// What the report's line of a column shows, and -describe gives: the
// distribution's name, its smallest and largest value and its distinct
// values (a column without 1 has 0 as its smallest).
struct GenFigures {
  const char* dist;  // "Uniform", "Normal", "Zipfian", "Fill"
  std::int32_t min;
  std::int32_t max;
  std::int32_t distinct;
  const GenColumn* shown;  // kSameAs: the column whose values it shows; else itself
};
GenFigures Gen_FiguresOf(const GenRelation& relation, const GenColumn& column, std::int32_t n);
// The same figures as functions of the row count: what -describe gives as
// the rules of every run.
struct GenRules {
  GenNum min;
  GenNum max;
  GenNum distinct;
  const GenColumn* shown;
};
GenRules Gen_RulesOf(const GenRelation& relation, const GenColumn& column);

// The report's line of one column of a relation of n rows, with a fill of
// nFill characters.
std::string Gen_ColumnLine(const GenRelation& relation, const GenColumn& column, std::int32_t n,
                           std::int16_t nFill);
// The report's heading of the column lines.
extern const char kGenColumnTableHeader[];

// A field's width in fixed-format rows (a float shows two decimals more;
// the fill is nFill wide).
int Gen_FixedWidthOf(const GenColumnKind& kind, std::int16_t nFill);
// Width of a fixed-format row of the widest relation, without its fill.
int Gen_FixedRowWidth();
// The report's column map of fixed-format rows with a fill of nFill.
std::string Gen_ColumnMap(std::int16_t nFill);
// The bytes of the widest row's values as a typed format holds them: four
// for an int32 or date, eight for a decimal or double, a text at its
// longest and four for its length (the fill not counted); and its columns.
std::size_t Gen_WidestRowValueBytes();
std::size_t Gen_WidestRowColumns();

// The relation options as a message lists them: "-hu", "-te", ... with
// `open` and `close` around each, `between` between them and `last`
// before the last ("\"-hu\", \"-te\", \"-ti\", \"-un\", and \"-up\"").
std::string Gen_OptionList(const char* open, const char* close, const char* between,
                           const char* last);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_CATALOG_H_
