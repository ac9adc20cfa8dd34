// output_fields_test.cpp: tests of the single-field writers (numbers,
// dates, texts, the fill), the framing set-up and the character sets.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

constexpr char kDotBase[] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789:.";
constexpr char kBlankBase[] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789: ";
constexpr std::int32_t kMarch5th1994 = 34396;

std::string Sprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Sprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, again);
  va_end(again);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

// One field written to a fresh memory-only stream.
std::string Field(OutputWriter writer, std::int32_t value, int width, int last) {
  OutputStream stream(-1, 16);
  EXPECT_EQ(writer(&stream, &fieldState, value, width, last), 0);
  return std::string(stream.data(), stream.size());
}

// ---------------------------------------------------------------------------
// Numbers and dates

TEST_F(OutputTest, NumericWorkedValues) {
  struct Case {
    char delim;  // 0: fixed format
    OutputWriter writer;
    std::int32_t value;
    int width;
    int last;
    const char* expected;
  } cases[] = {
      {0, Output_Integer, 42, 10, 0, "        42"},
      {0, Output_Integer, 42, 10, 1, "        42\n"},
      {'|', Output_Integer, -7, 10, 0, "-7|"},
      {'|', Output_Integer, -7, 10, 1, "-7\n"},
      {0, Output_Float, 12345, 10, 0, "     12345.00"},
      {',', Output_Float, -12345, 10, 1, "-12345.00\n"},
      {0, Output_Integer, INT32_MIN, 10, 0, "-2147483648"},
      {0, Output_Integer, 123, 0, 0, "123"},
      {0, Output_Integer, 123, -6, 1, "123   \n"},
      {0, Output_Float, 5, -4, 0, "5   .00"},
      {0, Output_Date, kMarch5th1994, 10, 0, "03/05/1994"},
      {0, Output_Date, kMarch5th1994, 25, 1, "03/05/1994\n"},
      {0, Output_Date, kMarch5th1994, -25, 0, "03/05/1994"},
      {',', Output_Date, kMarch5th1994, 10, 0, "3/5/1994,"},
      {'/', Output_Date, kMarch5th1994, 10, 1, "3/5/1994\n"},
      {0, Output_Date, 0, 10, 0, "01/01/1900"},
      {0, Output_Date, DATE_MAX_DAY, 10, 0, "12/31/1999"},
  };
  for (const Case& c : cases) {
    Frame(c.delim, c.delim == 0);
    EXPECT_EQ(Field(c.writer, c.value, c.width, c.last), c.expected)
        << "value " << c.value << " width " << c.width;
  }
}

// Integer and float fields against the formats they stand for.
std::string Reference(bool cents, char delim, std::int32_t value, int width, int last) {
  const long v = value;
  if (delim == 0) {
    if (cents) return last ? Sprintf("%*ld.00\n", width, v) : Sprintf("%*ld.00", width, v);
    return last ? Sprintf("%*ld\n", width, v) : Sprintf("%*ld", width, v);
  }
  if (cents) return last ? Sprintf("%ld.00\n", v) : Sprintf("%ld.00%c", v, delim);
  return last ? Sprintf("%ld\n", v) : Sprintf("%ld%c", v, delim);
}

TEST_F(OutputTest, NumbersMatchFormattedOutput) {
  const std::vector<std::int32_t> values = TestValues();
  // Padding written in pieces, and around the sizes of its stores.
  std::vector<int> widths = {4107, -5000, 16, 17, 18, -17, 32, 33, 128, 129, -130};
  for (int width = -13; width <= 13; ++width) widths.push_back(width);
  for (char delim : {'\0', ',', '|', '\t'}) {
    Frame(delim, delim == 0);
    for (std::int32_t value : values) {
      for (int width : widths) {
        for (int last = 0; last <= 1; ++last) {
          ASSERT_EQ(Field(Output_Integer, value, width, last),
                    Reference(false, delim, value, width, last))
              << "value " << value << " width " << width << " delim " << int{delim};
          ASSERT_EQ(Field(Output_Float, value, width, last),
                    Reference(true, delim, value, width, last))
              << "value " << value << " width " << width << " delim " << int{delim};
        }
      }
    }
  }
}

