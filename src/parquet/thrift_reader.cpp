// parquet/thrift_reader.cpp: the compact protocol's read side.
#include "parquet/thrift_reader.h"

namespace zervgen {
namespace {

class Reader {
 public:
  Reader(const char* p, std::size_t n) : p_(reinterpret_cast<const unsigned char*>(p)), n_(n) {}

  bool Struct(ThriftValue* out, int depth);
  std::size_t used() const { return at_; }

 private:
  bool Byte(std::uint8_t* b) {
    if (at_ >= n_) return false;
    *b = p_[at_++];
    return true;
  }
  bool Varint(std::uint64_t* v) {
    *v = 0;
    for (int shift = 0; shift < 70; shift += 7) {
      std::uint8_t b = 0;
      if (!Byte(&b)) return false;
      *v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;  // longer than ten bytes
  }
  bool ZigZag(std::int64_t* v) {
    std::uint64_t u = 0;
    if (!Varint(&u)) return false;
    *v = static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
    return true;
  }
  bool Value(ThriftType type, ThriftValue* out, int depth);
  bool Items(ThriftValue* out, int depth);
  bool Map(ThriftValue* out, int depth);

  const unsigned char* p_;
  std::size_t n_;
  std::size_t at_ = 0;
};

bool Reader::Value(ThriftType type, ThriftValue* out, int depth) {
  out->type = type;
  switch (type) {
    case ThriftType::kBoolTrue:
    case ThriftType::kBoolFalse:
      out->number = type == ThriftType::kBoolTrue ? 1 : 0;
      return true;
    case ThriftType::kByte: {
      std::uint8_t b = 0;
      if (!Byte(&b)) return false;
      out->number = static_cast<std::int8_t>(b);
      return true;
    }
    case ThriftType::kI16:
    case ThriftType::kI32:
    case ThriftType::kI64:
      return ZigZag(&out->number);
    case ThriftType::kDouble: {
      if (n_ - at_ < 8) return false;
      std::uint64_t bits = 0;
      for (int i = 7; i >= 0; --i) bits = (bits << 8) | p_[at_ + static_cast<std::size_t>(i)];
      at_ += 8;
      out->number = static_cast<std::int64_t>(bits);
      return true;
    }
    case ThriftType::kBinary: {
      std::uint64_t size = 0;
      if (!Varint(&size) || size > n_ - at_) return false;
      out->bytes = std::string_view(reinterpret_cast<const char*>(p_ + at_), size);
      at_ += size;
      return true;
    }
    case ThriftType::kList:
    case ThriftType::kSet:
      return Items(out, depth);
    case ThriftType::kMap:
      return Map(out, depth);
    case ThriftType::kStruct:
      return Struct(out, depth);
  }
  return false;
}

bool ValidType(std::uint8_t code) { return code >= 1 && code <= 12; }

// Every element takes a byte at least (a list's bools one each), so a
// count past the bytes left is refused before anything is made of it.
bool Reader::Items(ThriftValue* out, int depth) {
  if (depth >= kThriftMaxDepth) return false;
  std::uint8_t head = 0;
  if (!Byte(&head)) return false;
  std::uint64_t count = head >> 4;
  if (count == 15 && !Varint(&count)) return false;
  const std::uint8_t code = head & 0x0F;
  if (!ValidType(code) || count > n_ - at_) return false;
  // A list's bools are one byte each: 1 true, 2 false (or 0 in old writers).
  const auto type = static_cast<ThriftType>(code == 2 ? 1 : code);
  out->items.resize(count);
  for (ThriftValue& item : out->items) {
    if (type == ThriftType::kBoolTrue) {
      std::uint8_t b = 0;
      if (!Byte(&b)) return false;
      item.type = type;
      item.number = b == 1 ? 1 : 0;
    } else if (!Value(type, &item, depth + 1)) {
      return false;
    }
  }
  return true;
}

bool Reader::Map(ThriftValue* out, int depth) {
  if (depth >= kThriftMaxDepth) return false;
  std::uint64_t count = 0;
  if (!Varint(&count) || count > n_ - at_) return false;
  if (count == 0) return true;
  std::uint8_t types = 0;
  if (!Byte(&types)) return false;
  const std::uint8_t key = types >> 4, value = types & 0x0F;
  if (!ValidType(key) || !ValidType(value)) return false;
  out->items.resize(2 * count);
  for (std::size_t i = 0; i < out->items.size(); i += 2) {
    if (!Value(static_cast<ThriftType>(key), &out->items[i], depth + 1) ||
        !Value(static_cast<ThriftType>(value), &out->items[i + 1], depth + 1)) {
      return false;
    }
  }
  return true;
}

bool Reader::Struct(ThriftValue* out, int depth) {
  if (depth >= kThriftMaxDepth) return false;
  out->type = ThriftType::kStruct;
  std::int64_t last = 0;
  for (;;) {
    std::uint8_t head = 0;
    if (!Byte(&head)) return false;
    if (head == 0) return true;  // the stop field
    const std::uint8_t code = head & 0x0F;
    if (!ValidType(code)) return false;
    std::int64_t id = last + (head >> 4);
    if ((head >> 4) == 0 && !ZigZag(&id)) return false;
    if (id < INT16_MIN || id > INT16_MAX) return false;
    last = id;
    out->fields.push_back(ThriftField{static_cast<std::int16_t>(id), {}});
    if (!Value(static_cast<ThriftType>(code), &out->fields.back().value, depth + 1)) return false;
  }
}

}  // namespace

const ThriftValue* ThriftValue::Field(std::int16_t id) const {
  for (const ThriftField& f : fields) {
    if (f.id == id) return &f.value;
  }
  return nullptr;
}

std::int64_t ThriftValue::Number(std::int16_t id, std::int64_t otherwise) const {
  const ThriftValue* v = Field(id);
  if (v == nullptr || v->type == ThriftType::kBinary || v->type == ThriftType::kStruct ||
      v->type == ThriftType::kList || v->type == ThriftType::kSet || v->type == ThriftType::kMap) {
    return otherwise;
  }
  return v->number;
}

std::size_t Thrift_ReadStruct(const char* p, std::size_t n, ThriftValue* out) {
  *out = ThriftValue{};
  Reader reader(p, n);
  if (!reader.Struct(out, 0)) {
    *out = ThriftValue{};
    return 0;
  }
  return reader.used();
}

}  // namespace zervgen
