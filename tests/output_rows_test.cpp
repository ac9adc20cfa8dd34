// output_rows_test.cpp: tests of whole rows (the row formatter against the
// single-field writers, its reuse of texts, its failures), the buffered
// sink and the widening of run numbers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "base/date.h"
#include "base/except.h"
#include "base/random.h"
#include "output/output.h"
#include "output_test_util.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::CatchRaise;
using zervgen_test::fieldState;
using zervgen_test::Frame;
using zervgen_test::OutputTest;
using zervgen_test::Raised;
using zervgen_test::Requirement;
using zervgen_test::TestValues;

// A fill state for rows without fill fields.
std::int32_t unusedFill = 1;

// ---------------------------------------------------------------------------
// Whole rows

// Rows of `fields` written the plain way, one writer call per field.
std::string WriterRows(const std::vector<OutputRowField>& fields, std::int32_t rows) {
  OutputStream stream(-1, 16);
  for (std::int32_t r = 0; r < rows; ++r) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const OutputRowField& f = fields[i];
      const int last = i + 1 == fields.size() ? 1 : 0;
      EXPECT_EQ(
          Output_WriterOf(f.kind)(&stream, &fieldState, f.values[r * f.stride], f.width, last), 0);
    }
  }
  return std::string(stream.data(), stream.size());
}

// The tables of framed texts live from call to call, as a chunk's do, so
// that a framing or character set changed between calls is seen. Blocks of
// rows are copied out as `copy` says.
std::string FormattedRows(const std::vector<OutputRowField>& fields, std::int32_t rows,
                          OutputFieldCaches::BlockCopy copy = OutputFieldCaches::BlockCopy::kBest) {
  static OutputFieldCaches caches;
  caches.blockCopy = copy;
  OutputStream stream(-1, 16);
  std::int32_t fill = fieldState.fillState;
  EXPECT_EQ(Output_Rows(&stream, fieldState.format, fields.data(), static_cast<int>(fields.size()),
                        rows, &fill, &caches),
            0);
  fieldState.fillState = fill;
  return std::string(stream.data(), stream.size());
}

// Values for every kind of field, with the special texts and the ends of
// the ranges among them.
struct RowValues {
  std::vector<std::int32_t> numbers;
  std::vector<std::int32_t> days;
  std::vector<std::int32_t> texts;
  std::vector<std::int32_t> addresses;
};

RowValues MakeRowValues(std::int32_t rows) {
  RowValues v;
  std::vector<std::int32_t> bits = TestValues();
  std::int32_t state = 99;
  for (std::int32_t r = 0; r < rows; ++r) {
    state = Ms_Step(state);
    v.numbers.push_back(bits[static_cast<std::size_t>(r) % bits.size()]);
    v.days.push_back(r % 7 == 0 ? (r % 2) * DATE_MAX_DAY : state % (DATE_MAX_DAY + 1));
    v.texts.push_back(r % 5 == 0 ? r % 3 : state);
    v.addresses.push_back(r % 5 == 0 ? r % 7 : state % 2000);
  }
  return v;
}

// The ways of making and copying blocks this machine runs: the portable
// one always, the AVX2 one (vector digits, lookups and copies) where the
// processor has it.
std::vector<OutputFieldCaches::BlockCopy> BlockCopies() {
  std::vector<OutputFieldCaches::BlockCopy> copies = {OutputFieldCaches::BlockCopy::kPortable};
  if (Output_HasAvx2()) copies.push_back(OutputFieldCaches::BlockCopy::kAvx2);
  return copies;
}

