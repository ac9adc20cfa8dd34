// parquet_convert_test.cpp: relation fields as Parquet column values: the
// numbers of each type, the texts the delimited format writes, fill text
// from any row on, and the choice of dictionary or plain.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/random.h"
#include "output/output.h"
#include "parquet/buffer.h"
#include "run/parquet_rows.h"

namespace zervgen {
namespace {

// The text the field writer makes for `value` as a last field, without its
// line end.
// The framing and fill stream of the field writers here; each test starts
// it afresh.
OutputFieldState writerState;

std::string WriterText(OutputWriter writer, std::int32_t value, int width) {
  OutputStream s(-1, 256);
  EXPECT_EQ(writer(&s, &writerState, value, width, 1), 0);
  return std::string(s.data(), s.size() - 1);
}

// Row r's value of the converted column, as text or number.
std::string TextAt(const ParquetValues& v, std::size_t r) {
  const std::size_t e = v.indices != nullptr ? v.indices[r] : r;
  return std::string(v.strings.data(e), v.strings.size(e));
}
template <typename T>
T At(const T* values, const ParquetValues& v, std::size_t r) {
  return values[v.indices != nullptr ? v.indices[r] : r];
}

class ParquetConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { writerState = OutputFieldState{Output_MakeFormat(',', 0), 1}; }
};

TEST_F(ParquetConvertTest, NumbersOfEachType) {
  // Row r's value at values[2r]: a stride as when two fields share a slot.
  std::vector<std::int32_t> values;
  for (std::int32_t r = 0; r < 4000; ++r) {
    values.push_back(r % 4 == 0 ? -166666667 : (r % 2 ? 36523 : r % 37));
    values.push_back(0);
  }
  struct {
    ParquetType type;
    OutputKind kind;
  } cases[] = {{ParquetType::kInt32, OutputKind::kInteger},
               {ParquetType::kDouble, OutputKind::kInteger},
               {ParquetType::kDecimal12_2, OutputKind::kInteger},
               {ParquetType::kDecimal12_2, OutputKind::kFloat}};
  for (const auto& c : cases) {
    for (std::int64_t hint : {std::int64_t{40}, std::int64_t{4000}}) {
      ParquetColumnConverter conv;
      const OutputRowField field{values.data(), 2, c.kind, 10};
      ASSERT_EQ(conv.Convert({"x", c.type, hint}, writerState.format, field, 4000, 1),
                StatusCode::kOk);
      const ParquetValues& v = conv.values();
      EXPECT_EQ(v.indices != nullptr, hint == 40);
      for (std::size_t r = 0; r < 4000; ++r) {
        const std::int32_t x = values[2 * r];
        if (c.type == ParquetType::kInt32) {
          ASSERT_EQ(At(v.i32, v, r), x);
        } else if (c.type == ParquetType::kDouble) {
          ASSERT_EQ(At(v.f64, v, r), static_cast<double>(x));
        } else {
          ASSERT_EQ(At(v.i64, v, r), std::int64_t{x} * 100);
        }
      }
    }
  }
  // Float's text "-166666667.00" is the decimal -166666667.00.
  ParquetColumnConverter conv;
  ASSERT_EQ(conv.Convert({"float", ParquetType::kDecimal12_2, 0}, writerState.format,
                         {values.data(), 2, OutputKind::kFloat, 10}, 1, 1),
            StatusCode::kOk);
  EXPECT_EQ(conv.values().i64[0], -16666666700);
  EXPECT_EQ(WriterText(Output_Float, -166666667, 10), "-166666667.00");
}

// Day 0 is 1900-01-01, day 25567 1970-01-01, day 36523 1999-12-31 (10956
// days after 1970-01-01); a day out of range is a status, not a raise.
TEST_F(ParquetConvertTest, Dates) {
  const std::vector<std::int32_t> days = {0, 25567, 36523, 59, 60};
  const std::int32_t want[] = {-25567, 0, 10956, -25508, -25507};
  ParquetColumnConverter conv;
  ASSERT_EQ(conv.Convert({"date", ParquetType::kDate, 36524}, writerState.format,
                         {days.data(), 1, OutputKind::kDate, 10}, 5, 1),
            StatusCode::kOk);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(conv.values().i32[i], want[i]);
  EXPECT_EQ(WriterText(Output_Date, 25567, 10), "1/1/1970");
  EXPECT_EQ(WriterText(Output_Date, 58, 10), "2/28/1900");
  EXPECT_EQ(WriterText(Output_Date, 59, 10), "3/1/1900");  // 1900 had no 29 February
  const std::vector<std::int32_t> bad = {3, 36524};
  EXPECT_EQ(conv.Convert({"date", ParquetType::kDate, 0}, writerState.format,
                         {bad.data(), 1, OutputKind::kDate, 10}, 2, 1),
            StatusCode::kOutOfRange);
  EXPECT_EQ(conv.Convert({"date", ParquetType::kInt32, 0}, writerState.format,
                         {bad.data(), 1, OutputKind::kDate, 10}, 2, 1),
            StatusCode::kInvalidArgument);
  EXPECT_EQ(conv.Convert({"date", ParquetType::kString, 0}, writerState.format,
                         {bad.data(), 1, OutputKind::kInteger, 10}, 2, 1),
            StatusCode::kInvalidArgument);
}

// Every text column holds the writer's text of each value, plain or with a
// dictionary, through a delimiter that changes the character sets.
TEST_F(ParquetConvertTest, TextsAreTheWritersTexts) {
  std::vector<std::int32_t> values;
  for (std::int32_t r = 0; r < 5000; ++r)
    values.push_back(r % 3 == 0 ? (r % 2 ? 1 : 5) : r * 7 % 997 + 2);
  struct {
    OutputKind kind;
    int width;
    std::int32_t value;
    const char* text;
  } cases[] = {{OutputKind::kFixed10, 10, 1, "BENCHMARKS"},
               {OutputKind::kFixed20, 20, 1, "THE+ZERV+BENCHMARKS+"},
               {OutputKind::kVarChar, 80, 5, "SILICON VALLEY"}};
  for (char delim : {',', 'a'}) {
    writerState.format = Output_MakeFormat(delim, 0);
    for (const auto& c : cases) {
      values[3] = c.value;
      for (std::int64_t hint : {std::int64_t{1000}, std::int64_t{5000}}) {
        ParquetColumnConverter conv;
        ASSERT_EQ(conv.Convert({"t", ParquetType::kString, hint}, writerState.format,
                               {values.data(), 1, c.kind, c.width}, 5000, 1),
                  StatusCode::kOk);
        const ParquetValues& v = conv.values();
        EXPECT_EQ(v.indices != nullptr, hint == 1000);
        for (std::size_t r = 0; r < 5000; ++r) {
          ASSERT_EQ(TextAt(v, r), WriterText(Output_WriterOf(c.kind), values[r], c.width)) << r;
        }
        EXPECT_EQ(TextAt(v, 3), c.text);
      }
    }
  }
  writerState.format = Output_MakeFormat(',', 0);
}

// Fill text of rows from row 300 on, with the stream jumped ahead to that
// row, is the text those rows have when the whole relation is written.
TEST_F(ParquetConvertTest, FillFromAnyRow) {
  constexpr std::int32_t kSeed = 816473355, kRows = 1000, kFirst = 300;
  for (std::int32_t width : {1, 17, 100}) {
    writerState.fillState = kSeed;
    std::vector<std::string> whole;
    for (std::int32_t r = 0; r < kRows; ++r) whole.push_back(WriterText(Output_Fill, width, width));
    const std::int32_t state =
        Ms_JumpAhead(kSeed, static_cast<std::uint64_t>(kFirst) * Output_FillDraws(width));
    ParquetColumnConverter conv;
    const OutputRowField field{&width, 0, OutputKind::kFill, width};
    // A small hint does not make fill a dictionary: its text is not its value's.
    ASSERT_EQ(conv.Convert({"fill", ParquetType::kString, 1}, writerState.format, field,
                           kRows - kFirst, state),
              StatusCode::kOk);
    ASSERT_EQ(conv.values().indices, nullptr);
    for (std::int32_t r = kFirst; r < kRows; ++r) {
      ASSERT_EQ(TextAt(conv.values(), r - kFirst), whole[r]) << width << " row " << r;
    }
  }
}

// A dictionary is tried for hints up to a quarter of the rows (at most
// 65536), and the chunk goes plain when the values have more distinct ones
// than that, whatever the hint said.
TEST_F(ParquetConvertTest, DictionaryOrPlain) {
  struct {
    std::int64_t hint;
    std::int32_t rows;
    std::int32_t limit;
  } limits[] = {{100, 1000000, 65536}, {65536, 1000000, 65536}, {65537, 1000000, 0},
                {250, 1000, 250},      {251, 1000, 0},          {1, 3, 0},
                {0, 1000, 0},          {36524, 150001, 37500}};
  for (const auto& c : limits) {
    EXPECT_EQ(Parquet_DictionaryLimit(c.hint, c.rows), c.limit) << c.hint << " " << c.rows;
  }
  std::vector<std::int32_t> values;
  for (std::int32_t r = 0; r < 1000; ++r) values.push_back(r % 250 - 125);
  ParquetColumnConverter conv;
  ASSERT_EQ(conv.Convert({"k", ParquetType::kInt32, 10}, writerState.format,
                         {values.data(), 1, OutputKind::kInteger, 10}, 1000, 1),
            StatusCode::kOk);
  EXPECT_EQ(conv.values().dictSize, 250);  // 250 distinct: still within the limit
  values[999] = 5000;
  ASSERT_EQ(conv.Convert({"k", ParquetType::kInt32, 10}, writerState.format,
                         {values.data(), 1, OutputKind::kInteger, 10}, 1000, 1),
            StatusCode::kOk);
  EXPECT_EQ(conv.values().indices, nullptr);  // 251: plain
  EXPECT_EQ(conv.values().i32, values.data());
  values[999] = 126;  // 251 again, all close together
  ASSERT_EQ(conv.Convert({"k", ParquetType::kInt32, 10}, writerState.format,
                         {values.data(), 1, OutputKind::kInteger, 10}, 1000, 1),
            StatusCode::kOk);
  EXPECT_EQ(conv.values().indices, nullptr);
}

// Two columns of one field's values (double and decim) share a dictionary
// when the caller vouches for the values: the second takes the first's
// entries and indices, under its own type, or goes plain as the first did;
// without the caller's word, or with another limit, it is built anew and
// sees values changed in between.
TEST_F(ParquetConvertTest, SameValuesShareTheDictionary) {
  std::vector<std::int32_t> values;
  for (std::int32_t r = 0; r < 1000; ++r) values.push_back((r * 7) % 50);
  const OutputRowField field{values.data(), 1, OutputKind::kInteger, 10};
  ParquetColumnConverter conv;
  auto convert = [&](ParquetType type, std::int64_t hint, bool same) {
    return conv.Convert({"k", type, hint}, writerState.format, field, 1000, 1, same);
  };
  ASSERT_EQ(convert(ParquetType::kDouble, 50, false), StatusCode::kOk);
  const std::vector<std::uint32_t> indices(conv.values().indices, conv.values().indices + 1000);
  const std::vector<double> entries(conv.values().f64, conv.values().f64 + 50);
  ASSERT_EQ(convert(ParquetType::kDecimal12_2, 50, true), StatusCode::kOk);
  ASSERT_EQ(conv.values().dictSize, 50);
  for (std::size_t r = 0; r < 1000; ++r) ASSERT_EQ(conv.values().indices[r], indices[r]);
  for (std::size_t e = 0; e < 50; ++e) ASSERT_EQ(conv.values().i64[e], entries[e] * 100) << e;
  // Changed, and said so: the dictionary follows the values.
  values[0] = 77;
  ASSERT_EQ(convert(ParquetType::kInt32, 50, false), StatusCode::kOk);
  EXPECT_EQ(conv.values().dictSize, 51);
  EXPECT_EQ(conv.values().i32[0], 77);
  // Another limit (a hint of 300 is above a quarter of the rows: none) is
  // never taken from the last call.
  ASSERT_EQ(convert(ParquetType::kInt32, 300, true), StatusCode::kOk);
  EXPECT_EQ(conv.values().indices, nullptr);
  // A column that went plain hands that on to the same values.
  for (std::int32_t r = 0; r < 1000; ++r) values[static_cast<std::size_t>(r)] = r;
  ASSERT_EQ(convert(ParquetType::kInt32, 10, false), StatusCode::kOk);
  EXPECT_EQ(conv.values().indices, nullptr);
  ASSERT_EQ(convert(ParquetType::kDouble, 10, true), StatusCode::kOk);
  EXPECT_EQ(conv.values().indices, nullptr);
  EXPECT_EQ(conv.values().f64[999], 999.0);
}

// The entries are the distinct values in the order they first come, and
// each row's index names its value: values close together and values far
// apart, in an array of their own and every other one of an array; a hint
// below the values' true count (the table grows as they come), zero among
// them, values at either end of the int32 range, and a new value in the very last row (of a number
// of rows not a multiple of eight).
TEST_F(ParquetConvertTest, DictionaryEntriesInOrderOfFirstUse) {
  struct {
    std::int32_t spread, distinct;
    std::int64_t hint;
    std::int32_t offset = 0;  // added to every value
  } cases[] = {{1, 37, 37},
               {3, 37, 37},
               {1000003, 37, 37},
               {7, 900, 5},
               {1, 999, 999},
               {65536, 99, 99},
               {-1000000007, 100, 100},
               {1, 37, 37, INT32_MIN + 100},
               {2, 37, 37, INT32_MAX - 100}};
  constexpr std::int32_t kRows = 4003;
  for (const std::ptrdiff_t stride : {1, 2}) {
    for (const auto& [spread, distinct, hint, offset] : cases) {
      SCOPED_TRACE(testing::Message()
                   << spread << " " << distinct << " " << hint << " " << offset << " " << stride);
      std::vector<std::int32_t> values;
      std::uint32_t state = 99;
      for (std::int32_t r = 0; r < kRows; ++r) {
        state = state * 1103515245u + 12345u;
        // Every value at least once, in an order of its own; the last row
        // one more.
        const std::int32_t k = r < distinct ? (r * 17) % distinct
                               : r == kRows - 1
                                   ? distinct
                                   : static_cast<std::int32_t>((state >> 16) % distinct);
        values.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(k - distinct / 2) *
                                                   static_cast<std::uint32_t>(spread)));
        if (stride == 2) values.push_back(-1);  // not a row: the stride passes over it
      }
      ParquetColumnConverter conv;
      ASSERT_EQ(conv.Convert({"k", ParquetType::kInt32, hint}, writerState.format,
                             {values.data(), stride, OutputKind::kInteger, 10}, kRows, 1),
                StatusCode::kOk);
      const ParquetValues& v = conv.values();
      ASSERT_NE(v.indices, nullptr);
      std::vector<std::int32_t> firstUse;
      for (std::size_t r = 0; r < kRows; ++r) {
        const std::int32_t value = values[static_cast<std::size_t>(stride) * r];
        if (std::find(firstUse.begin(), firstUse.end(), value) == firstUse.end())
          firstUse.push_back(value);
        ASSERT_LT(v.indices[r], static_cast<std::uint32_t>(distinct + 1));
        ASSERT_EQ(v.i32[v.indices[r]], value) << r;
      }
      ASSERT_EQ(v.dictSize, distinct + 1);
      EXPECT_TRUE(std::equal(firstUse.begin(), firstUse.end(), v.i32));
    }
  }
}

