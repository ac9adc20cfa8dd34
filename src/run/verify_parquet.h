// run/verify_parquet.h: the check of a Parquet file by what a reader decodes
// from it. The file is first compared byte for byte with the bytes the
// writer makes (the fast way, and the whole check for a file this build
// wrote). At the first difference the check turns to content: it decodes
// the file's footer and, row group by row group, walks the pages of each
// column chunk where the file's own metadata puts them, comparing every
// page header (apart from the compressed size and CRC) and every page's
// decompressed bytes with the writer's; then the footer's metadata (apart
// from sizes and offsets, which must instead lead to the pages found) and
// the page indexes and bloom filters where the file puts them. A file
// whose pages another codec library version or level compressed is so
// found OK; one whose values differ fails, naming row group, column and
// row. The file is read at offsets (pread): never all of it at once, and
// every size and count it gives is bounded before use.
#ifndef ZERVGEN_SRC_RUN_VERIFY_PARQUET_H_
#define ZERVGEN_SRC_RUN_VERIFY_PARQUET_H_

#include <memory>

#include "run/file_check.h"

namespace zervgen {

// A check of the regular file open at `fd` whose bytes are a Parquet file
// of the rows `rows`, worded as Gen_NewFileCheck words a Parquet file's
// outcome where the file does not decode.
// REQUIRES: fd >= 0 is a regular file, and stays open while the check lives
std::unique_ptr<GenFileCheck> Gen_NewParquetFileCheck(int fd, GenRows rows);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_VERIFY_PARQUET_H_