TEST_F(OutputTest, RowsMatchTheWritersFieldByField) {
  constexpr std::int32_t kRows = 500;
  const RowValues v = MakeRowValues(kRows);
  const std::int32_t fillWidth = 13;
  const std::vector<int> widthSets[] = {{10, 10, 10, 11, 25, 10, 20, 80, 13},
                                        {-12, 0, 3, -10, 1, 1, 1, 1, -1},
                                        {4096, -4096, 4000, 7, 3, -30, 100, 200, 100},
                                        // Fields longer than a kept text, in rows a block takes.
                                        {150, -97, 33, 96, 1, -200, 97, 120, 31}};
  for (char delim : {'\0', ',', '|', 'a'}) {
    Frame(delim, delim == 0);
    for (const std::vector<int>& w : widthSets) {
      const std::vector<OutputRowField> fields = {
          {v.numbers.data(), 1, OutputKind::kInteger, w[0]},
          {v.numbers.data(), 1, OutputKind::kInteger, w[0]},      // the field before, again
          {v.numbers.data() + 1, 2, OutputKind::kInteger, w[1]},  // every other value
          {v.numbers.data(), 1, OutputKind::kFloat, w[2]},
          {v.numbers.data() + 7, 0, OutputKind::kInteger, w[3]},  // the same value in every row
          {v.days.data(), 1, OutputKind::kDate, w[4]},
          {v.days.data(), 1, OutputKind::kDate, w[4]},
          {v.texts.data(), 1, OutputKind::kFixed10, w[5]},
          {v.texts.data(), 1, OutputKind::kFixed20, w[6]},
          {v.addresses.data(), 1, OutputKind::kVarChar, w[7]},
          {&fillWidth, 0, OutputKind::kFill, w[8]}};
      fieldState.fillState = 7830309;
      const std::string expected = WriterRows(fields, kRows / 2);
      const std::int32_t fillAfter = fieldState.fillState;
      // Both block copies, wherever the machine runs them.
      for (const auto copy : BlockCopies()) {
        fieldState.fillState = 7830309;
        ASSERT_EQ(FormattedRows(fields, kRows / 2, copy), expected)
            << "delimiter " << int{delim} << " widths " << w[0] << "," << w[1] << " copy "
            << static_cast<int>(copy);
        EXPECT_EQ(fieldState.fillState, fillAfter);
      }
    }
  }
}

// Rows of `fields` formatted `chunk` rows per call, as the relation writer
// hands them over, blocks copied out as `copy` says.
std::string ChunkedRows(const std::vector<OutputRowField>& fields, std::int32_t rows,
                        std::int32_t chunk,
                        OutputFieldCaches::BlockCopy copy = OutputFieldCaches::BlockCopy::kBest) {
  std::string text;
  for (std::int32_t first = 0; first < rows; first += chunk) {
    std::vector<OutputRowField> part = fields;
    for (OutputRowField& f : part) f.values += first * f.stride;
    text += FormattedRows(part, std::min(chunk, rows - first), copy);
  }
  return text;
}

// The row formatter reuses the text of values it has already written. What
// it reuses must follow the framing and the character sets from call to
// call, fields too wide to keep must still come out whole, and a column of
// mostly new values must come out the same once reuse stops paying.
TEST_F(OutputTest, RowsReuseTextsOnlyWhileTheyStillHold) {
  constexpr std::int32_t kRows = 12000;
  std::vector<std::int32_t> few(kRows), many(kRows);
  std::int32_t state = 5;
  for (std::int32_t r = 0; r < kRows; ++r) {
    state = Ms_Step(state);
    few[static_cast<std::size_t>(r)] = (state % 100) * 21474836 - 1000000000;
    many[static_cast<std::size_t>(r)] = state;
  }
  const std::vector<OutputRowField> fields = {
      {few.data(), 1, OutputKind::kInteger, 11},  {many.data(), 1, OutputKind::kInteger, 11},
      {few.data(), 1, OutputKind::kFloat, -15},   {few.data(), 1, OutputKind::kFixed10, 10},
      {few.data(), 1, OutputKind::kFixed20, 100}, {few.data(), 1, OutputKind::kVarChar, 90},
      {many.data(), 1, OutputKind::kVarChar, 80}, {few.data(), 1, OutputKind::kVarChar, 80}};
  const char sets[][2] = {{',', 0}, {'\0', 1}, {'|', 0}, {'a', 0}};
  for (const auto& [delim, fixed] : sets) {
    Frame(delim, fixed);
    for (char changed : {'\0', 'b', 'Q'}) {
      // Changing a set in place between calls changes the texts.
      if (changed != 0) Output_remap(fieldState.format.varChar, changed, '#');
      const std::string expected = WriterRows(fields, kRows);
      for (const auto copy : BlockCopies()) {
        ASSERT_EQ(ChunkedRows(fields, kRows, 4096, copy), expected)
            << "delimiter " << int{delim} << " set change " << int{changed} << " copy "
            << static_cast<int>(copy);
      }
    }
  }
}