TEST_F(OutputTest, FieldLongerThanIntMaxFails) {
  // A formatted write refuses the width INT_MIN as an overflow.
  OutputStream stream(-1, 16);
  EXPECT_EQ(Output_Integer(&stream, &fieldState, 5, INT_MIN, 0), STATUS_ERROR);
  EXPECT_EQ(Output_Fixed10(&stream, &fieldState, 1, INT_MIN, 0), STATUS_ERROR);
  EXPECT_EQ(stream.size(), 0u);
  EXPECT_EQ(stream.error(), 0);
}

TEST_F(OutputTest, AllDatesMatchFormattedOutput) {
  for (char delim : {'\0', ',', '|'}) {
    Frame(delim, delim == 0);
    for (std::int32_t day = 0; day <= DATE_MAX_DAY; ++day) {
      std::uint16_t d, m, y;
      Date_Convert(static_cast<std::uint16_t>(day), &d, &m, &y);
      for (int last = 0; last <= 1; ++last) {
        std::string expected;
        if (delim == 0) {
          expected =
              last ? Sprintf("%02hu/%02hu/%hu\n", m, d, y) : Sprintf("%02hu/%02hu/%hu", m, d, y);
        } else {
          expected =
              last ? Sprintf("%hu/%hu/%hu\n", m, d, y) : Sprintf("%hu/%hu/%hu%c", m, d, y, delim);
        }
        ASSERT_EQ(Field(Output_Date, day, 10, last), expected) << "day " << day;
      }
    }
  }
}

