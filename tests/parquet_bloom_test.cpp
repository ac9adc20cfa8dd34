// Tests of parquet/bloom: xxHash64 against published vectors, the sizes of
// bitsets, a filter's bits and header as worked out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "parquet/bloom.h"

namespace zervgen {
namespace {

using std::string_literals::operator""s;

// Published xxHash64 values (the reference implementation's xxhsum -H64).
// Inputs of 32 bytes and more go through the four-lane stripes; 33, 43 and
// 64 bytes leave 1, 11 and 0 bytes after them.
TEST(XxHash64, MatchesPublishedValues) {
  struct Case {
    const char* text;
    std::uint64_t seed;
    std::uint64_t hash;
  };
  const Case cases[] = {
      {"", 0, 0xEF46DB3751D8E999ULL},
      {"a", 0, 0xD24EC4F1A98C6E5BULL},
      {"abc", 0, 0x44BC2CF5AD770999ULL},
      {"xxhash", 0, 0x32DD38952C4BC720ULL},
      {"abcdefghijkl", 0, 0x4B09B7D3A233D4B3ULL},
      {"abcdefghijklmnop", 0, 0x71CE8137CA2DD53DULL},
      {"abcdefghijklmnopqrstuvwxyz12345", 0, 0x467605901B01D6F6ULL},
      {"abcdefghijklmnopqrstuvwxyz123456", 0, 0x0022EE3B5A18531BULL},
      {"abcdefghijklmnopqrstuvwxyz1234567", 0, 0x23BBD16D29353C5FULL},
      {"The quick brown fox jumps over the lazy dog", 0, 0x0B242D361FDA71BCULL},
      {"abcdefghijklmnopqrstuvwxyz1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZ!@", 0,
       0x71238680860515A7ULL},
      {"abcdefghijklmnopqrstuvwxyz12345", 877380273, 0x37B562EC5715E132ULL},
      {"abcdefghijklmnopqrstuvwxyz1234567", 42, 0x07A16228D57D97F5ULL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parquet_XxHash64(c.text, std::strlen(c.text), c.seed), c.hash)
        << "\"" << c.text << "\" seed " << c.seed;
  }
}

// 9.6815 bits a value, in bytes, rounded up to a power of two from 32:
// 26 values need 31.46 bytes, 27 need 32.68.
TEST(BloomBytes, PowersOfTwoFromOneBlock) {
  const std::pair<std::int64_t, std::size_t> cases[] = {
      {0, 32},
      {1, 32},
      {26, 32},
      {27, 64},
      {1000, 2048},
      {100000, 131072},
      {1000000, 2097152},
      {16777216, 33554432},
      {1LL << 40, kParquetBloomMaxBytes},
  };
  for (const auto& [distinct, bytes] : cases) {
    EXPECT_EQ(Parquet_BloomBytes(distinct), bytes) << distinct << " values";
  }
}

std::vector<std::uint32_t> Words(const ParquetBloomFilter& filter) {
  std::vector<std::uint32_t> words(filter.size() / 4);
  std::memcpy(words.data(), filter.bits(), filter.size());
  return words;
}

// The empty string hashes to 0xEF46DB3751D8E999: x = 0x51D8E999, and word i
// gets bit (x * salt[i] mod 2^32) >> 27. Its block among 2 is
// (0xEF46DB37 * 2) >> 32 = 1, among 4 it is 3.
TEST(BloomFilter, SetsTheBitsOfTheBlockItsHashPicks) {
  const std::vector<std::uint32_t> block = {0x20000000, 0x1,      0x2000000,  0x10000000,
                                            0x4000,     0x400000, 0x20000000, 0x40000000};
  for (const std::size_t blocks : {1, 2, 4}) {
    ParquetBloomFilter filter;
    ASSERT_TRUE(filter.Reset(32 * blocks));
    filter.InsertBytes("", 0);
    std::vector<std::uint32_t> want(8 * blocks, 0);
    std::copy(block.begin(), block.end(), want.end() - 8);
    EXPECT_EQ(Words(filter), want) << blocks << " blocks";
  }
}

// Every value inserted is found; of values never inserted, about 1% are
// found at the size for the values inserted (a fixed set: the same count
// every run).
TEST(BloomFilter, FindsWhatItHoldsAndFewOthers) {
  ParquetBloomFilter filter;
  const int n = 10000;
  ASSERT_TRUE(filter.Reset(Parquet_BloomBytes(n)));
  std::vector<std::int64_t> values(n);
  for (int i = 0; i < n; ++i) values[i] = std::int64_t{i} * 7919;
  filter.InsertNumbers(values.data(), 8, values.size());
  for (std::int64_t v : values) ASSERT_TRUE(filter.MightContain(Parquet_XxHash64(&v, 8, 0))) << v;
  int found = 0;
  for (std::int64_t v = -1; v > -100001; --v)
    found += filter.MightContain(Parquet_XxHash64(&v, 8, 0));
  EXPECT_LT(found, 1000) << "of 100000 absent values";
  // A number's hash is that of its little-endian bytes.
  const std::int32_t seven = 7;
  const unsigned char bytes[4] = {7, 0, 0, 0};
  EXPECT_EQ(Parquet_XxHash64(&seven, 4, 0), Parquet_XxHash64(bytes, 4, 0));
}

// The header in Thrift compact form: field 1 i32 numBytes (zigzag varint),
// then fields 2, 3 and 4, each a union holding its empty struct 1.
TEST(BloomFilter, HeaderAndBitsetAsWritten) {
  ParquetBloomFilter filter;
  ASSERT_TRUE(filter.Reset(64));
  ParquetBuffer out;
  filter.AppendTo(&out);
  const std::string header = "\x15\x80\x01\x1c\x1c\x00\x00\x1c\x1c\x00\x00\x1c\x1c\x00\x00\x00"s;
  ASSERT_EQ(out.size(), header.size() + 64);
  EXPECT_EQ(std::string(out.data(), header.size()), header);
  EXPECT_EQ(std::string(out.data() + header.size(), 64), std::string(64, '\0'));
}

}  // namespace
}  // namespace zervgen