// A column shown in two or more fields one after the other is kept in its
// table twice over where it can be: pairs, a run of three, one ending the
// row (whose line end differs), fixed-width texts whose pair is longer
// than a kept text, and values 0 and 1 (what empty slots hold) first.
TEST_F(OutputTest, ColumnsShownAgainComeOutAsTheWritersWriteThem) {
  constexpr std::int32_t kRows = 6000;
  std::vector<std::int32_t> few(kRows);
  std::int32_t state = 17;
  for (std::int32_t r = 0; r < kRows; ++r) {
    state = Ms_Step(state);
    few[static_cast<std::size_t>(r)] = r < 4 ? r % 2 : (state % 50) * 40000 - 1000000;
  }
  const auto field = [&](OutputKind kind, int width) {
    return OutputRowField{few.data(), 1, kind, width};
  };
  const std::vector<OutputRowField> cases[] = {
      {field(OutputKind::kInteger, 12), field(OutputKind::kInteger, 12),
       field(OutputKind::kFloat, 15)},
      {field(OutputKind::kFixed20, 60), field(OutputKind::kFixed20, 60),
       field(OutputKind::kVarChar, 70), field(OutputKind::kVarChar, 70),
       field(OutputKind::kVarChar, 70)},
      {field(OutputKind::kFloat, 9), field(OutputKind::kInteger, 11),
       field(OutputKind::kInteger, 11), field(OutputKind::kInteger, 11),
       field(OutputKind::kFixed10, 10), field(OutputKind::kFixed10, 10)}};
  for (const auto& [delim, fixed] : {std::pair{',', 0}, std::pair{'\0', 1}}) {
    Frame(delim, fixed);
    for (const std::vector<OutputRowField>& fields : cases) {
      for (const auto copy : BlockCopies()) {
        ASSERT_EQ(ChunkedRows(fields, kRows, 4096, copy), WriterRows(fields, kRows))
            << "delimiter " << int{delim} << " fields " << fields.size() << " copy "
            << static_cast<int>(copy);
      }
    }
  }
}

// Integer and code-text fields of mostly new values are made four values
// at a time where the machine can: every length of number, zero, one, the
// largest value, and negative values among them (which go the plain way
// with the rest of their group), in the middle of a row and at its end,
// side by side or not, and row counts that leave a few values over.
TEST_F(OutputTest, NewIntegersComeOutAsTheWritersWriteThem) {
  constexpr std::int32_t kRows = 9001;
  std::vector<std::int32_t> values(kRows);
  std::int32_t state = 11;
  const std::int32_t special[] = {
      0,         1,          9,          10, 99999999,        100000000,
      999999999, 1000000000, 2147483647, -1, -2147483647 - 1, -100000000};
  for (std::int32_t r = 0; r < kRows; ++r) {
    state = Ms_Step(state);
    std::int32_t v = state >> (r % 31);  // every length
    if (r % 97 == 0) v = special[(r / 97) % std::size(special)];
    values[static_cast<std::size_t>(r)] = v;
  }
  const std::vector<OutputRowField> fields = {{values.data(), 1, OutputKind::kInteger, 10},
                                              {values.data() + 2, 1, OutputKind::kFixed10, 10},
                                              // every other value
                                              {values.data() + 1, 2, OutputKind::kInteger, 11},
                                              {values.data() + 3, 1, OutputKind::kFixed10, 10}};
  for (char delim : {',', '|', '\t', ';'}) {
    Frame(delim, false);
    // Code texts of a set changed in place are drawn the plain way.
    if (delim == ';') Output_remap(fieldState.format.fixed10, 'x', '#');
    for (std::int32_t rows : {kRows / 2 - 1, kRows / 2 - 2, 4099}) {
      for (const auto copy : BlockCopies()) {
        ASSERT_EQ(ChunkedRows(fields, rows, 4096, copy), WriterRows(fields, rows))
            << "delimiter " << int{delim} << " rows " << rows << " copy " << static_cast<int>(copy);
      }
    }
  }
}

