// output/block.h: the row formatter's block way. Rows go a block at a time,
// one field at a time: first each field's texts (its pieces, made by
// output/pieces) for all rows of the block, with the field's kind and table
// settled once for the block, then the rows put together from those texts.
// The first pass is where the work is and has no branch on the kind per
// value; the second only copies, 32 bytes a move (one AVX2 move where the
// machine has it, or as OutputFieldCaches::blockCopy says). Owns the
// block's working memory and the date texts framed with their end, both
// kept in the caller's OutputFieldCaches. For output/rows.cpp only.
#ifndef ZERVGEN_SRC_OUTPUT_BLOCK_H_
#define ZERVGEN_SRC_OUTPUT_BLOCK_H_

#include <cstddef>
#include <cstdint>

#include "output/output.h"

namespace zervgen::output_detail {

// Whether BlockRows takes these rows: fill text is drawn row after row, so
// one fill field at most, and rows short enough for a block's scratch.
bool BlockFits(const OutputRowField* fields, int nFields, std::size_t bound);

// Writes `rows` rows of `fields` in `format` as Output_Rows does, each row
// in room of `bound` bytes, with the tables and working memory of `tables`.
// Returns 0, STATUS_ERROR when the stream failed, or 1 when the working
// memory cannot be had (nothing written: the caller formats the rows
// another way).
// REQUIRES: 1 <= nFields <= kMaxRowFields, BlockFits(fields, nFields, bound),
//           tables != NULL, bound at least Output_RowBound(fields, nFields)
template <bool kFixed>
int BlockRows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
              int nFields, std::int32_t rows, std::size_t bound, std::int32_t* fillState,
              OutputFieldCaches* tables);
extern template int BlockRows<true>(OutputStream* stream, const OutputFormat& format,
                                    const OutputRowField* fields, int nFields, std::int32_t rows,
                                    std::size_t bound, std::int32_t* fillState,
                                    OutputFieldCaches* tables);
extern template int BlockRows<false>(OutputStream* stream, const OutputFormat& format,
                                     const OutputRowField* fields, int nFields, std::int32_t rows,
                                     std::size_t bound, std::int32_t* fillState,
                                     OutputFieldCaches* tables);

}  // namespace zervgen::output_detail

#endif  // ZERVGEN_SRC_OUTPUT_BLOCK_H_