TEST_F(OutputTest, DayOutOfRangeIsRefusedAndWritesNothing) {
  for (std::int32_t value : {-1, DATE_MAX_DAY + 1, 65535, 65536, INT32_MIN, INT32_MAX}) {
    OutputStream stream(-1, 16);
    Raised r = CatchRaise([&] { Output_Date(&stream, &fieldState, value, 10, 0); });
    EXPECT_EQ(r.cls, XEPT_REQUIREMENT) << value;
    EXPECT_NE(r.out.find(Requirement("centuryDay <= DATE_MAX_DAY")), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Raised exception of class '2'"), std::string::npos);
    EXPECT_EQ(stream.size(), 0u);
  }
}

TEST_F(OutputTest, DelimitedRowOfThreeFields) {
  Frame(',', 0);
  OutputStream stream(-1, 16);
  ASSERT_EQ(Output_Integer(&stream, &fieldState, 42, 10, 0), 0);
  ASSERT_EQ(Output_Date(&stream, &fieldState, kMarch5th1994, 10, 0), 0);
  ASSERT_EQ(Output_Fixed10(&stream, &fieldState, 2, 10, 1), 0);
  EXPECT_EQ(std::string(stream.data(), stream.size()), "42,3/5/1994,hGeaarLDVQ\n");
}

// ---------------------------------------------------------------------------
// Set-up and character sets

TEST_F(OutputTest, InitializeAcceptsConsistentPairsOnly) {
  struct Case {
    char delim;
    int fixedFormat;
    bool raises;
  } cases[] = {
      {0, 1, false}, {0, 7, false}, {',', 0, false}, {'|', 0, false}, {0, 0, true}, {'|', 1, true},
  };
  for (const Case& c : cases) {
    Raised r = CatchRaise([&] { (void)Output_MakeFormat(c.delim, c.fixedFormat); });
    EXPECT_EQ(r.cls, c.raises ? XEPT_REQUIREMENT : -1) << int{c.delim} << " " << c.fixedFormat;
    if (c.raises) {
      EXPECT_NE(r.out.find(Requirement(
                    "((delim == 0) && (fixedFormat)) || ((delim != 0) && (! fixedFormat))")),
                std::string::npos)
          << r.out;
    } else {
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST_F(OutputTest, DelimiterIsRemappedInEverySet) {
  struct Case {
    char delim;
    int position[4];  // changed position in fixed10, fixed20, varChar, fill; -1 none
  } cases[] = {
      {',', {-1, -1, -1, -1}}, {'|', {-1, -1, -1, -1}}, {'\t', {-1, -1, -1, -1}},
      {':', {62, 62, 62, 62}}, {'.', {63, -1, -1, 63}}, {' ', {-1, 63, 63, -1}},
      {'a', {0, 0, 0, 0}},     {'Z', {51, 51, 51, 51}}, {'7', {59, 59, 59, 59}},
  };
  const char* sets[4] = {fieldState.format.fixed10, fieldState.format.fixed20,
                         fieldState.format.varChar, fieldState.format.fill};
  const char* bases[4] = {kDotBase, kBlankBase, kBlankBase, kDotBase};
  for (const Case& c : cases) {
    Frame(':', 0);  // a later call starts again from the bases
    Frame(c.delim, 0);
    for (int s = 0; s < 4; ++s) {
      std::string expected = bases[s];
      if (c.position[s] >= 0) expected[static_cast<std::size_t>(c.position[s])] = ',';
      EXPECT_EQ(std::string(sets[s]), expected) << "delimiter '" << c.delim << "' set " << s;
    }
  }
  Frame(0, 1);
  for (int s = 0; s < 4; ++s) EXPECT_STREQ(sets[s], bases[s]);
}

TEST_F(OutputTest, RemapReplacesOnlyTheFirstMatchWithinSixtyFour) {
  char set[70] = "abcabc";
  Output_remap(set, 'b', ',');
  EXPECT_STREQ(set, "a,cabc");
  char longer[70];
  std::memset(longer, 'x', 64);
  std::memcpy(longer + 64, "yz", 3);
  Output_remap(longer, 'y', ',');  // position 64 is not examined
  EXPECT_EQ(longer[64], 'y');
}

TEST_F(OutputTest, RemapChecksItsArguments) {
  struct Case {
    bool nullSet;
    char delim;
    char mapChar;
    const char* text;
  } cases[] = {
      {true, ':', ',', "charSet != NULL"}, {true, 0, 0, "charSet != NULL"},
      {false, 0, ',', "delim != 0"},       {false, 0, 0, "delim != 0"},
      {false, ':', 0, "mapChar != 0"},
  };
  for (const Case& c : cases) {
    char set[65];
    std::memcpy(set, kDotBase, sizeof set);
    Raised r = CatchRaise([&] { Output_remap(c.nullSet ? nullptr : set, c.delim, c.mapChar); });
    EXPECT_EQ(r.cls, XEPT_REQUIREMENT);
    EXPECT_NE(r.out.find(Requirement(c.text)), std::string::npos) << r.out;
    EXPECT_STREQ(set, kDotBase);
  }
}

TEST_F(OutputTest, EveryWriterRefusesANullStream) {
  const OutputWriter writers[] = {Output_Integer, Output_Float,   Output_Date, Output_Fixed10,
                                  Output_Fixed20, Output_VarChar, Output_Fill};
  for (OutputWriter writer : writers) {
    const std::int32_t fill = fieldState.fillState;
    Raised r =
        CatchRaise([&] { writer(nullptr, &fieldState, -1, 10, 0); });  // -1 is no valid day either
    EXPECT_EQ(r.cls, XEPT_REQUIREMENT);
    EXPECT_NE(r.out.find(Requirement("stream != NULL")), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Raised exception of class '2'"), std::string::npos);
    EXPECT_EQ(fieldState.fillState, fill);
  }
}

// ---------------------------------------------------------------------------
// Text fields

TEST_F(OutputTest, TextWorkedValues) {
  struct Case {
    OutputWriter writer;
    std::int32_t value;
    const char* text;
  } cases[] = {
      {Output_Fixed10, 2, "hGeaarLDVQ"},
      {Output_Fixed10, 1000000001, "5mbIXWAmfR"},
      {Output_Fixed10, 1, "BENCHMARKS"},
      {Output_Fixed20, 2, "hGeaarLDVQZt1NAkQQn1"},
      {Output_Fixed20, 1, "THE+ZERV+BENCHMARKS+"},
      {Output_Fixed20, 0, "                    "},
      {Output_VarChar, 0, "Tdca"},
      {Output_VarChar, 1005, "b5PaAj:52U2:Jz"},
      {Output_VarChar, 5, "SILICON VALLEY"},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    Frame(0, 1);
    EXPECT_EQ(Field(c.writer, c.value, 80, 0), text + std::string(80 - text.size(), ' '));
    EXPECT_EQ(Field(c.writer, c.value, -15, 1), Sprintf("%-*s\n", -15, c.text));
    EXPECT_EQ(Field(c.writer, c.value, 3, 0), text);  // never cut
    Frame(',', 0);
    EXPECT_EQ(Field(c.writer, c.value, 80, 0), text + ",");
    EXPECT_EQ(Field(c.writer, c.value, 80, 1), text + "\n");
  }
}

TEST_F(OutputTest, FixedTextsAreExactAndNotRemapped) {
  EXPECT_EQ(Field(Output_Fixed10, 1, 10, 0), "BENCHMARKS");
  EXPECT_EQ(Field(Output_VarChar, 5, 80, 1), "SILICON VALLEY" + std::string(66, ' ') + "\n");
  Frame(' ', 0);
  EXPECT_EQ(Field(Output_Fixed20, 0, 20, 0), std::string(20, ',') + " ");
  EXPECT_EQ(Field(Output_VarChar, 5, 80, 0), "SILICON VALLEY ");
  Frame('+', 0);
  EXPECT_EQ(Field(Output_Fixed20, 1, 20, 1), "THE+ZERV+BENCHMARKS+\n");
}

TEST_F(OutputTest, AddressLengthsFollowTheTable) {
  Frame(',', 0);
  struct Case {
    std::int32_t value;
    std::size_t length;
  } cases[] = {{0, 4},    {1, 2},     {4, 2}, {5, 14},  {105, 2},  {505, 2}, {995, 80},
               {999, 78}, {1995, 80}, {6, 2}, {104, 4}, {994, 78}, {998, 80}};
  for (const Case& c : cases) {
    EXPECT_EQ(Field(Output_VarChar, c.value, 80, 1).size(), c.length + 1) << c.value;
  }
  std::size_t total = 0;
  std::size_t previous = 0;
  for (std::int32_t value = 0; value < 1000; ++value) {
    std::size_t length = Field(Output_VarChar, value, 80, 1).size() - 1;
    total += length;
    const bool swapped =
        value == 0 || value == 5 || value == 105 || value == 505 || value == 995 || value == 999;
    if (swapped) continue;
    EXPECT_GE(length, previous) << value;
    previous = length;
  }
  EXPECT_EQ(total, 20000u);
}

// The characters of `size` draws' worth of text from *state, stepped the
// plain way, cut to `size`.
std::string Drawn(const char* set, std::int32_t* state, int size) {
  std::string text;
  while (static_cast<int>(text.size()) < size) {
    Ms_Random(state, nullptr);
    const auto x = static_cast<std::uint32_t>(*state);
    for (int shift = 0; shift < 30; shift += 6) text += set[(x >> shift) & 63];
  }
  text.resize(static_cast<std::size_t>(size));
  return text;
}

TEST_F(OutputTest, TextsAreTheDrawsOfTheirStreams) {
  const std::int32_t values[] = {0,          2,         3,  4,  1000,      1005,         1995,
                                 2147483646, INT32_MAX, -1, -5, INT32_MIN, INT32_MIN + 1};
  for (std::int32_t value : values) {
    std::int32_t state = value;
    EXPECT_EQ(Field(Output_Fixed10, value, 0, 0), Drawn(kDotBase, &state, 10)) << value;
    state = value;
    EXPECT_EQ(Field(Output_Fixed20, value, 0, 0), Drawn(kBlankBase, &state, 20)) << value;
    if (value < 0) continue;  // addresses are never negative
    const std::string address = Field(Output_VarChar, value, 0, 0);
    state = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1u);
    EXPECT_EQ(address, Drawn(kBlankBase, &state, static_cast<int>(address.size()))) << value;
  }
  for (std::int32_t seed : {1, 7830309, 2147483646, INT32_MAX, -1, INT32_MIN}) {
    for (int width : {13, 100}) {
      fieldState.fillState = seed;
      std::int32_t state = seed;
      for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(Field(Output_Fill, width, width, 0), Drawn(kDotBase, &state, width)) << seed;
        EXPECT_EQ(fieldState.fillState, state);
      }
    }
  }
}

// Code texts of values of every magnitude, with the base set (made from a
// table of character pairs) and with a remapped one (made character by
// character), against the plain draws.
TEST_F(OutputTest, CodeTextsAreTheDrawsOfTheirValues) {
  std::vector<std::int32_t> values;
  for (int bit = 0; bit < 31; ++bit) {
    const std::int32_t power = std::int32_t{1} << bit;
    values.insert(values.end(), {power, power + 1, power - 1 + power});
  }
  std::int32_t state = 17;
  for (int i = 0; i < 3000; ++i) values.push_back(state = Ms_Step(state));
  for (char delim : {'\0', ',', '0', 'a'}) {
    Frame(delim, delim == 0);
    std::string set = delim == 0 || delim == ',' ? kDotBase : fieldState.format.fixed10;
    for (std::int32_t value : values) {
      if (value == 1) continue;  // "BENCHMARKS"
      std::int32_t draws = value;
      ASSERT_EQ(Field(Output_Fixed10, value, 10, 1), Drawn(set.c_str(), &draws, 10) + "\n")
          << "value " << value << " delimiter " << int{delim};
    }
  }
}

TEST_F(OutputTest, FillRunsOnFromRowToRow) {
  struct Case {
    std::int32_t seed;
    int width;
    const char* rows[2];
  } cases[] = {
      {1, 7, {"TdcaaYV", "MZ6Wqvy"}},
      {7830309, 3, {"qUN", "zoy"}},
  };
  for (const Case& c : cases) {
    fieldState.fillState = c.seed;
    EXPECT_EQ(Field(Output_Fill, c.width, c.width, 1), std::string(c.rows[0]) + "\n");
    EXPECT_EQ(Field(Output_Fill, c.width, c.width, 1), std::string(c.rows[1]) + "\n");
  }
}

TEST_F(OutputTest, FillUsesWholeDraws) {
  struct Case {
    int width;
    int draws;
  } cases[] = {{1, 1}, {5, 1}, {6, 2}, {10, 2}, {11, 3}, {100, 20}};
  for (const Case& c : cases) {
    EXPECT_EQ(Output_FillDraws(c.width), c.draws);
    fieldState.fillState = 12345;
    std::string text = Field(Output_Fill, c.width, c.width, 0);
    EXPECT_EQ(text.size(), static_cast<std::size_t>(c.width));
    std::int32_t state = 12345;
    for (int i = 0; i < c.draws; ++i) state = Ms_Step(state);
    EXPECT_EQ(fieldState.fillState, state) << c.width;
  }
  // A worker that starts at the jumped-ahead state writes the same rows.
  fieldState.fillState = 7830309;
  std::string first = Field(Output_Fill, 6, 6, 0);
  std::string second = Field(Output_Fill, 6, 6, 0);
  fieldState.fillState = Ms_JumpAhead(7830309, static_cast<std::uint64_t>(Output_FillDraws(6)));
  EXPECT_EQ(Field(Output_Fill, 6, 6, 0), second);
  EXPECT_NE(first, second);
}

// Each state runs its own fill stream: writing from one leaves another
// where it stood.
TEST_F(OutputTest, FillStreamBelongsToItsState) {
  fieldState.fillState = 99;
  OutputFieldState other{Output_MakeFormat(0, 1), 7};
  OutputStream stream(-1, 16);
  ASSERT_EQ(Output_Fill(&stream, &other, 6, 6, 0), 0);
  EXPECT_EQ(fieldState.fillState, 99);
  EXPECT_EQ(other.fillState, Ms_JumpAhead(7, static_cast<std::uint64_t>(Output_FillDraws(6))));
  fieldState.fillState = 7;
  EXPECT_EQ(Field(Output_Fill, 6, 6, 0), std::string(stream.data(), stream.size()));
}

}  // namespace
}  // namespace zervgen