TEST_F(OutputTest, RowsWithoutARowFormGoThroughTheWriters) {
  const RowValues v = MakeRowValues(100);
  for (char delim : {'\0', '|'}) {
    Frame(delim, delim == 0);
    const std::vector<OutputRowField> cases[] = {// Padding wider than one reserve.
                                                 {{v.numbers.data(), 1, OutputKind::kInteger, 5000},
                                                  {v.days.data(), 1, OutputKind::kDate, 10}},
                                                 {{v.texts.data(), 1, OutputKind::kFixed10, -4097},
                                                  {v.numbers.data(), 1, OutputKind::kFloat, 10}}};
    for (const std::vector<OutputRowField>& fields : cases) {
      const std::string expected = WriterRows(fields, 100);
      EXPECT_EQ(FormattedRows(fields, 100), expected);
    }
  }
  // Two fill fields draw their texts alternately, row after row.
  const std::int32_t fillWidths[] = {13, 100};
  fieldState.fillState = 7830309;
  const std::vector<OutputRowField> fills = {{&fillWidths[0], 0, OutputKind::kFill, -1},
                                             {v.numbers.data(), 1, OutputKind::kInteger, 11},
                                             {&fillWidths[1], 0, OutputKind::kFill, -1}};
  const std::string expected = WriterRows(fills, 100);
  fieldState.fillState = 7830309;
  EXPECT_EQ(FormattedRows(fills, 100), expected);
  // Seventeen fields are more than the row formatter takes at once.
  std::vector<OutputRowField> many(17,
                                   OutputRowField{v.numbers.data(), 1, OutputKind::kInteger, 11});
  many[16].kind = OutputKind::kFixed10;
  EXPECT_EQ(FormattedRows(many, 50), WriterRows(many, 50));
}

// Rows the formatter cannot take whole (more than sixteen fields, or a
// field wider than it pads inline) are framed as the format handed over
// says, whatever the module's own framing.
TEST_F(OutputTest, RowsBeyondTheFormatterFollowTheirFormat) {
  Frame(',', 0);
  const std::int32_t values[] = {7, -12};
  const struct {
    const char* name;
    OutputFormat format;
    int nFields;
    int width;
    std::string row;
  } cases[] = {
      {"seventeen delimited by |", Output_MakeFormat('|', 0), 17, 3,
       "7|7|7|7|7|7|7|7|7|7|7|7|7|7|7|7|7\n"},
      {"seventeen fixed", Output_MakeFormat(0, 1), 17, 3,
       "  7  7  7  7  7  7  7  7  7  7  7  7  7  7  7  7  7\n"},
      {"one wide fixed", Output_MakeFormat(0, 1), 1, 5000, std::string(4999, ' ') + "7\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<OutputRowField> fields(c.nFields,
                                       OutputRowField{values, 1, OutputKind::kInteger, c.width});
    OutputStream stream(-1, 16);
    std::int32_t fill = 1;
    ASSERT_EQ(Output_Rows(&stream, c.format, fields.data(), c.nFields, 1, &fill), 0);
    EXPECT_EQ(std::string(stream.data(), stream.size()), c.row);
  }
}

TEST_F(OutputTest, RowsOfNoFieldsAreEmpty) {
  OutputStream stream(-1, 16);
  EXPECT_EQ(Output_Rows(&stream, fieldState.format, nullptr, 0, 10, &unusedFill), 0);
  EXPECT_EQ(stream.size(), 0u);
  Raised r =
      CatchRaise([] { Output_Rows(nullptr, fieldState.format, nullptr, 0, 1, &unusedFill); });
  EXPECT_EQ(r.cls, XEPT_REQUIREMENT);
  EXPECT_NE(r.out.find(Requirement("stream != NULL")), std::string::npos) << r.out;
}

TEST_F(OutputTest, RowsRefuseAnInvalidDay) {
  // Without and with tables (rows a block at a time, dates from framed texts).
  for (bool tables : {false, true}) {
    for (std::int32_t bad : {DATE_MAX_DAY + 1, -1}) {
      const std::int32_t days[] = {0, DATE_MAX_DAY, bad};
      const OutputRowField field{days, 1, OutputKind::kDate, 10};
      OutputFieldCaches caches;
      OutputStream stream(-1, 16);
      Raised r = CatchRaise([&] {
        Output_Rows(&stream, fieldState.format, &field, 1, 3, &unusedFill,
                    tables ? &caches : nullptr);
      });
      EXPECT_NE(r.cls, -1);
      Raised byWriter = CatchRaise([&] { Output_Date(&stream, &fieldState, bad, 10, 1); });
      EXPECT_EQ(r.cls, byWriter.cls);
      EXPECT_EQ(r.out, byWriter.out);
    }
  }
}

