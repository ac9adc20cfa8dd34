// output.cpp: the framing state and character sets, the seven field writers
// and the row formatter. Every field is formatted by hand into room reserved
// in the sink: a writer makes one Reserve per field, the row formatter one
// per row. Both frame the same bodies with the same code.
#include "output.h"

#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "date.h"
#include "except.h"
#include "random.h"

namespace zervgen {

char fixed10CharSet[65] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789:.";
char fixed20CharSet[65] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789: ";
char varCharCharSet[65] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789: ";
char fillCharSet[65] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789:.";

namespace {

// ---------------------------------------------------------------------------
// Module state

// Nonzero: fixed-width rows; zero: delimited rows.
int fixedFormat = 0;
// The field delimiter; kept only for delimited rows.
char delim = 0;
// The fill text's random stream. Each thread runs its own, so that worker
// threads can each write their own stretch of a relation's rows.
thread_local std::int32_t fillSeed = 1;

// The base strings of the character sets; never changed.
constexpr char kDotBase[65] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789:.";
constexpr char kBlankBase[65] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789: ";

constexpr char kBenchmarks[] = "BENCHMARKS";
constexpr char kTheZervBenchmarks[] = "THE+ZERV+BENCHMARKS+";
constexpr char kSiliconValley[] = "SILICON VALLEY";

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

constexpr LengthTable varCharLengths = MakeVarCharLengths();

static_assert(IsNondecreasing(MakeSortedLengths()));
static_assert(Sum(varCharLengths) == 20000);
static_assert(varCharLengths[0] == 4 && varCharLengths[1] == 2 && varCharLengths[4] == 2);
static_assert(varCharLengths[5] == 14 && varCharLengths[105] == 2 && varCharLengths[505] == 2);
static_assert(varCharLengths[995] == 80 && varCharLengths[999] == 78);

// ---------------------------------------------------------------------------
// Numbers

constexpr std::array<char, 200> MakeDigits2() {
  std::array<char, 200> digits{};
  for (int i = 0; i < 100; ++i) {
    digits[2 * i] = static_cast<char>('0' + i / 10);
    digits[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return digits;
}

// "00" to "99", two characters each.
constexpr std::array<char, 200> kDigits2 = MakeDigits2();

// For the numbers n of bit width b + 1 (2^b <= n < 2^(b+1)), an entry e
// such that (n + e) >> 32 is the number of digits of n: the digits of 2^b
// in the high word, and in the low one 2^32 - 10^k when the next power of
// ten 10^k lies among those numbers, so that reaching it carries.
constexpr std::array<std::uint64_t, 32> MakeDigitSteps() {
  std::array<std::uint64_t, 32> steps{};
  for (int b = 0; b < 32; ++b) {
    const std::uint64_t low = std::uint64_t{1} << b;
    int digits = 0;
    std::uint64_t next = 1;  // the least power of ten above low
    while (next <= low) {
      next *= 10;
      ++digits;
    }
    steps[b] = static_cast<std::uint64_t>(digits) << 32;
    if (next < 2 * low) steps[b] += (std::uint64_t{1} << 32) - next;
  }
  return steps;
}
constexpr std::array<std::uint64_t, 32> kDigitSteps = MakeDigitSteps();

// Number of decimal digits of n (1 for 0).
inline int CountDigits(std::uint32_t n) {
  n |= 1;  // 0 has one digit, like 1; no power of ten above 1 is odd
  return static_cast<int>((n + kDigitSteps[std::bit_width(n) - 1]) >> 32);
}

constexpr bool DigitStepsHold() {
  for (std::uint64_t power = 1; power <= 1000000000; power *= 10) {
    for (std::uint64_t n : {power - 1, power}) {
      if (n == 0) continue;
      const auto v = static_cast<std::uint32_t>(n);
      const auto count = static_cast<int>((v + kDigitSteps[std::bit_width(v) - 1]) >> 32);
      int digits = 0;
      for (std::uint64_t m = n; m > 0; m /= 10) ++digits;
      if (count != digits) return false;
    }
  }
  return ((std::uint64_t{UINT32_MAX} + kDigitSteps[31]) >> 32) == 10;
}
static_assert(DigitStepsHold());

// The 8 digits of v (< 10^8, with leading zeros) as eight characters in
// one word, the first in the lowest byte. The halves, then the pairs, then
// the digits are split in lanes of one register at once: a lane value times
// 10486 >> 20 is its quotient q by 100 below 10^4, times 103 >> 10 its
// quotient by 10 below 100, and no lane's product reaches the next lane.
// A lane x becomes q | (x - 100 q) << 16, which is (x << 16) - q (100 << 16
// - 1): one multiply, and no lane borrows, as each result is nonnegative.
inline std::uint64_t EightDigitsWord(std::uint32_t v) {
  std::uint64_t x = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007Full;
  x = (x << 16) - q * ((100u << 16) - 1);
  q = ((x * 103) >> 10) & 0x000F000F000F000Full;
  x = (x << 8) - q * ((10u << 8) - 1);
  return x + 0x3030303030303030ull;
}

// Stores the characters of a word made by EightDigitsWord at p, lowest byte
// first, whatever the machine's byte order.
inline void PutWord(char* p, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  std::memcpy(p, &word, 8);
}

// Writes the `digits` decimal digits of n at p, and possibly up to 8 bytes of
// scratch after them. The characters go straight from registers to p: a
// wide read of narrower stores just made would stall.
inline void PutDigits(char* p, std::uint32_t n, int digits) {
  if (digits <= 8) {
    PutWord(p, EightDigitsWord(n) >> (8 * (8 - digits)));
    return;
  }
  // The one or two leading digits: a pair from the table, of which the
  // first is overwritten when there are only nine.
  const std::uint32_t high = n / 100000000;
  std::memcpy(p, &kDigits2[high * 2 + static_cast<std::uint32_t>(10 - digits)], 2);
  PutWord(p + digits - 8, EightDigitsWord(n % 100000000));
}

// x * multiplier modulo the Mersenne prime 2^31-1, for x in 1..2^31-1 and a
// multiplier below 2^31: the high bits are folded onto the low ones, which
// takes fewer dependent operations than the 32-bit division form. The state
// 2^31-1 stays itself, as the division form keeps it.
inline std::int32_t MulMod(std::int32_t x, std::uint64_t multiplier) {
  const std::uint64_t product = static_cast<std::uint64_t>(x) * multiplier;
  const std::uint64_t r = (product & kRandomModulus) + (product >> 31);
  return static_cast<std::int32_t>(r > kRandomModulus ? r - kRandomModulus : r);
}

// One step of a text's random stream; states of 0 and below go through
// Ms_Step.
inline std::int32_t DrawStep(std::int32_t x) {
  if (x <= 0) [[unlikely]] {
    return Ms_Step(x);
  }
  return MulMod(x, kRandomMultiplier);
}

// Two steps at once: 16807^2, still below the modulus.
constexpr std::uint64_t kRandomMultiplier2 =
    static_cast<std::uint64_t>(kRandomMultiplier) * kRandomMultiplier;
static_assert(kRandomMultiplier2 < static_cast<std::uint64_t>(kRandomModulus));

// ---------------------------------------------------------------------------
// Dates: the texts of all 36524 days, made at the first date of a format.

// A date text in a 16-byte slot, so that it is copied with one fixed move.
struct DateText {
  char text[15];
  std::uint8_t size;
};
static_assert(sizeof(DateText) == 16);

constexpr int kDays = DATE_MAX_DAY + 1;

char* PutDatePart(char* p, int n, bool twoDigits) {
  if (n < 10 && !twoDigits) {
    *p = static_cast<char>('0' + n);
    return p + 1;
  }
  std::memcpy(p, &kDigits2[n * 2], 2);
  return p + 2;
}

// "MM/DD/YYYY" with two digits, else "M/D/YYYY".
const DateText* MakeDateTexts(bool twoDigits) {
  auto* texts = new DateText[kDays]();
  for (int centuryDay = 0; centuryDay < kDays; ++centuryDay) {
    std::uint16_t day, month, year;
    Date_Convert(static_cast<std::uint16_t>(centuryDay), &day, &month, &year);
    char* start = texts[centuryDay].text;
    char* p = PutDatePart(start, month, twoDigits);
    *p++ = '/';
    p = PutDatePart(p, day, twoDigits);
    *p++ = '/';
    std::memcpy(p, &kDigits2[(year / 100) * 2], 2);
    std::memcpy(p + 2, &kDigits2[(year % 100) * 2], 2);
    texts[centuryDay].size = static_cast<std::uint8_t>(p + 4 - start);
  }
  return texts;
}

// The table of the current format; a run touches only one of the two. They
// live as long as the process.
const DateText* DateTexts() {
  if (fixedFormat) {
    static const DateText* const fixedTexts = MakeDateTexts(true);
    return fixedTexts;
  }
  static const DateText* const delimitedTexts = MakeDateTexts(false);
  return delimitedTexts;
}

// ---------------------------------------------------------------------------
// Field bodies: what a field shows between its blanks. Each tells its size
// and writes itself at p, returning p + size(); it may write a little beyond
// (never more than kMaxBodyWrite bytes from p), which the framing overwrites
// or leaves uncommitted.

constexpr std::size_t kMaxBodyBytes = 100;  // the longest text, a fill of 100
// The longest fill text and the unused characters of its last draw.
constexpr std::size_t kMaxBodyWrite = kMaxBodyBytes + 4;
constexpr int kMaxFillText = 100;

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
constexpr int kPairBits = 12;

constexpr std::array<CharPair, 1 << kPairBits> MakeCodePairs() {
  std::array<CharPair, 1 << kPairBits> pairs{};
  for (int i = 0; i < (1 << kPairBits); ++i) pairs[i] = {kDotBase[i & 63], kDotBase[i >> 6]};
  return pairs;
}
constexpr std::array<CharPair, 1 << kPairBits> kCodePairs = MakeCodePairs();

// Whether the code texts' set is still its base, which kCodePairs spells.
bool CodeSetIsBase() { return std::memcmp(fixed10CharSet, kDotBase, 64) == 0; }

// The ten characters of the code text of a value of 2 or more with the base
// set: the same two draws as DrawnBody's from a state starting at the value,
// but both computed from the value at once, and two characters per table
// entry.
class CodeBody {
 public:
  explicit CodeBody(std::int32_t value) : value_(value) {}
  int size() const { return 10; }
  char* Put(char* p) const {
    PutDraw(p, MulMod(value_, kRandomMultiplier));
    PutDraw(p + 5, MulMod(value_, kRandomMultiplier2));
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

// What the fields of one kind need besides their value: the date texts of
// the current format, the fill stream, and whether code texts may be made
// with the base set's table.
struct FieldContext {
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
    return put(DrawnBody(fillCharSet, context.fillState, size), Align::kLeft, false);
  } else if constexpr (K == OutputKind::kFixed10) {
    if (value == 1) return put(ConstBody(kBenchmarks, 10), Align::kLeft, false);
    if (context.codeSetIsBase && value > 0) return put(CodeBody(value), Align::kLeft, false);
    std::int32_t state = value;
    return put(DrawnBody(fixed10CharSet, &state, 10), Align::kLeft, false);
  } else if constexpr (K == OutputKind::kFixed20) {
    if (value == 1) return put(ConstBody(kTheZervBenchmarks, 20), Align::kLeft, false);
    std::int32_t state = value;
    return put(DrawnBody(fixed20CharSet, &state, 20), Align::kLeft, false);
  } else {
    static_assert(K == OutputKind::kVarChar);
    if (value == 5) return put(ConstBody(kSiliconValley, 14), Align::kLeft, false);
    // Values are never negative; should one be, its length entry is the
    // nonnegative remainder, and the state start wraps instead of
    // overflowing.
    const int index = ((value % 1000) + 1000) % 1000;
    auto state = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1u);
    return put(DrawnBody(varCharCharSet, &state, varCharLengths[static_cast<std::size_t>(index)]),
               Align::kLeft, false);
  }
}

// ---------------------------------------------------------------------------
// Framing: [lead blanks][body][trail blanks][".00"][delimiter or "\n"].

constexpr std::size_t kBlankSlack = 16;
// Padding longer than this is written piecewise instead of in one reserve.
constexpr std::int64_t kMaxInlinePad = 4096;

// A field takes at most pad + kMaxFieldBytes bytes of room: the body and its
// scribble, blanks running past their end, and ".00" with the line end.
static_assert(kMaxBodyWrite <= kMaxFieldBytes);
static_assert(kMaxBodyBytes + kBlankSlack + 4 <= kMaxFieldBytes);

constexpr char kBlanks16[17] = "                ";

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

// Writes n blanks in pieces of at most kMaxInlinePad.
bool PutManyBlanks(OutputStream* stream, std::int64_t n) {
  for (; n > 0; n -= kMaxInlinePad) {
    char* p = stream->Reserve(kMaxInlinePad + kBlankSlack);
    if (p == nullptr) return false;
    const std::int64_t piece = n < kMaxInlinePad ? n : kMaxInlinePad;
    PutBlanks(p, piece);
    stream->Commit(p + piece);
  }
  return true;
}

// The rare field whose padding does not fit one reserve: blanks, body and
// tail are written in turns. A field longer than INT_MAX bytes fails, as a
// formatted write reports an overflow for it.
[[gnu::cold, gnu::noinline]] int PutWideField(OutputStream* stream, const char* body, int size,
                                              std::int64_t pad, bool padFirst, bool cents,
                                              int last) {
  if (pad + size + 4 > INT_MAX) return STATUS_ERROR;
  if (padFirst && !PutManyBlanks(stream, pad)) return STATUS_ERROR;
  char* p = stream->Reserve(kMaxFieldBytes);
  if (p == nullptr) return STATUS_ERROR;
  std::memcpy(p, body, static_cast<std::size_t>(size));
  stream->Commit(p + size);
  if (!padFirst && !PutManyBlanks(stream, pad)) return STATUS_ERROR;
  p = stream->Reserve(kMaxFieldBytes);
  if (p == nullptr) return STATUS_ERROR;
  stream->Commit(fixedFormat ? PutTail<true>(p, cents, last != 0, delim)
                             : PutTail<false>(p, cents, last != 0, delim));
  return 0;
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

// An out-of-range day number: the conversion's own check refuses it. A value
// whose low 16 bits would be a valid day is refused all the same.
[[gnu::cold]] int RefuseDay() {
  std::uint16_t day, month, year;
  Date_Convert(UINT16_MAX, &day, &month, &year);
  return STATUS_ERROR;  // not reached: the conversion raises
}

// One field through the stream: one Reserve, the bytes, one Commit. Returns
// 0 or STATUS_ERROR.
template <OutputKind K, bool kFixed>
int WriteField(OutputStream* stream, std::int32_t value, int width, int last) {
  const FieldContext context{K == OutputKind::kDate ? DateTexts() : nullptr, &fillSeed,
                             K == OutputKind::kFixed10 && CodeSetIsBase()};
  return WithBody<K>(value, context, [&](const auto& body, Align align, bool cents) {
    bool padFirst;
    const std::int64_t pad = Padding<kFixed>(body.size(), width, align, &padFirst);
    if (pad > kMaxInlinePad) {
      char text[kMaxBodyWrite];
      body.Put(text);
      return PutWideField(stream, text, body.size(), pad, padFirst, cents, last);
    }
    char* p = stream->Reserve(static_cast<std::size_t>(pad) + kMaxFieldBytes);
    if (p == nullptr) return STATUS_ERROR;
    stream->Commit(PutFramed<kFixed>(p, body, pad, padFirst, cents, last != 0, delim));
    return 0;
  });
}

template <OutputKind K>
int WriteField(OutputStream* stream, std::int32_t value, int width, int last) {
  if constexpr (K == OutputKind::kDate) {
    if (value < 0 || value > DATE_MAX_DAY) return RefuseDay();
  }
  return fixedFormat ? WriteField<K, true>(stream, value, width, last)
                     : WriteField<K, false>(stream, value, width, last);
}

// ---------------------------------------------------------------------------
// Whole rows

constexpr int kMaxRowFields = 16;

// A field of a row in the form the row loop reads it.
struct RowField {
  OutputKind kind;
  int width;
  const std::int32_t* values;
  std::ptrdiff_t stride;
};

// The rows the plain way: one writer call per field.
int PlainRows(OutputStream* stream, const OutputRowField* fields, int nFields, std::int32_t rows) {
  for (std::int32_t r = 0; r < rows; ++r) {
    for (int i = 0; i < nFields; ++i) {
      const OutputRowField& f = fields[i];
      const int last = i == nFields - 1 ? 1 : 0;
      if (f.writer(stream, f.values[r * f.stride], f.width, last) != 0) return STATUS_ERROR;
    }
  }
  return 0;
}

template <bool kFixed>
class RowWriter {
 public:
  RowWriter(const DateText* dates, std::int32_t* fillState)
      : context_{dates, fillState, CodeSetIsBase()} {}

  [[gnu::always_inline]] char* Put(char* p, const RowField& f, std::int32_t value,
                                   bool last) const {
    switch (f.kind) {
      case OutputKind::kInteger:
        return Put<OutputKind::kInteger>(p, value, f.width, last);
      case OutputKind::kFloat:
        return Put<OutputKind::kFloat>(p, value, f.width, last);
      case OutputKind::kDate:
        if (value < 0 || value > DATE_MAX_DAY) RefuseDay();
        return Put<OutputKind::kDate>(p, value, f.width, last);
      case OutputKind::kFixed10:
        return Put<OutputKind::kFixed10>(p, value, f.width, last);
      case OutputKind::kFixed20:
        return Put<OutputKind::kFixed20>(p, value, f.width, last);
      case OutputKind::kVarChar:
        return Put<OutputKind::kVarChar>(p, value, f.width, last);
      case OutputKind::kFill:
      case OutputKind::kOther:  // rows with other writers never come here
        return Put<OutputKind::kFill>(p, value, f.width, last);
    }
    // A field's kind is one of the above (Output_KindOf), so the dispatch
    // needs no range check.
    __builtin_unreachable();
  }

 private:
  template <OutputKind K>
  [[gnu::always_inline]] char* Put(char* p, std::int32_t value, int width, bool last) const {
    return WithBody<K>(value, context_, [&](const auto& body, Align align, bool cents) {
      bool padFirst;
      const std::int64_t pad = Padding<kFixed>(body.size(), width, align, &padFirst);
      return PutFramed<kFixed>(p, body, pad, padFirst, cents, last, delim);
    });
  }

  FieldContext context_;
};

// ---------------------------------------------------------------------------
// Reused field text. Many columns hold few distinct values (a hundred, say),
// so a field's framed bytes, blanks and delimiter included, are kept per
// value in a small direct-mapped table of the row formatter's thread and
// copied when the value comes again. A table lives as long as its thread and
// serves later calls while the field's framing and character set stay the
// same; it switches itself off when most values turn out to be new.

// What a field's bytes depend on besides its value.
struct FieldLook {
  OutputKind kind;
  int width;
  bool last;
  int fixed;
  char delim;
  char charSet[64];  // the texts' characters; unused for numbers

  bool operator==(const FieldLook&) const = default;
};

FieldLook LookOf(const RowField& f, bool last) {
  FieldLook look{f.kind, f.width, last, fixedFormat, delim, {}};
  const char* set = f.kind == OutputKind::kFixed10   ? fixed10CharSet
                    : f.kind == OutputKind::kFixed20 ? fixed20CharSet
                    : f.kind == OutputKind::kVarChar ? varCharCharSet
                                                     : nullptr;
  if (set != nullptr) std::memcpy(look.charSet, set, sizeof look.charSet);
  return look;
}

// Kinds whose bytes follow from the value alone; dates come from their own
// table already, fill text from a running stream.
bool Reusable(OutputKind kind) {
  return kind != OutputKind::kDate && kind != OutputKind::kFill && kind != OutputKind::kOther;
}

class FieldCache {
 public:
  static constexpr int kSlotBits = 9;
  static constexpr int kTextBytes = 96;  // longer fields are not kept

  // Makes the table serve a field of `look`, forgetting what it held for
  // another.
  void Serve(const FieldLook& look) {
    if (look == look_) return;
    look_ = look;
    ++generation_;
    lookups_ = 0;
    misses_ = 0;
    decided_ = false;
    on_ = true;
  }
  bool on() const { return on_; }

  // Writes the field of `value` at p, from the table or with format(p), and
  // returns its end. May write up to kTextBytes bytes from p. A value may
  // sit in either of two slots, so that two values seldom keep pushing
  // each other out.
  template <typename Format>
  [[gnu::always_inline]] char* Put(char* p, std::int32_t value, const Format& format) {
    const auto v = static_cast<std::uint32_t>(value);
    const std::uint64_t tag = (static_cast<std::uint64_t>(generation_) << 32) | v;
    std::uint32_t slot = FirstSlot(v);
    ++lookups_;
    if (tags_[slot] != tag) {
      slot = SecondSlot(v);
      if (tags_[slot] != tag) return Miss(p, v, tag, format(p));
    }
    const char* text = texts_[slot];
    const int size = sizes_[slot];
    std::memcpy(p, text, 32);
    for (int i = 32; i < size; i += 32) std::memcpy(p + i, text + i, 32);
    return p + size;
  }

 private:
  static constexpr int kSlots = 1 << kSlotBits;
  static constexpr std::uint32_t kProbeLookups = 4096;

  static std::uint32_t FirstSlot(std::uint32_t v) { return (v * 0x9E3779B1u) >> (32 - kSlotBits); }
  static std::uint32_t SecondSlot(std::uint32_t v) {
    return (v * 0x85EBCA77u) >> (32 - kSlotBits);
  }
  bool Held(std::uint32_t slot) const { return tags_[slot] >> 32 == generation_; }

  // Keeps the field just formatted at p .. end in a free one of its two
  // slots (else the first); decides once, after kProbeLookups, whether the
  // table pays.
  char* Miss(char* p, std::uint32_t v, std::uint64_t tag, char* end) {
    const std::ptrdiff_t size = end - p;
    if (size <= kTextBytes) {
      std::uint32_t slot = FirstSlot(v);
      if (Held(slot) && !Held(SecondSlot(v))) slot = SecondSlot(v);
      std::memcpy(texts_[slot], p, static_cast<std::size_t>(size));
      sizes_[slot] = static_cast<std::uint8_t>(size);
      tags_[slot] = tag;
    }
    ++misses_;
    if (!decided_ && lookups_ >= kProbeLookups) {
      decided_ = true;
      on_ = misses_ * 2 <= lookups_;
    }
    return end;
  }

  alignas(64) char texts_[kSlots][kTextBytes];
  std::uint64_t tags_[kSlots] = {};  // generation and value; generation 0 is never used
  std::uint8_t sizes_[kSlots] = {};
  FieldLook look_{OutputKind::kOther, 0, false, 0, 0, {}};
  std::uint32_t generation_ = 0;
  std::uint32_t lookups_ = 0;
  std::uint32_t misses_ = 0;
  bool decided_ = false;
  bool on_ = false;
};

// The table of field `index` in `caches`, made at its first use; null when
// it cannot be had or does not pay for this field.
FieldCache* CacheFor(OutputFieldCaches* caches, int index, const FieldLook& look) {
  static_assert(OutputFieldCaches::kFields >= kMaxRowFields);
  void*& table = caches->tables[index];
  if (table == nullptr) {
    void* memory = Output_Reallocate(nullptr, sizeof(FieldCache));
    if (memory == nullptr) return nullptr;
    table = new (memory) FieldCache();
  }
  auto* cache = static_cast<FieldCache*>(table);
  cache->Serve(look);
  return cache->on() ? cache : nullptr;
}

// Fetches the date text of the first date field kDateAhead rows ahead: the
// table is larger than the nearer caches, and every later field of the row
// waits for the length of the date.
class DateAhead {
 public:
  static constexpr std::int32_t kDateAhead = 16;

  DateAhead(const DateText* dates, const RowField* fields, int nFields, std::int32_t rows)
      : dates_(dates) {
    for (int i = 0; i < nFields && rows > kDateAhead; ++i) {
      if (fields[i].kind != OutputKind::kDate) continue;
      next_ = fields[i].values + kDateAhead * fields[i].stride;
      stride_ = fields[i].stride;
      rows_ = rows - kDateAhead;
      break;
    }
  }
  // Before row r of the rows, in order from row 0.
  void Fetch(std::int32_t r) {
    if (r >= rows_) return;
    const auto day = static_cast<std::uint32_t>(*next_);
    next_ += stride_;
    __builtin_prefetch(dates_ + (day < kDays ? day : 0u));
  }

 private:
  const DateText* dates_;
  const std::int32_t* next_ = nullptr;
  std::ptrdiff_t stride_ = 0;
  std::int32_t rows_ = 0;  // rows that have a day kDateAhead rows on
};

// The rows with one Reserve of `bound` bytes each and no call per field.
// Row r takes the value at `values` + r * stride of each field.
template <bool kFixed>
int FastRows(OutputStream* stream, const RowField* fields, int nFields, std::int32_t rows,
             std::size_t bound, std::int32_t* fillState, OutputFieldCaches* tables) {
  std::int32_t fill = *fillState;
  const DateText* dates = DateTexts();
  const RowWriter<kFixed> writer(dates, &fill);
  DateAhead dateAhead(dates, fields, nFields, rows);
  const int lastField = nFields - 1;
  FieldCache* caches[kMaxRowFields];
  for (int i = 0; i < nFields; ++i) {
    const bool cached = tables != nullptr && Reusable(fields[i].kind);
    caches[i] = cached ? CacheFor(tables, i, LookOf(fields[i], i == lastField)) : nullptr;
  }
  for (std::int32_t r = 0; r < rows; ++r) {
    char* p = stream->Reserve(bound);
    if (p == nullptr) {
      *fillState = fill;
      return STATUS_ERROR;
    }
    dateAhead.Fetch(r);
    for (int i = 0; i <= lastField; ++i) {
      const RowField& f = fields[i];
      const bool last = i == lastField;
      const std::int32_t value = f.values[r * f.stride];
      FieldCache* cache = caches[i];
      if (cache == nullptr) {
        p = writer.Put(p, f, value, last);
        continue;
      }
      p = cache->Put(p, value, [&](char* q) { return writer.Put(q, f, value, last); });
      if (!cache->on()) caches[i] = nullptr;
    }
    stream->Commit(p);
  }
  *fillState = fill;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Set-up

void Output_Initialize(char delim, int fixedFormat) {
  CHECK_REQUIRE_TEXT(((delim == 0) && (fixedFormat)) || ((delim != 0) && (!fixedFormat)),
                     "((delim == 0) && (fixedFormat)) || ((delim != 0) && (! fixedFormat))");
  // The parameters shadow the module state of the same names.
  zervgen::fixedFormat = fixedFormat;
  // The date texts are made now, before the columns take what memory
  // there is, so that writing the rows cannot run short of them.
  (void)DateTexts();
  std::memcpy(fixed10CharSet, kDotBase, sizeof kDotBase);
  std::memcpy(fixed20CharSet, kBlankBase, sizeof kBlankBase);
  std::memcpy(varCharCharSet, kBlankBase, sizeof kBlankBase);
  std::memcpy(fillCharSet, kDotBase, sizeof kDotBase);
  if (fixedFormat) return;
  zervgen::delim = delim;
  if (delim == ',') return;
  Output_remap(fixed10CharSet, delim, ',');
  Output_remap(fixed20CharSet, delim, ',');
  Output_remap(varCharCharSet, delim, ',');
  Output_remap(fillCharSet, delim, ',');
}

void Output_remap(char* charSet, char delim, char mapChar) {
  CHECK_REQUIRE_TEXT(charSet != nullptr, "charSet != NULL");
  CHECK_REQUIRE_TEXT(delim != 0, "delim != 0");
  CHECK_REQUIRE_TEXT(mapChar != 0, "mapChar != 0");
  for (int i = 0; i < 64; ++i) {
    if (charSet[i] == delim) {
      charSet[i] = mapChar;
      return;
    }
  }
}

bool Output_InFixedText(char c) {
  if (c == '\0') return false;
  for (const char* text : {kBenchmarks, kTheZervBenchmarks, kSiliconValley}) {
    if (std::strchr(text, c) != nullptr) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The seven writers

int Output_Integer(OutputStream* stream, std::int32_t value, int width, int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  return WriteField<OutputKind::kInteger>(stream, value, width, last);
}

int Output_Float(OutputStream* stream, std::int32_t value, int width, int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  return WriteField<OutputKind::kFloat>(stream, value, width, last);
}

int Output_Date(OutputStream* stream, std::int32_t value, int width, int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  return WriteField<OutputKind::kDate>(stream, value, width, last);
}

int Output_Fixed10(OutputStream* stream, std::int32_t value, int width, int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  return WriteField<OutputKind::kFixed10>(stream, value, width, last);
}

int Output_Fixed20(OutputStream* stream, std::int32_t value, int width, int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  return WriteField<OutputKind::kFixed20>(stream, value, width, last);
}

int Output_VarChar(OutputStream* stream, std::int32_t value, int width, int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  return WriteField<OutputKind::kVarChar>(stream, value, width, last);
}

int Output_Fill(OutputStream* stream, std::int32_t value, int width, int last) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  return WriteField<OutputKind::kFill>(stream, value, width, last);
}

// ---------------------------------------------------------------------------
// Rows

OutputKind Output_KindOf(OutputWriter writer) {
  if (writer == Output_Integer) return OutputKind::kInteger;
  if (writer == Output_Float) return OutputKind::kFloat;
  if (writer == Output_Date) return OutputKind::kDate;
  if (writer == Output_Fixed10) return OutputKind::kFixed10;
  if (writer == Output_Fixed20) return OutputKind::kFixed20;
  if (writer == Output_VarChar) return OutputKind::kVarChar;
  if (writer == Output_Fill) return OutputKind::kFill;
  return OutputKind::kOther;
}

namespace {

// Rows through the field writers, drawing fill from *fillState.
int PlainRowsFrom(OutputStream* stream, const OutputRowField* fields, int nFields,
                  std::int32_t rows, std::int32_t* fillState) {
  const std::int32_t saved = fillSeed;
  fillSeed = *fillState;
  const int status = PlainRows(stream, fields, nFields, rows);
  *fillState = fillSeed;
  fillSeed = saved;
  return status;
}

}  // namespace

std::size_t Output_RowBound(const OutputRowField* fields, int nFields) {
  std::size_t bound = 0;
  for (int i = 0; i < nFields; ++i) {
    const int w = fields[i].width;
    bound += static_cast<std::size_t>(w < 0 ? -static_cast<std::int64_t>(w) : w) + kMaxFieldBytes;
  }
  return bound;
}

OutputFieldCaches::~OutputFieldCaches() {
  for (void* table : tables) {
    if (table == nullptr) continue;
    static_cast<FieldCache*>(table)->~FieldCache();
    std::free(table);
  }
}

int Output_Rows(OutputStream* stream, const OutputRowField* fields, int nFields,
                std::int32_t rows, std::int32_t* fillState, OutputFieldCaches* caches) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  CHECK_REQUIRE_TEXT(fields != nullptr || nFields == 0, "fields != NULL || nFields == 0");
  CHECK_REQUIRE_TEXT(fillState != nullptr, "fillState != NULL");
  if (nFields <= 0) return 0;
  if (nFields > kMaxRowFields) return PlainRowsFrom(stream, fields, nFields, rows, fillState);
  // Every field takes at most its width and kMaxFieldBytes, padded or not.
  RowField row[kMaxRowFields];
  std::size_t bound = 0;
  for (int i = 0; i < nFields; ++i) {
    const OutputRowField& f = fields[i];
    const std::int64_t span = f.width < 0 ? -static_cast<std::int64_t>(f.width) : f.width;
    row[i] = RowField{Output_KindOf(f.writer), f.width, f.values, f.stride};
    if (row[i].kind == OutputKind::kOther || span > kMaxInlinePad) {
      return PlainRowsFrom(stream, fields, nFields, rows, fillState);
    }
    bound += static_cast<std::size_t>(span) + kMaxFieldBytes;
  }
  return fixedFormat ? FastRows<true>(stream, row, nFields, rows, bound, fillState, caches)
                     : FastRows<false>(stream, row, nFields, rows, bound, fillState, caches);
}

void Output_SetFillSeed(std::int32_t seed) {
  CHECK_REQUIRE_TEXT(seed != 0, "seed != NULL");
  fillSeed = seed;
}

std::int32_t Output_GetFillState() { return fillSeed; }

void Output_SetFillState(std::int32_t state) { fillSeed = state; }

}  // namespace zervgen
