// run/schemas.h: the five relations: for each, its columns' distributions
// (in report order) and its fields (in row order). A relation is generated
// column by column into the control block's slots, then written to the
// files of its plan.
#ifndef ZERVGEN_SRC_RUN_SCHEMAS_H_
#define ZERVGEN_SRC_RUN_SCHEMAS_H_

#include <functional>
#include <memory>
#include <span>

#include "core/columns.h"
#include "run/format.h"
#include "run/plan.h"
#include "run/writer.h"

namespace zervgen {

// A relation's columns (their distributions, in report order) and fields
// (in row order).
struct GenSchema;

// One of the five relations: everything the command line, the plan, the
// report and the generation know of it.
struct GenRelation {
  std::int32_t tag;              // kTagHundred ..
  const char* name;              // "hundred": progress, Parquet schema
  const char* suffix;            // "hun": the default file is "zerv.hun"
  const char* option;            // "-hu": generates just this relation
  const char* heading;           // "Hundred Relation:\n": its section of the report
  const GenSchema& (*schema)();  // its columns and fields
};

// The five relations in the order a run generates them: uniques, updates,
// hundred, tenpcnt, tiny.
extern const GenRelation kGenRelations[kGenRelationCount];

// The relation of `tag`. REQUIRES: tag is one of kTagHundred .. kTagUpdates
const GenRelation& Gen_RelationOf(std::int32_t tag);

// Makes the format of one file of the relation `relName` from its fields.
using GenFormatMaker = std::function<std::unique_ptr<GenFormat>(
    const char* relName, std::span<const GenColumnSpec> fields)>;

// What is done with each file of a relation instead of writing it (a check
// of an existing file): given the file's plan, the relation's name, its
// fields and the format made for the file.
using GenFileAction =
    std::function<GenWriteStatus(GenControlBlock* cb, const GenFilePlan& file, const char* relName,
                                 std::span<const GenColumnSpec> fields, GenFormat* format)>;

// Generates the relation of `plan` (its columns, once) and writes each of
// its files through a format made by `makeFormat` (none: comma-delimited
// text rows); with `onFile`, hands each file to it instead of
// writing it. kOutOfMemory when the columns or a file could not have the
// memory they need (no partial file is left).
// REQUIRES: cb != NULL
[[nodiscard]] GenWriteStatus Gen_Relation(GenControlBlock* cb, const GenRelationPlan& plan,
                                          const GenFormatMaker& makeFormat = nullptr,
                                          const GenFileAction& onFile = nullptr);

// The whole relation of `tag` to `path`, as Gen_Relation.
// REQUIRES: cb != NULL, path != NULL, tag names one of the five relations
[[nodiscard]] GenWriteStatus Gen_WholeRelation(GenControlBlock* cb, std::int32_t tag,
                                               const char* path,
                                               const GenFormatMaker& makeFormat = nullptr);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_SCHEMAS_H_