// Dates come from texts framed with their field's end, in the middle of a
// row and at its end; the texts follow a delimiter changed between calls.
TEST_F(OutputTest, DatesFollowTheirFieldsEnd) {
  constexpr std::int32_t kRows = 3000;
  std::vector<std::int32_t> days(kRows);
  std::int32_t state = 23;
  for (std::int32_t r = 0; r < kRows; ++r) {
    state = Ms_Step(state);
    days[static_cast<std::size_t>(r)] =
        r % 50 == 0 ? (r % 100 == 0 ? 0 : DATE_MAX_DAY) : state % (DATE_MAX_DAY + 1);
  }
  const std::vector<OutputRowField> fields = {{days.data(), 1, OutputKind::kDate, 10},
                                              {days.data() + 1, 1, OutputKind::kInteger, 5},
                                              {days.data() + 2, 1, OutputKind::kDate, 10}};
  for (char delim : {',', '|', ',', '\0'}) {
    Frame(delim, delim == 0);
    for (const auto copy : BlockCopies()) {
      ASSERT_EQ(ChunkedRows(fields, kRows - 2, 1000, copy), WriterRows(fields, kRows - 2))
          << "delimiter " << int{delim} << " copy " << static_cast<int>(copy);
    }
  }
}

TEST_F(OutputTest, RowsStopAtAFailedStream) {
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const RowValues v = MakeRowValues(2000);
  const OutputRowField fields[] = {{v.numbers.data(), 1, OutputKind::kInteger, 10},
                                   {v.addresses.data(), 1, OutputKind::kVarChar, 80}};
  // Without and with tables of reused text (rows a block at a time).
  for (bool reuse : {false, true}) {
    OutputFieldCaches caches;
    OutputStream stream(fd, 4096);
    EXPECT_EQ(Output_Rows(&stream, fieldState.format, fields, 2, 2000, &unusedFill,
                          reuse ? &caches : nullptr),
              STATUS_ERROR);
    EXPECT_EQ(stream.error(), ENOSPC);
    // Whole rows only were taken before the failed write.
    ASSERT_GT(stream.size(), 0u);
    EXPECT_EQ(stream.data()[stream.size() - 1], '\n');
  }
  close(fd);
}

// ---------------------------------------------------------------------------
// The sink

// A row of every writer, many times, into `stream`.
void WriteRows(OutputStream* stream, int rows) {
  fieldState.fillState = 7830309;
  for (int r = 0; r < rows; ++r) {
    ASSERT_EQ(Output_Integer(stream, &fieldState, r * 7919 - 50000, 10, 0), 0);
    ASSERT_EQ(Output_Float(stream, &fieldState, -r, 10, 0), 0);
    ASSERT_EQ(Output_Date(stream, &fieldState, r * 37 % (DATE_MAX_DAY + 1), 10, 0), 0);
    ASSERT_EQ(Output_Fixed10(stream, &fieldState, r, 10, 0), 0);
    ASSERT_EQ(Output_Fixed20(stream, &fieldState, r, 20, 0), 0);
    ASSERT_EQ(Output_VarChar(stream, &fieldState, r, 80, 0), 0);
    ASSERT_EQ(Output_Fill(stream, &fieldState, 13, 13, 1), 0);
  }
}

TEST_F(OutputTest, SinkRoundTripsThroughAFile) {
  OutputStream reference(-1, 1 << 20);
  WriteRows(&reference, 2000);
  const std::string expected(reference.data(), reference.size());
  ASSERT_GT(expected.size(), 300000u);
  for (std::size_t capacity : {std::size_t{0}, std::size_t{1}, std::size_t{150}, kOutBufferSize}) {
    OutputStream memory(-1, capacity);
    WriteRows(&memory, 2000);
    EXPECT_EQ(std::string(memory.data(), memory.size()), expected) << capacity;

    char path[] = "/tmp/zervgen_output_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    {
      OutputStream file(fd, capacity);
      WriteRows(&file, 2000);
      EXPECT_TRUE(file.Flush());
      EXPECT_EQ(file.size(), 0u);
      EXPECT_EQ(file.error(), 0);
    }
    std::string back(expected.size() + 10, '\0');
    EXPECT_EQ(pread(fd, back.data(), back.size(), 0), static_cast<ssize_t>(expected.size()));
    back.resize(expected.size());
    EXPECT_TRUE(back == expected) << "capacity " << capacity;
    close(fd);
    unlink(path);
  }
}