// A column chunk's bytes and what its metadata says of them.
struct EncodedChunk {
  Status status;
  std::string bytes;
  bool dictionary;
  std::int64_t values, uncompressed, compressed;
  std::string min, max;
};

EncodedChunk EncodeField(ParquetFieldEncoder* encoder, const ParquetColumnDesc& desc,
                         const OutputRowField& field, std::int32_t rows, bool same) {
  ParquetBuffer bytes;
  ParquetChunkMeta meta{};
  const Status status = encoder->EncodeInto(desc, ParquetCodec::kSnappy, writerState.format, field,
                                            rows, 1, &bytes, &meta, same);
  return {status,
          std::string(bytes.data(), bytes.size()),
          meta.dictionary,
          meta.numValues,
          meta.uncompressedBytes,
          meta.compressedBytes,
          std::string(meta.min.bytes, meta.min.size),
          std::string(meta.max.bytes, meta.max.size)};
}

bool operator==(const EncodedChunk& a, const EncodedChunk& b) {
  return a.status.code() == b.status.code() && a.bytes == b.bytes && a.dictionary == b.dictionary &&
         a.values == b.values && a.uncompressed == b.uncompressed && a.compressed == b.compressed &&
         a.min == b.min && a.max == b.max;
}

// A field held as run numbers makes the chunk its values make, byte for
// byte: numbers of one byte and of two, every type a column of few values
// takes, a dictionary from the numbers, one with more entries than its
// limit and a chunk kept plain (both from the values the numbers stand
// for), a run first met in the last row, a stride of two, and a second
// column of the same numbers taking the first one's dictionary.
TEST_F(ParquetConvertTest, RunNumbersMakeTheChunkOfTheirValues) {
  struct {
    int width;
    std::int32_t runs, rows;
    std::int64_t hint;  // the column's distinct values, as the writer is told
    std::ptrdiff_t stride;
    bool late;  // the last run met only in the last row
  } shapes[] = {{1, 100, 5000, 100, 1, false},      {1, 100, 5000, 100, 1, true},
                {1, 256, 3001, 256, 2, false},      {1, 100, 399, 100, 1, false},
                {1, 256, 800, 100, 1, false},       {2, 3000, 20000, 3000, 1, false},
                {2, 3000, 8000, 1000, 1, true},     {2, 36524, 40000, 36524, 1, true},
                {2, 65536, 300000, 65536, 2, false}};
  struct {
    ParquetType type;
    OutputKind kind;
    int width;
  } kinds[] = {{ParquetType::kInt32, OutputKind::kInteger, 10},
               {ParquetType::kDouble, OutputKind::kInteger, 10},
               {ParquetType::kDecimal12_2, OutputKind::kInteger, 10},
               {ParquetType::kDate, OutputKind::kDate, 10},
               {ParquetType::kString, OutputKind::kFixed20, 20}};
  for (const auto& shape : shapes) {
    // Ascending values (days, when there are few enough), the numbers
    // drawn at random.
    const bool days = shape.runs <= 36524;
    std::vector<std::int32_t> runValues;
    for (std::int32_t k = 0; k < shape.runs; ++k) {
      runValues.push_back(days ? k * 36523 / (shape.runs - 1) : 3 * k - 100000);
    }
    const auto slots = static_cast<std::size_t>(shape.rows * shape.stride);
    std::vector<std::uint8_t> narrow(slots);
    std::vector<std::uint16_t> wide(slots);
    std::vector<std::int32_t> values(slots);
    std::uint32_t state = 77;
    for (std::int32_t r = 0; r < shape.rows; ++r) {
      state = state * 1103515245u + 12345u;
      const std::int32_t drawn = shape.late ? shape.runs - 1 : shape.runs;
      std::int32_t k = static_cast<std::int32_t>((state >> 8) % drawn);
      if (shape.late && r == shape.rows - 1) k = shape.runs - 1;
      const auto at = static_cast<std::size_t>(r * shape.stride);
      narrow[at] = static_cast<std::uint8_t>(k);
      wide[at] = static_cast<std::uint16_t>(k);
      values[at] = runValues[static_cast<std::size_t>(k)];
    }
    const void* numbers = shape.width == 1 ? static_cast<const void*>(narrow.data()) : wide.data();
    const OutputRuns runs{numbers, shape.width, runValues.data(), shape.runs};
    ParquetFieldEncoder fromValues, fromRuns;
    for (const auto& kind : kinds) {
      if (kind.type == ParquetType::kDate && !days) continue;
      const ParquetColumnDesc desc{"c", kind.type, shape.hint};
      const OutputRowField asValues{values.data(), shape.stride, kind.kind, kind.width};
      const OutputRowField asRuns{nullptr, shape.stride, kind.kind, kind.width, runs};
      for (bool same : {false, true}) {
        const EncodedChunk want = EncodeField(&fromValues, desc, asValues, shape.rows, same);
        ASSERT_EQ(want.status, StatusCode::kOk);
        const EncodedChunk got = EncodeField(&fromRuns, desc, asRuns, shape.rows, same);
        ASSERT_TRUE(got == want) << "width " << shape.width << " runs " << shape.runs << " rows "
                                 << shape.rows << " type " << static_cast<int>(kind.type)
                                 << (same ? " again" : "");
      }
    }
  }
}

