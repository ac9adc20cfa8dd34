// output/digits.h: decimal digits by hand for the output module. Integers
// are written from registers, eight digits in one word, with their count
// from a table; no division per digit and no library call per field.
#ifndef ZERVGEN_SRC_OUTPUT_DIGITS_H_
#define ZERVGEN_SRC_OUTPUT_DIGITS_H_

#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

namespace zervgen {

constexpr std::array<char, 200> MakeDigits2() {
  std::array<char, 200> digits{};
  for (int i = 0; i < 100; ++i) {
    digits[2 * i] = static_cast<char>('0' + i / 10);
    digits[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return digits;
}

// "00" to "99", two characters each.
inline constexpr std::array<char, 200> kDigits2 = MakeDigits2();

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
inline constexpr std::array<std::uint64_t, 32> kDigitSteps = MakeDigitSteps();

// Number of decimal digits of n (1 for 0).
inline int CountDigits(std::uint32_t n) {
  n |= 1;  // 0 has one digit, like 1; no power of ten above 1 is odd
  return static_cast<int>((n + kDigitSteps[std::bit_width(n) - 1]) >> 32);
}

inline constexpr bool DigitStepsHold() {
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

}  // namespace zervgen

#endif  // ZERVGEN_SRC_OUTPUT_DIGITS_H_