TEST_F(OutputTest, FullDiskFailsTheWriterAndStaysFailed) {
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  OutputStream stream(fd, 1000);
  int written = 0;
  int status = 0;
  while (written < 1000 && (status = Output_Integer(&stream, &fieldState, written, 10, 0)) == 0)
    ++written;
  EXPECT_EQ(status, STATUS_ERROR);
  EXPECT_EQ(stream.error(), ENOSPC);
  EXPECT_GT(written, 10);
  EXPECT_EQ(stream.size(), static_cast<std::size_t>(written) * 10);  // accepted bytes stay
  EXPECT_EQ(Output_Fixed10(&stream, &fieldState, 2, 10, 0), STATUS_ERROR);
  EXPECT_EQ(stream.Reserve(1), nullptr);
  EXPECT_FALSE(stream.Flush());
  stream.Clear();
  EXPECT_EQ(stream.Reserve(1), nullptr);

  OutputStream flushed(fd);
  EXPECT_TRUE(flushed.Flush());  // nothing buffered, nothing written
  EXPECT_EQ(Output_Integer(&flushed, &fieldState, 42, 10, 1), 0);
  EXPECT_FALSE(flushed.Flush());
  EXPECT_EQ(flushed.error(), ENOSPC);
  EXPECT_EQ(Output_Integer(&flushed, &fieldState, 42, 10, 1), STATUS_ERROR);
  close(fd);
}

// Run numbers widen to their values: numbers of one byte and of two, one
// after the other and every other one, rows in whole eights and not, the
// last number in the last row; a number without a value (the count
// itself), among the first eight rows, later, or in the last row, is told.
TEST(OutputWidenRuns, ValuesOfTheNumbersAndNumbersWithoutOne) {
  for (int width : {1, 2}) {
    for (std::ptrdiff_t stride : {1, 2}) {
      for (std::int32_t rows : {0, 1, 7, 8, 9, 31, 1000}) {
        for (std::int32_t bad : {-1, 0, 5, 17, rows - 1}) {
          if (bad >= rows) continue;
          const std::int32_t count = width == 1 ? 255 : 3000;
          std::vector<std::int32_t> values;
          for (std::int32_t k = 0; k < count; ++k) values.push_back(k * 11 - 700);
          std::vector<std::uint8_t> narrow(static_cast<std::size_t>(rows * stride + 1), 0);
          std::vector<std::uint16_t> wide(narrow.size(), 0);
          std::vector<std::int32_t> want;
          for (std::int32_t r = 0; r < rows; ++r) {
            std::int32_t k = (r * 37 + 5) % count;
            if (r == rows - 1) k = count - 1;
            want.push_back(values[static_cast<std::size_t>(k)]);
            if (r == bad) k = count;  // one past the last
            narrow[static_cast<std::size_t>(r * stride)] = static_cast<std::uint8_t>(k);
            wide[static_cast<std::size_t>(r * stride)] = static_cast<std::uint16_t>(k);
          }
          const void* numbers = width == 1 ? static_cast<const void*>(narrow.data()) : wide.data();
          std::vector<std::int32_t> got(static_cast<std::size_t>(rows) + 1, 12345);
          const bool ok =
              Output_WidenRuns({numbers, width, values.data(), count}, stride, rows, got.data());
          const std::string what = "width " + std::to_string(width) + " stride " +
                                   std::to_string(stride) + " rows " + std::to_string(rows) +
                                   " bad row " + std::to_string(bad);
          EXPECT_EQ(ok, bad < 0) << what;
          EXPECT_EQ(got[static_cast<std::size_t>(rows)], 12345) << what;  // nothing past the rows
          if (bad >= 0) continue;
          got.pop_back();
          EXPECT_EQ(got, want) << what;
        }
      }
    }
  }
}

}  // namespace
}  // namespace zervgen
