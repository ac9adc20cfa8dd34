// output/text.h: what the field writers and the row formatter share, for
// the output module's own files: the fixed texts and the address lengths,
// the bodies that show one value (number, date, text), and the framing of a
// body into a field (blanks, ".00", delimiter or line end). Everything here
// is inline, so that the row loop keeps it in registers.
#ifndef ZERVGEN_SRC_OUTPUT_TEXT_H_
#define ZERVGEN_SRC_OUTPUT_TEXT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/date.h"
#include "base/random.h"
#include "output/digits.h"
#include "output/output.h"

namespace zervgen::output_detail {

// The base strings of the character sets; never changed.
inline constexpr char kDotBase[65] =
    "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789:.";
inline constexpr char kBlankBase[65] =
    "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789: ";

inline constexpr char kBenchmarks[] = "BENCHMARKS";
inline constexpr char kTheZervBenchmarks[] = "THE+ZERV+BENCHMARKS+";
inline constexpr char kSiliconValley[] = "SILICON VALLEY";

// ---------------------------------------------------------------------------
// Address lengths: 1000 lengths of 2 to 80 characters, mean exactly 20.

struct LengthRun {
  std::int16_t length;
  std::int16_t count;
};

constexpr LengthRun kLengthRuns[] = {
    {2, 20},  {3, 40},  {4, 51},  {5, 48},  {6, 47},  {7, 46},  {8, 43},  {9, 41},  {10, 40},
    {11, 36}, {12, 33}, {13, 33}, {14, 30}, {15, 28}, {16, 26}, {17, 25}, {18, 23}, {19, 22},
    {20, 20}, {21, 19}, {22, 18}, {23, 17}, {24, 15}, {25, 14}, {26, 12}, {27, 11}, {28, 11},
    {29, 10}, {30, 10}, {31, 10}, {32, 9},  {33, 9},  {34, 9},  {35, 8},  {36, 8},  {37, 8},
    {38, 7},  {39, 7},  {40, 7},  {41, 6},  {42, 6},  {43, 6},  {44, 5},  {45, 5},  {46, 5},
    {47, 5},  {48, 5},  {49, 4},  {50, 4},  {51, 4},  {52, 4},  {53, 4},  {54, 3},  {55, 3},
    {56, 3},  {57, 3},  {58, 3},  {59, 3},  {60, 3},  {61, 3},  {62, 3},  {63, 3},  {64, 3},
    {65, 3},  {66, 2},  {67, 2},  {68, 2},  {69, 2},  {70, 2},  {71, 2},  {72, 2},  {73, 2},
    {74, 2},  {75, 2},  {76, 2},  {77, 2},  {78, 2},  {79, 2},  {80, 2},
};

using LengthTable = std::array<std::int16_t, 1000>;

// The lengths in nondecreasing order; a run list of the wrong total makes
// this fail to compile (index out of range in a constant expression).
constexpr LengthTable MakeSortedLengths() {
  LengthTable table{};
  std::size_t i = 0;
  for (const LengthRun& run : kLengthRuns) {
    for (int k = 0; k < run.count; ++k) table.at(i++) = run.length;
  }
  if (i != table.size()) throw "the length runs must cover 1000 entries";
  return table;
}

constexpr void SwapEntries(LengthTable& table, std::size_t a, std::size_t b) {
  std::int16_t t = table[a];
  table[a] = table[b];
  table[b] = t;
}

// A few short lengths moved to the front, and entry 5 made 14 long.
constexpr LengthTable MakeVarCharLengths() {
  LengthTable table = MakeSortedLengths();
  SwapEntries(table, 0, 105);
  SwapEntries(table, 5, 505);
  SwapEntries(table, 995, 999);
  return table;
}

constexpr bool IsNondecreasing(const LengthTable& table) {
  for (std::size_t i = 1; i < table.size(); ++i) {
    if (table[i] < table[i - 1]) return false;
  }
  return true;
}

constexpr int Sum(const LengthTable& table) {
  int sum = 0;
  for (std::int16_t length : table) sum += length;
  return sum;
}

inline constexpr LengthTable varCharLengths = MakeVarCharLengths();

static_assert(IsNondecreasing(MakeSortedLengths()));
static_assert(Sum(varCharLengths) == 20000);
static_assert(varCharLengths[0] == 4 && varCharLengths[1] == 2 && varCharLengths[4] == 2);
static_assert(varCharLengths[5] == 14 && varCharLengths[105] == 2 && varCharLengths[505] == 2);
static_assert(varCharLengths[995] == 80 && varCharLengths[999] == 78);

// ---------------------------------------------------------------------------
// The texts' random stream

// One step of a text's random stream; states of 0 and below go through
// Ms_Step.
inline std::int32_t DrawStep(std::int32_t x) {
  if (x <= 0) [[unlikely]] {
    return Ms_Step(x);
  }
  return Ms_MulMod(x, kRandomMultiplier);
}

// Two steps at once: 16807^2, still below the modulus.
inline constexpr std::uint64_t kRandomMultiplier2 =
    static_cast<std::uint64_t>(kRandomMultiplier) * kRandomMultiplier;
static_assert(kRandomMultiplier2 < static_cast<std::uint64_t>(kRandomModulus));

// ---------------------------------------------------------------------------
// Dates: the texts of all 36524 days, one table per framing.

// A date text in a 16-byte slot, so that it is copied with one fixed move.
struct DateText {
  char text[15];
  std::uint8_t size;
};
static_assert(sizeof(DateText) == 16);

inline constexpr int kDays = DATE_MAX_DAY + 1;

// The date texts of a framing ("MM/DD/YYYY" fixed, "M/D/YYYY" delimited),
// made at the first call and kept for the process.
const DateText* DateTexts(bool fixed);

// ---------------------------------------------------------------------------
// Field bodies: what a field shows between its blanks. Each tells its size
// and writes itself at p, returning p + size(); it may write a little beyond
// (never more than kMaxBodyWrite bytes from p), which the framing overwrites
// or leaves uncommitted.

inline constexpr std::size_t kMaxBodyBytes = 100;  // the longest text, a fill of 100
// The longest fill text and the unused characters of its last draw.
inline constexpr std::size_t kMaxBodyWrite = kMaxBodyBytes + 4;
inline constexpr int kMaxFillText = 100;

class DecimalBody {
 public:
  explicit DecimalBody(std::int32_t value)
      : negative_(value < 0 ? 1 : 0),
        magnitude_(negative_ ? 0u - static_cast<std::uint32_t>(value)
                             : static_cast<std::uint32_t>(value)),
        digits_(CountDigits(magnitude_)) {}
  int size() const { return digits_ + negative_; }
  char* Put(char* p) const {
    *p = '-';  // overwritten by the first digit when not negative
    PutDigits(p + negative_, magnitude_, digits_);
    return p + size();
  }

