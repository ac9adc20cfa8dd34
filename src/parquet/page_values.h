// parquet/page_values.h: the values of a data or dictionary page as a
// reader decodes them, for telling which value two pages of the same
// column first differ in: PLAIN values of the four physical types, and the
// dictionary indices of RLE_DICTIONARY pages (the RLE/bit-packed hybrid).
// Reads bytes that may be garbled: never past their end.
#ifndef ZERVGEN_SRC_PARQUET_PAGE_VALUES_H_
#define ZERVGEN_SRC_PARQUET_PAGE_VALUES_H_

#include <cstdint>

#include "parquet/buffer.h"
#include "parquet/format.h"

namespace zervgen {

// The index of the first of the `n` values that differs between the
// decompressed page bytes `want` (a writer's own, well formed) and `got`,
// of a column of `type` in `encoding` (a ParquetEncoding); -1 when that
// cannot be told from the bytes (the difference lies outside the values).
std::int64_t Parquet_FirstValueDiffering(const ParquetBuffer& want, const ParquetBuffer& got,
                                         ParquetType type, std::int32_t encoding, std::int64_t n);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_PAGE_VALUES_H_
