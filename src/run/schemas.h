// run/schemas.h: the generation of a relation. Its columns (run/catalog.h)
// are generated column by column into the control block's slots, then
// written as its fields to the files of its plan.
#ifndef ZERVGEN_SRC_RUN_SCHEMAS_H_
#define ZERVGEN_SRC_RUN_SCHEMAS_H_

#include <functional>
#include <memory>
#include <span>

#include "core/columns.h"
#include "run/catalog.h"
#include "run/format.h"
#include "run/plan.h"
#include "run/writer.h"

namespace zervgen {

// Makes the format of one file of the relation `relName` from its fields.
using GenFormatMaker = std::function<std::unique_ptr<GenFormat>(
    const char* relName, std::span<const GenColumnSpec> fields)>;

// What is done with each file of a relation instead of writing it (a check
// of an existing file): given the file's plan, the relation's name, its
// fields and the format made for the file.
using GenFileAction =
    std::function<Status(GenControlBlock* cb, const GenFilePlan& file, const char* relName,
                         std::span<const GenColumnSpec> fields, GenFormat* format)>;

// Generates the relation of `plan` (its columns, once) and writes each of
// its files through a format made by `makeFormat` (none: comma-delimited
// text rows); with `onFile`, hands each file to it instead of
// writing it. NoMemory when the columns or a file could not have the
// memory they need (no partial file is left).
// REQUIRES: cb != NULL
[[nodiscard]] Status Gen_Relation(GenControlBlock* cb, const GenRelationPlan& plan,
                                  const GenFormatMaker& makeFormat = nullptr,
                                  const GenFileAction& onFile = nullptr);

// The whole relation of `tag` to `path`, as Gen_Relation.
// REQUIRES: cb != NULL, path != NULL, tag names one of the relations
[[nodiscard]] Status Gen_WholeRelation(GenControlBlock* cb, std::int32_t tag, const char* path,
                                       const GenFormatMaker& makeFormat = nullptr);

// Main thread: explains a failed temporary-file write of a column's values
// (errno `error`) and raises XEPT_GEN_FAILED.
// REQUIRES: attr != NULL
[[noreturn]] void Gen_TempWriteFailed(const GenAttr* attr, int error);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_SCHEMAS_H_