 private:
  int negative_;
  std::uint32_t magnitude_;
  int digits_;
};
static_assert(1 + 10 + 8 <= kMaxBodyWrite);  // sign, digits, scratch

class DateBody {
 public:
  explicit DateBody(const DateText& date) : date_(date) {}
  int size() const { return date_.size; }
  char* Put(char* p) const {
    std::memcpy(p, &date_, sizeof date_);
    return p + date_.size;
  }

 private:
  const DateText& date_;
};

class ConstBody {
 public:
  ConstBody(const char* text, int size) : text_(text), size_(size) {}
  int size() const { return size_; }
  char* Put(char* p) const {
    std::memcpy(p, text_, static_cast<std::size_t>(size_));
    return p + size_;
  }

 private:
  const char* text_;
  int size_;
};

// `size` characters drawn from `*state` with `set`, five to a draw, lowest
// bits first; the rest of the last draw is dropped. Writing moves the stream
// on.
class DrawnBody {
 public:
  DrawnBody(const char* set, std::int32_t* state, int size)
      : set_(set), state_(state), size_(size) {}
  int size() const { return size_; }
  char* Put(char* p) const {
    std::int32_t state = *state_;
    for (int i = 0; i < size_; i += 5) {
      state = DrawStep(state);
      auto x = static_cast<std::uint32_t>(state);
      p[i] = set_[x & 63];
      p[i + 1] = set_[(x >> 6) & 63];
      p[i + 2] = set_[(x >> 12) & 63];
      p[i + 3] = set_[(x >> 18) & 63];
      p[i + 4] = set_[(x >> 24) & 63];
    }
    *state_ = state;
    return p + size_;
  }

