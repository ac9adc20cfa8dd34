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

// Makes the format of one file of the relation `relName` from its fields.
using GenFormatMaker = std::function<std::unique_ptr<GenFormat>(
    const char* relName, std::span<const GenColumnSpec> fields)>;

// Generates the relation of `plan` (its columns, once) and writes each of
// its files through a format made by `makeFormat` (none: text rows in the
// framing as it stands).
// REQUIRES: cb != NULL
void Gen_Relation(GenControlBlock* cb, const GenRelationPlan& plan,
                  const GenFormatMaker& makeFormat = nullptr);

// The five relations. REQUIRES: cb != NULL, path != NULL
void Gen_Hundred(GenControlBlock* cb, const char* path);
void Gen_TenPcnt(GenControlBlock* cb, const char* path);
void Gen_Tiny(GenControlBlock* cb, const char* path);
void Gen_Uniques(GenControlBlock* cb, const char* path);
void Gen_Updates(GenControlBlock* cb, const char* path);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_SCHEMAS_H_
