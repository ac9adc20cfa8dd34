// gen_schemas.h: the five relations: for each, its columns' distributions
// (in report order) and its fields (in row order). A relation is generated
// column by column into the control block's slots, then written to the
// files of its plan.
#ifndef ZERVGEN_SRC_GEN_SCHEMAS_H_
#define ZERVGEN_SRC_GEN_SCHEMAS_H_

#include <functional>
#include <memory>
#include <span>

#include "gen.h"
#include "gen_format.h"
#include "gen_plan.h"
#include "gen_writer.h"

namespace zervgen {

// Makes the format of one file of the relation `relName` from its fields.
using GenFormatMaker = std::function<std::unique_ptr<GenFormat>(
    const char* relName, std::span<const GenColumnSpec> fields)>;

// What is done with each file of a relation instead of writing it (a check
// of an existing file): given the file's plan, the relation's name, its
// fields and the format made for the file.
using GenFileAction =
    std::function<void(GenControlBlock* cb, const GenFilePlan& file, const char* relName,
                       std::span<const GenColumnSpec> fields, GenFormat* format)>;

// Generates the relation of `plan` (its columns, once) and writes each of
// its files through a format made by `makeFormat` (none: text rows in the
// framing as it stands); with `onFile`, hands each file to it instead of
// writing it.
// REQUIRES: cb != NULL
void Gen_Relation(GenControlBlock* cb, const GenRelationPlan& plan,
                  const GenFormatMaker& makeFormat = nullptr,
                  const GenFileAction& onFile = nullptr);

// The five relations. REQUIRES: cb != NULL, path != NULL
void Gen_Hundred(GenControlBlock* cb, const char* path);
void Gen_TenPcnt(GenControlBlock* cb, const char* path);
void Gen_Tiny(GenControlBlock* cb, const char* path);
void Gen_Uniques(GenControlBlock* cb, const char* path);
void Gen_Updates(GenControlBlock* cb, const char* path);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_GEN_SCHEMAS_H_