 private:
  const char* set_;
  std::int32_t* state_;
  int size_;
};

// Two characters of the code texts' base set for each 12 bits of a draw:
// entry i holds set[i & 63], then set[i >> 6].
using CharPair = std::array<char, 2>;
inline constexpr int kPairBits = 12;

constexpr std::array<CharPair, 1 << kPairBits> MakeCodePairs() {
  std::array<CharPair, 1 << kPairBits> pairs{};
  for (int i = 0; i < (1 << kPairBits); ++i) pairs[i] = {kDotBase[i & 63], kDotBase[i >> 6]};
  return pairs;
}
inline constexpr std::array<CharPair, 1 << kPairBits> kCodePairs = MakeCodePairs();

// Whether a code texts' set is still its base, which kCodePairs spells.
inline bool CodeSetIsBase(const char* set) { return std::memcmp(set, kDotBase, 64) == 0; }

// The ten characters of the code text of a value of 2 or more with the base
// set: the same two draws as DrawnBody's from a state starting at the value,
// but both computed from the value at once, and two characters per table
// entry.
class CodeBody {
 public:
  explicit CodeBody(std::int32_t value) : value_(value) {}
  int size() const { return 10; }
  char* Put(char* p) const {
    PutDraw(p, Ms_MulMod(value_, kRandomMultiplier));
    PutDraw(p + 5, Ms_MulMod(value_, kRandomMultiplier2));
    return p + 10;
  }

 private:
  // The five characters of a draw x at p, and one more that the next
  // characters overwrite: x >> 24 is below 128, and an entry's first
  // character is that of its low six bits.
  static void PutDraw(char* p, std::int32_t draw) {
    const auto x = static_cast<std::uint32_t>(draw);
    std::memcpy(p, kCodePairs[x & 4095].data(), 2);
    std::memcpy(p + 2, kCodePairs[(x >> 12) & 4095].data(), 2);
    std::memcpy(p + 4, kCodePairs[x >> 24].data(), 2);
  }

  std::int32_t value_;
};

// Where a field's blanks go in fixed-width rows.
enum class Align {
  kNone,   // width unused (dates)
  kRight,  // numbers; a negative width left-aligns, as printf's "%*" does
  kLeft,   // texts
};

// What the fields need besides their value: the framing, the character
// sets, the date texts of the framing, the fill stream, and whether code
// texts may be made with the base set's table.
struct FieldContext {
  bool fixed;
  char delim;
  const char* fixed10;
  const char* fixed20;
  const char* varChar;
  const char* fill;
  const DateText* dates;
  std::int32_t* fillState;
  bool codeSetIsBase;
};

// Calls put(body, align, cents) with the body showing `value` in a field of
// kind K, and returns what it returns. A date's value must be a valid day.
template <OutputKind K, typename Put>
[[gnu::always_inline]] inline auto WithBody(std::int32_t value, const FieldContext& context,
                                            Put&& put) {
  if constexpr (K == OutputKind::kInteger || K == OutputKind::kFloat) {
    return put(DecimalBody(value), Align::kRight, K == OutputKind::kFloat);
  } else if constexpr (K == OutputKind::kDate) {
    return put(DateBody(context.dates[value]), Align::kNone, false);
  } else if constexpr (K == OutputKind::kFill) {
    // The caller passes 1..100; anything else is held to 0..100.
    const int size = value < 0 ? 0 : (value > kMaxFillText ? kMaxFillText : value);
    return put(DrawnBody(context.fill, context.fillState, size), Align::kLeft, false);
  } else if constexpr (K == OutputKind::kFixed10) {
    if (value == 1) return put(ConstBody(kBenchmarks, 10), Align::kLeft, false);
    if (context.codeSetIsBase && value > 0) return put(CodeBody(value), Align::kLeft, false);
    std::int32_t state = value;
    return put(DrawnBody(context.fixed10, &state, 10), Align::kLeft, false);
  } else if constexpr (K == OutputKind::kFixed20) {
    if (value == 1) return put(ConstBody(kTheZervBenchmarks, 20), Align::kLeft, false);
    std::int32_t state = value;
    return put(DrawnBody(context.fixed20, &state, 20), Align::kLeft, false);
  } else {
    static_assert(K == OutputKind::kVarChar);
    if (value == 5) return put(ConstBody(kSiliconValley, 14), Align::kLeft, false);
    // Values are never negative; should one be, its length entry is the
    // nonnegative remainder, and the state start wraps instead of
    // overflowing.
    const int index = ((value % 1000) + 1000) % 1000;
    auto state = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1u);
    return put(DrawnBody(context.varChar, &state, varCharLengths[static_cast<std::size_t>(index)]),
               Align::kLeft, false);
  }
}

