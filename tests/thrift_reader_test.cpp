// Tests of the compact protocol's read side: what the writer writes reads
// back field for field, and bytes cut short or garbled fail cleanly.
#include "parquet/thrift_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "parquet/buffer.h"
#include "parquet/thrift.h"

namespace zervgen {
namespace {

// A struct of every kind of field the footer has, ids far apart included.
ParquetBuffer Sample() {
  ParquetBuffer out;
  ThriftWriter w(&out);
  w.FieldBool(1, true);
  w.FieldI32(2, -123456);
  w.FieldI64(3, INT64_MIN);
  w.FieldString(4, "hundred");
  w.BeginList(40, ThriftType::kStruct, 20);
  for (int i = 0; i < 20; ++i) {
    w.BeginListStruct();
    w.FieldI16(1, static_cast<std::int16_t>(i));
    w.FieldBool(2, false);
    w.End();
  }
  w.BeginStruct(41);
  w.BeginList(1, ThriftType::kI32, 2);
  w.ListI32(8);
  w.ListI32(-1);
  w.End();
  w.End();
  return out;
}

TEST(ThriftReader, ReadsWhatTheWriterWrites) {
  const ParquetBuffer bytes = Sample();
  ThriftValue v;
  ASSERT_EQ(Thrift_ReadStruct(bytes.data(), bytes.size(), &v), bytes.size());
  EXPECT_EQ(v.Number(1, -1), 1);
  EXPECT_EQ(v.Number(2, 0), -123456);
  EXPECT_EQ(v.Number(3, 0), INT64_MIN);
  ASSERT_NE(v.Field(4), nullptr);
  EXPECT_EQ(v.Field(4)->bytes, "hundred");
  const ThriftValue* list = v.Field(40);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->items.size(), 20u);
  EXPECT_EQ(list->items[19].Number(1, -1), 19);
  EXPECT_EQ(list->items[19].Number(2, -1), 0);
  const ThriftValue* inner = v.Field(41);
  ASSERT_NE(inner, nullptr);
  ASSERT_EQ(inner->Field(1)->items.size(), 2u);
  EXPECT_EQ(inner->Field(1)->items[1].number, -1);
  EXPECT_EQ(v.Field(5), nullptr);
  EXPECT_EQ(v.Number(5, 77), 77);
}

TEST(ThriftReader, BytesCutShortFail) {
  const ParquetBuffer bytes = Sample();
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    ThriftValue v;
    EXPECT_EQ(Thrift_ReadStruct(bytes.data(), n, &v), 0u) << n;
  }
}

TEST(ThriftReader, CountsLengthsAndNestingPastTheBytesFail) {
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"a list of 2^31 elements", std::string("\x19\xFC\xFF\xFF\xFF\xFF\x07\x00", 8)},
      {"a binary of 2^40 bytes", std::string("\x18\x80\x80\x80\x80\x80\x20", 7) + "abc"},
      {"a varint of eleven bytes", std::string("\x15") + std::string(10, '\xFF') + "\x01"},
      {"an unknown type", std::string("\x1E\x00", 2)},
      {"structs nested too deep", std::string(100, '\x1C')},
      {"a map of more pairs than bytes", std::string("\x1B\xFF\xFF\x03\x55", 5)},
  };
  for (const auto& c : cases) {
    ThriftValue v;
    EXPECT_EQ(Thrift_ReadStruct(c.bytes.data(), c.bytes.size(), &v), 0u) << c.name;
  }
}

}  // namespace
}  // namespace zervgen