// A number without a value is refused, not read beyond the values: among
// the first rows, after every run has been met, and in a chunk kept plain.
TEST_F(ParquetConvertTest, RunNumberWithoutAValueIsRefused) {
  const std::int32_t runValues[] = {5, 6, 7};
  for (std::int32_t badRow : {0, 2, 999}) {
    for (std::int64_t hint : {std::int64_t{3}, std::int64_t{0}}) {
      std::vector<std::uint8_t> numbers(1000);
      for (std::size_t r = 0; r < numbers.size(); ++r)
        numbers[r] = static_cast<std::uint8_t>(r % 3);
      numbers[static_cast<std::size_t>(badRow)] = 3;
      const OutputRowField field{nullptr, 1, OutputKind::kInteger, 10,
                                 OutputRuns{numbers.data(), 1, runValues, 3}};
      ParquetFieldEncoder encoder;
      ParquetBuffer bytes;
      ParquetChunkMeta meta{};
      EXPECT_EQ(encoder.EncodeInto({"c", ParquetType::kInt32, hint}, ParquetCodec::kSnappy,
                                   writerState.format, field, 1000, 1, &bytes, &meta),
                StatusCode::kInvalidArgument)
          << "bad row " << badRow << " hint " << hint;
      // The numbers of a later chunk are read afresh.
      numbers[static_cast<std::size_t>(badRow)] = 1;
      EXPECT_EQ(encoder.EncodeInto({"c", ParquetType::kInt32, hint}, ParquetCodec::kSnappy,
                                   writerState.format, field, 1000, 1, &bytes, &meta),
                StatusCode::kOk);
    }
  }
}

}  // namespace
}  // namespace zervgen
