// parquet/dictionary.h: the dictionary of a column chunk's int32 values. Owns
// the tables that find a chunk's distinct values, in the order of their
// first rows, and each row's entry among them, and the vector kernels that
// look up eight rows at a time where the processor has AVX2 (chosen at run
// time). Values within a small span are looked up by value; others in a
// hash table, with a direct table in front when the column has few
// distinct values. The dictionary is the same whichever way it is found.
// Pure computation: no I/O, no raise, no exception; safe on any thread
// with a dictionary of its own, whose tables are kept from chunk to chunk.
#ifndef ZERVGEN_SRC_PARQUET_DICTIONARY_H_
#define ZERVGEN_SRC_PARQUET_DICTIONARY_H_

#include <cstddef>
#include <cstdint>

#include "parquet/buffer.h"

namespace zervgen {

class ParquetDictionary {
 public:
  // The dictionary of rows 0 .. rows-1, row r's value at in[r * stride]:
  // *size entries at keys(), distinct, in the order of their first rows,
  // and row r's entry at indices()[r]. *size 0 when the rows have more
  // distinct values than `limit` (keys() and indices() then hold nothing
  // of use). `hint`, the distinct values the column is expected to have,
  // sizes the tables. kNoMemory when a table cannot be had.
  // REQUIRES: in != NULL, rows >= 1, limit >= 1
  [[nodiscard]] Status Build(const std::int32_t* in, std::ptrdiff_t stride, std::int32_t rows,
                             std::int32_t limit, std::int64_t hint, std::int32_t* size);
  // Room for a dictionary its caller finds some other way: `limit` entries
  // at keys() and `rows` at indices(); false when it cannot be had.
  [[nodiscard]] bool Reserve(std::int32_t limit, std::int32_t rows);

  // The entries and each row's entry, as the last Build or Reserve left
  // them; valid until the next one.
  std::int32_t* keys() { return keys_.data(); }
  std::uint32_t* indices() { return indices_.data(); }

 private:
  Status Dense(const std::int32_t* in, std::int32_t rows, std::int32_t limit, std::int32_t least,
               std::int64_t span, std::int32_t* size);
  Status Hashed(const std::int32_t* in, std::ptrdiff_t stride, std::int32_t rows,
                std::int32_t limit, std::int64_t hint, std::int32_t* size);

  ParquetArray<std::int32_t> keys_;           // the entries' values
  ParquetArray<std::uint32_t> indices_;       // each row's entry
  ParquetArray<std::uint64_t> slots_;         // hash table: value and entry + 1, 0 when free
  ParquetArray<std::int32_t> directKeys_;     // direct table of few values: the value
  ParquetArray<std::int32_t> directEntries_;  // and its entry, -1 when free (or by value)
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_DICTIONARY_H_
