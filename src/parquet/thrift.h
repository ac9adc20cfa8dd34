// parquet/thrift.h: the Thrift compact protocol, write side only: the field
// headers with their id deltas, varints and zigzag integers, binaries,
// lists and nested structs the Parquet footer and page headers are made of.
// Bytes go to a ParquetBuffer; a failed growth shows in the buffer's ok().
#ifndef ZERVGEN_SRC_PARQUET_THRIFT_H_
#define ZERVGEN_SRC_PARQUET_THRIFT_H_

#include <cstddef>
#include <cstdint>

#include "parquet/buffer.h"

namespace zervgen {

// The compact protocol's type codes (the low nibble of a field header).
enum class ThriftType : std::uint8_t {
  kBoolTrue = 1,
  kBoolFalse = 2,
  kByte = 3,
  kI16 = 4,
  kI32 = 5,
  kI64 = 6,
  kDouble = 7,
  kBinary = 8,
  kList = 9,
  kSet = 10,
  kMap = 11,
  kStruct = 12,
};

inline std::uint32_t Thrift_ZigZag32(std::int32_t v) {
  return (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
}
inline std::uint64_t Thrift_ZigZag64(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
// An unsigned LEB128 varint.
void Thrift_PutVarint(ParquetBuffer* out, std::uint64_t v);

// Writes one struct (with the structs nested in it) field by field. Field
// ids within one struct must rise; each struct is closed by End().
class ThriftWriter {
 public:
  static constexpr int kMaxDepth = 16;

  explicit ThriftWriter(ParquetBuffer* out) : out_(out) {}

  void FieldBool(std::int16_t id, bool v) {
    Header(id, v ? ThriftType::kBoolTrue : ThriftType::kBoolFalse);
  }
  void FieldI8(std::int16_t id, std::int8_t v);
  void FieldI16(std::int16_t id, std::int16_t v);
  void FieldI32(std::int16_t id, std::int32_t v);
  void FieldI64(std::int16_t id, std::int64_t v);
  void FieldBinary(std::int16_t id, const void* bytes, std::size_t n);
  void FieldString(std::int16_t id, const char* text);
  // A struct-valued field; its fields follow, then End().
  void BeginStruct(std::int16_t id);
  // A list-valued field of `size` elements of `element` type; the elements
  // follow with the List* calls (struct elements with BeginListStruct).
  void BeginList(std::int16_t id, ThriftType element, std::int32_t size);
  void ListI32(std::int32_t v) { Thrift_PutVarint(out_, Thrift_ZigZag32(v)); }
  void ListString(const char* text);
  void ListBinary(const void* bytes, std::size_t n);
  void ListBool(bool v) { out_->PutByte(v ? 1 : 2); }
  void ListI64(std::int64_t v) { Thrift_PutVarint(out_, Thrift_ZigZag64(v)); }
  void BeginListStruct();
  // Closes the innermost open struct, the outermost one included.
  void End();

 private:
  void Header(std::int16_t id, ThriftType type);
  void Push();

  ParquetBuffer* out_;
  std::int16_t lastId_[kMaxDepth] = {};
  int depth_ = 0;  // index of the current struct in lastId_
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_PARQUET_THRIFT_H_
