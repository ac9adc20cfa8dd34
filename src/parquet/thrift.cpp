// parquet/thrift.cpp: the compact protocol's write side.
#include "parquet/thrift.h"

#include <cstring>

#include "base/except.h"

namespace zervgen {

void Thrift_PutVarint(ParquetBuffer* out, std::uint64_t v) {
  char bytes[10];
  int n = 0;
  while (v >= 0x80) {
    bytes[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  bytes[n++] = static_cast<char>(v);
  out->Append(bytes, static_cast<std::size_t>(n));
}

// A short header packs the id delta (1..15) with the type; any other id
// follows the type byte as a zigzag varint.
void ThriftWriter::Header(std::int16_t id, ThriftType type) {
  const int delta = id - lastId_[depth_];
  const auto code = static_cast<std::uint8_t>(type);
  if (delta > 0 && delta <= 15) {
    out_->PutByte(static_cast<std::uint8_t>((delta << 4) | code));
  } else {
    out_->PutByte(code);
    Thrift_PutVarint(out_, Thrift_ZigZag32(id));
  }
  lastId_[depth_] = id;
}

void ThriftWriter::Push() {
  // Deeper nesting than the Parquet footer has is a caller's mistake.
  CHECK_ASSERT_TEXT(depth_ + 1 < kMaxDepth, "depth_ + 1 < kMaxDepth");
  lastId_[++depth_] = 0;
}

void ThriftWriter::FieldI8(std::int16_t id, std::int8_t v) {
  Header(id, ThriftType::kByte);
  out_->PutByte(static_cast<std::uint8_t>(v));
}

void ThriftWriter::FieldI16(std::int16_t id, std::int16_t v) {
  Header(id, ThriftType::kI16);
  Thrift_PutVarint(out_, Thrift_ZigZag32(v));
}

void ThriftWriter::FieldI32(std::int16_t id, std::int32_t v) {
  Header(id, ThriftType::kI32);
  Thrift_PutVarint(out_, Thrift_ZigZag32(v));
}

void ThriftWriter::FieldI64(std::int16_t id, std::int64_t v) {
  Header(id, ThriftType::kI64);
  Thrift_PutVarint(out_, Thrift_ZigZag64(v));
}

void ThriftWriter::FieldBinary(std::int16_t id, const void* bytes, std::size_t n) {
  Header(id, ThriftType::kBinary);
  Thrift_PutVarint(out_, n);
  out_->Append(bytes, n);
}

void ThriftWriter::FieldString(std::int16_t id, const char* text) {
  FieldBinary(id, text, std::strlen(text));
}

void ThriftWriter::BeginStruct(std::int16_t id) {
  Header(id, ThriftType::kStruct);
  Push();
}

void ThriftWriter::BeginList(std::int16_t id, ThriftType element, std::int32_t size) {
  Header(id, ThriftType::kList);
  const auto code = static_cast<std::uint8_t>(element);
  if (size >= 0 && size < 15) {
    out_->PutByte(static_cast<std::uint8_t>((size << 4) | code));
  } else {
    out_->PutByte(static_cast<std::uint8_t>(0xF0 | code));
    Thrift_PutVarint(out_, static_cast<std::uint32_t>(size));
  }
}

void ThriftWriter::ListString(const char* text) {
  const std::size_t n = std::strlen(text);
  Thrift_PutVarint(out_, n);
  out_->Append(text, n);
}

void ThriftWriter::ListBinary(const void* bytes, std::size_t n) {
  Thrift_PutVarint(out_, n);
  out_->Append(bytes, n);
}

void ThriftWriter::BeginListStruct() { Push(); }

void ThriftWriter::End() {
  out_->PutByte(0);  // the stop field
  if (depth_ > 0) --depth_;
}

}  // namespace zervgen