// ---------------------------------------------------------------------------
// Framing: [lead blanks][body][trail blanks][".00"][delimiter or "\n"].

inline constexpr std::size_t kBlankSlack = 16;
// Padding longer than this is written piecewise instead of in one reserve.
inline constexpr std::int64_t kMaxInlinePad = 4096;

// A field takes at most pad + kMaxFieldBytes bytes of room: the body and its
// scribble, blanks running past their end, and ".00" with the line end.
static_assert(kMaxBodyWrite <= kMaxFieldBytes);
static_assert(kMaxBodyBytes + kBlankSlack + 4 <= kMaxFieldBytes);

inline constexpr char kBlanks16[17] = "                ";

// Writes n blanks at p, and possibly up to kBlankSlack more after them: the
// usual few blanks take one store.
inline void PutBlanks(char* p, std::int64_t n) {
  std::memcpy(p, kBlanks16, 16);
  if (n <= 16) [[likely]] {
    return;
  }
  if (n > 128) {
    std::memset(p, ' ', static_cast<std::size_t>(n));
    return;
  }
  for (std::int64_t i = 16; i < n; i += 16) std::memcpy(p + i, kBlanks16, 16);
}

// Writes ".00" for a float, then the delimiter or the line end.
template <bool kFixed>
[[gnu::always_inline]] inline char* PutTail(char* p, bool cents, bool last, char delim) {
  if (cents) {
    std::memcpy(p, ".00", 3);
    p += 3;
  }
  if (last) {
    *p++ = '\n';
  } else if (!kFixed) {
    *p++ = delim;
  }
  return p;
}

// The blanks a field of `size` characters gets, and whether they lead. Only
// fixed-width rows pad.
template <bool kFixed>
[[gnu::always_inline]] inline std::int64_t Padding(int size, int width, Align align,
                                                   bool* padFirst) {
  *padFirst = false;
  if (!kFixed || align == Align::kNone) return 0;
  const std::int64_t w = width;
  *padFirst = align == Align::kRight && w > 0;
  const std::int64_t span = w < 0 ? -w : w;
  return span > size ? span - size : 0;
}

// Writes one framed field at p, into room of pad + kMaxFieldBytes bytes, and
// returns its end.
template <bool kFixed, typename Body>
[[gnu::always_inline]] inline char* PutFramed(char* p, const Body& body, std::int64_t pad,
                                              bool padFirst, bool cents, bool last, char delim) {
  if (kFixed && padFirst) {
    PutBlanks(p, pad);
    p += pad;
  }
  p = body.Put(p);
  if (kFixed && !padFirst && pad > 0) {
    PutBlanks(p, pad);
    p += pad;
  }
  return PutTail<kFixed>(p, cents, last, delim);
}

// The context of rows in `format`, drawing fill from *fillState.
FieldContext ContextOf(const OutputFormat& format, std::int32_t* fillState);

// One field of `kind` in `context`, through the stream, as the field
// writers write it. Returns 0, or STATUS_ERROR when the stream failed.
int WriteFieldIn(OutputStream* stream, const FieldContext& context, OutputKind kind,
                 std::int32_t value, int width, int last);
// The context of the single field writers: the framing and the character
// sets of `state`, its fill stream, and the date texts when `dates` is set;
// codeSetIsBase is left false.
FieldContext WriterContext(OutputFieldState* state, bool dates);

// Refuses an out-of-range day number through the conversion's own check.
[[gnu::cold]] int RefuseDay();

}  // namespace zervgen::output_detail

#endif  // ZERVGEN_SRC_OUTPUT_TEXT_H_
