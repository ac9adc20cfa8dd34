// run/catalog.h: the one description of the five relations. Each relation
// has its name, file suffix, option, report heading and row rule; each of
// its columns its name, value type, field kind and width, its distribution
// (kind, range, distinct values, seed) and the slot its values live in.
// Everything else that knows the relations asks this table: the command
// line and its help text, the plan, the generation, the report's column
// lines and column map, the Parquet schema and sizing, -describe.
#ifndef ZERVGEN_SRC_RUN_CATALOG_H_
#define ZERVGEN_SRC_RUN_CATALOG_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/columns.h"
#include "output/output.h"
#include "run/value_type.h"

namespace zervgen {

// The number of relations.
inline constexpr int kGenRelationCount = 5;

// A figure of a column: a constant, or a function of the row count n.
struct GenNum {
  enum Kind : std::uint8_t { kConst, kN, kNDiv10, kNMinus1, kNDiv10Minus1, kDays };
  Kind kind;
  std::int32_t value;
  // The figure for a relation of n rows.
  std::int32_t Of(std::int32_t n) const;
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
  bool missingOne;        // the value 1 is replaced by 0
  std::int32_t reuseTag;  // a slot left holding this relation's values serves as they are
};

// One of the five relations.
struct GenRelation {
  std::int32_t tag;                    // kTagHundred ..
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

// The five relations in the order a run generates them: uniques, updates,
// hundred, tenpcnt, tiny.
extern const GenRelation kGenRelations[kGenRelationCount];

// The relation of `tag`. REQUIRES: tag is one of kTagHundred .. kTagUpdates
const GenRelation& Gen_RelationOf(std::int32_t tag);
// The relations by tag (hundred, tenpcnt, tiny, uniques, updates): the order
// the help text and the messages list them in.
const GenRelation& Gen_RelationByTag(int index);

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
