// parquet/thrift_reader.h: the Thrift compact protocol, read side: decodes one
// struct (the structs, lists and maps nested in it) into a tree of fields
// that a caller can walk and compare. Made for bytes from a file that may be
// cut short or garbled: every length, count and nesting level is bounded by
// the bytes there are, and a decode that runs past them fails cleanly.
#ifndef ZERVGEN_SRC_PARQUET_THRIFT_READER_H_
#define ZERVGEN_SRC_PARQUET_THRIFT_READER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "parquet/thrift.h"

namespace zervgen {

struct ThriftField;

// One decoded value. Integers (bool as 0 or 1, a double as its bits) in
// `number`; a binary's bytes in `bytes`, pointing into the decoded input;
// a struct's fields in the order of the input; a list's or set's elements
// in `items` (a map's keys and values alternating).
struct ThriftValue {
  ThriftType type = ThriftType::kStruct;
  std::int64_t number = 0;
  std::string_view bytes;
  std::vector<ThriftField> fields;
  std::vector<ThriftValue> items;

  // The field `id` of a struct, or null.
  const ThriftValue* Field(std::int16_t id) const;
  // The number of field `id`, or `otherwise` when it is absent or no number.
  std::int64_t Number(std::int16_t id, std::int64_t otherwise) const;
};

struct ThriftField {
  std::int16_t id;
  ThriftValue value;
};

// The most levels of nesting decoded; deeper input fails.
inline constexpr int kThriftMaxDepth = 24;

// Decodes the struct at the start of the `n` bytes at `p` into *out.
// Returns the bytes it took, or 0 when they are not a whole struct (cut
// short, an unknown type, nesting deeper than kThriftMaxDepth, a count or a
// length past the bytes there are).
std::size_t Thrift_ReadStruct(const char* p, std::size_t n, ThriftValue* out);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_THRIFT_READER_H_
