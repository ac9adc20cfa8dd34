// parquet_test.cpp: the Parquet writer's Thrift encoding, value encodings,
// codecs, chunks and files, read back with the independent reader of
// parquet_test_util.h.
#include <gtest/gtest.h>
#include <snappy.h>
#include <zstd.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "output/output.h"
#include "parquet/chunk.h"
#include "parquet/codec.h"
#include "parquet/encoding.h"
#include "parquet/file.h"
#include "parquet/thrift.h"
#include "parquet_test_util.h"
#include "run/parquet_rows.h"

namespace zervgen {
namespace {

using zervgen_test::DecodeRleHybrid;
using zervgen_test::ReadParquet;
using zervgen_test::TValue;

std::string Str(const ParquetBuffer& b) { return std::string(b.data(), b.size()); }
std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
    out += ' ';
  }
  return out;
}
template <typename T>
std::string Raw(T v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}
std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

TEST(ThriftTest, VarintsAndZigZag) {
  struct {
    std::uint64_t value;
    std::string bytes;
  } varints[] = {{0, B({0})},
                 {127, B({0x7F})},
                 {128, B({0x80, 0x01})},
                 {300, B({0xAC, 0x02})},
                 {16384, B({0x80, 0x80, 0x01})},
                 {UINT64_MAX, B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})}};
  for (const auto& c : varints) {
    ParquetBuffer b;
    Thrift_PutVarint(&b, c.value);
    EXPECT_EQ(Hex(Str(b)), Hex(c.bytes)) << c.value;
  }
  struct {
    std::int64_t value;
    std::uint64_t zigzag;
  } zigzags[] = {
      {0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {INT32_MAX, 0xFFFFFFFEu}, {INT32_MIN, 0xFFFFFFFFu}};
  for (const auto& c : zigzags) {
    EXPECT_EQ(Thrift_ZigZag32(static_cast<std::int32_t>(c.value)), c.zigzag) << c.value;
    EXPECT_EQ(Thrift_ZigZag64(c.value), c.zigzag) << c.value;
  }
  EXPECT_EQ(Thrift_ZigZag64(INT64_MIN), UINT64_MAX);
  EXPECT_EQ(Thrift_ZigZag64(INT64_MAX), UINT64_MAX - 1);
}

// Worked by hand from the compact protocol: short and long field headers,
// bools in the header, a list of 15 elements (long list header), nesting.
TEST(ThriftTest, StructBytes) {
  ParquetBuffer page;
  Parquet_PutDataPageHeader(&page, 100, 50, 10, kEncPlain);
  EXPECT_EQ(Hex(Str(page)), Hex(B({0x15, 0x00, 0x15, 0xC8, 0x01, 0x15, 0x64, 0x2C, 0x15, 0x14, 0x15,
                                   0x00, 0x15, 0x06, 0x15, 0x06, 0x00, 0x00})));
  ParquetBuffer b;
  ThriftWriter w(&b);
  w.FieldBool(1, true);
  w.FieldBool(2, false);
  w.FieldI64(20, -1);
  w.FieldBinary(21, "ab", 2);
  w.BeginList(22, ThriftType::kI32, 15);
  for (int i = 0; i < 15; ++i) w.ListI32(-2);
  w.FieldI8(23, -1);
  w.FieldI16(24, 300);
  w.BeginStruct(40);
  w.FieldI32(1, 7);
  w.End();
  w.FieldI32(41, 1);  // the outer struct's ids go on from 40
  w.End();
  std::string want = B({0x11, 0x12, 0x06, 0x28, 0x01, 0x18, 0x02, 'a', 'b', 0x19, 0xF5, 0x0F});
  want += std::string(15, '\x03');
  want += B({0x13, 0xFF, 0x14, 0xD8, 0x04, 0x0C, 0x50, 0x15, 0x0E, 0x00, 0x15, 0x02, 0x00});
  EXPECT_EQ(Hex(Str(b)), Hex(want));
  // The independent reader sees the same fields.
  TValue v = zervgen_test::ThriftReader(Str(b), 0).Struct();
  EXPECT_EQ(v[20].i, -1);
  EXPECT_EQ(v[22].list.size(), 15u);
  EXPECT_EQ(v[24].i, 300);
  EXPECT_EQ(v[40][1].i, 7);
  EXPECT_EQ(v[41].i, 1);
}

TEST(RleHybridTest, ExactBytes) {
  struct {
    std::vector<std::uint32_t> values;
    int bitWidth;
    std::string bytes;
  } cases[] = {
      {{1, 1, 1, 1, 1, 1, 1, 1}, 1, B({0x10, 0x01})},
      {{0, 1, 2, 3, 4, 5, 6, 7}, 3, B({0x03, 0x88, 0xC6, 0xFA})},
      {{5}, 3, B({0x03, 0x05, 0x00, 0x00})},  // one group, padded with zeros
      {std::vector<std::uint32_t>(300, 0x1234), 13, B({0xD8, 0x04, 0x34, 0x12})},
      // Three literals take five of the nine sevens to fill their group;
      // the four left are too few for a run.
      {{1, 2, 3, 7, 7, 7, 7, 7, 7, 7, 7, 7}, 3, B({0x05, 0xD1, 0xFE, 0xFF, 0xFF, 0x0F, 0x00})},
      // With thirteen, eight are left: a run of eight.
      {{1, 2, 3, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7},
       3,
       B({0x03, 0xD1, 0xFE, 0xFF, 0x10, 0x07})},
  };
  for (const auto& c : cases) {
    ParquetBuffer b;
    Parquet_PutRleHybrid(&b, c.values.data(), c.values.size(), c.bitWidth);
    EXPECT_EQ(Hex(Str(b)), Hex(c.bytes));
  }
  EXPECT_EQ(Parquet_BitWidth(0), 1);
  EXPECT_EQ(Parquet_BitWidth(1), 1);
  EXPECT_EQ(Parquet_BitWidth(2), 2);
  EXPECT_EQ(Parquet_BitWidth(65535), 16);
  EXPECT_EQ(Parquet_BitWidth(65536), 17);
  EXPECT_EQ(Parquet_BitWidth(UINT32_MAX), 32);
}

// Runs of every length around the RLE threshold after literals that end
// off a group boundary, long literal stretches past one run's 504 values,
// and every bit width.
TEST(RleHybridTest, RoundTrips) {
  std::uint32_t state = 12345;
  auto next = [&] { return state = state * 1103515245u + 12345u; };
  for (int bitWidth : {1, 2, 3, 7, 8, 9, 16, 17, 31, 32}) {
    const std::uint64_t mask = (std::uint64_t{1} << bitWidth) - 1;
    std::vector<std::uint32_t> values;
    for (int run = 1; run <= 20; ++run) {
      for (int lead = 0; lead < 9; ++lead)
        values.push_back(static_cast<std::uint32_t>(next() & mask));
      values.insert(values.end(), static_cast<std::size_t>(run),
                    static_cast<std::uint32_t>(next() & mask));
    }
    for (int i = 0; i < 1100; ++i)
      values.push_back(static_cast<std::uint32_t>((next() >> 3) & mask));
    values.insert(values.end(), 100000, static_cast<std::uint32_t>(mask));
    for (std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{505}, values.size()}) {
      ParquetBuffer b;
      Parquet_PutRleHybrid(&b, values.data(), n, bitWidth);
      ASSERT_TRUE(b.ok());
      const auto back = DecodeRleHybrid(Str(b), bitWidth, n);
      EXPECT_TRUE(std::equal(back.begin(), back.end(), values.begin())) << bitWidth << " " << n;
    }
  }
}

// The hybrid as a plain model writes it, value by value: a run of eight or
// more equal values becomes an RLE run once the values before it fill their
// last group of eight (taking from the run if need be); everything else is
// bit-packed, at most 63 groups to a header, the last group padded.
std::string ModelRleHybrid(const std::vector<std::uint32_t>& v, int bitWidth) {
  std::string out;
  auto varint = [&](std::uint64_t x) {
    for (; x >= 0x80; x >>= 7) out += static_cast<char>((x & 0x7F) | 0x80);
    out += static_cast<char>(x);
  };
  auto literals = [&](std::size_t from, std::size_t to) {
    for (; from < to; from += 504) {
      const std::size_t count = std::min<std::size_t>(to - from, 504);
      const std::size_t groups = (count + 7) / 8;
      varint(groups << 1 | 1);
      std::string bits(groups * static_cast<std::size_t>(bitWidth), '\0');
      for (std::size_t k = 0; k < count; ++k) {
        for (int b = 0; b < bitWidth; ++b) {
          const std::size_t at =
              k * static_cast<std::size_t>(bitWidth) + static_cast<std::size_t>(b);
          if ((v[from + k] >> b) & 1)
            bits[at / 8] = static_cast<char>(bits[at / 8] | 1 << (at % 8));
        }
      }
      out += bits;
    }
  };
  std::size_t literal = 0;
  std::size_t i = 0;
  while (i < v.size()) {
    std::size_t run = 1;
    while (i + run < v.size() && v[i + run] == v[i]) ++run;
    const std::size_t fill = std::min(run, (8 - (i - literal) % 8) % 8);
    if (run - fill >= 8) {
      literals(literal, i + fill);
      varint((run - fill) << 1);
      for (int b = 0; b < (bitWidth + 7) / 8; ++b) out += static_cast<char>(v[i] >> (8 * b));
      literal = i + run;
    }
    i += run;
  }
  literals(literal, v.size());
  return out;
}

// The encoder's bytes are the model's, for values with runs of every length
// from every offset among few distinct values (so that equal neighbours
// short of a run abound), or among all the width holds (every bit of a
// group in use), and at the end of the values.
TEST(RleHybridTest, SameBytesAsTheModel) {
  std::uint32_t state = 777;
  auto next = [&] { return state = state * 1103515245u + 12345u; };
  struct {
    int bitWidth;
    bool everyValue;
  } cases[] = {{1, false}, {2, false}, {5, false}, {7, false}, {12, false}, {32, false},
               {1, true},  {2, true},  {3, true},  {4, true},  {5, true},   {6, true},
               {7, true},  {8, true},  {9, true},  {17, true}, {32, true}};
  for (const auto& [bitWidth, everyValue] : cases) {
    const std::uint32_t values = bitWidth == 1 ? 2 : 3;
    const std::uint64_t all = std::uint64_t{1} << bitWidth;
    std::vector<std::uint32_t> v;
    for (int k = 0; k < 4000; ++k) {
      const std::uint32_t x =
          everyValue ? static_cast<std::uint32_t>(((std::uint64_t{next()} << 16) ^ next()) % all)
                     : ((next() >> 8) % values) * (bitWidth == 32 ? 0x7FFFFFFFu : 1u);
      const std::size_t run = (next() >> 8) % 5 == 0 ? 1 + (next() >> 8) % 19 : 1;
      v.insert(v.end(), run, x);
    }
    for (std::size_t n : {std::size_t{9}, std::size_t{63}, std::size_t{1000}, v.size()}) {
      const std::vector<std::uint32_t> part(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n));
      ParquetBuffer b;
      const std::uint32_t most = Parquet_PutRleHybrid(&b, part.data(), n, bitWidth);
      ASSERT_TRUE(b.ok());
      EXPECT_EQ(most, *std::max_element(part.begin(), part.end()));
      EXPECT_EQ(Hex(Str(b)), Hex(ModelRleHybrid(part, bitWidth)))
          << bitWidth << " " << everyValue << " " << n;
    }
  }
}

// PLAIN strings are each one's four-byte length and its bytes, whatever
// their lengths (short ones are copied wide), with or without a trailer
// after each, for ranges that end at the last byte there is to read (kept
// in a buffer of its own, so that a read past it shows under the
// sanitizers), appended after bytes already in the buffer.
TEST(PlainEncodingTest, StringsAreLengthAndBytes) {
  for (std::uint32_t trailer : {0u, 1u}) {
    std::string text;
    std::vector<std::uint32_t> offsets;
    std::vector<std::string> strings;
    for (std::size_t length : {0, 1, 10, 15, 16, 17, 20, 40, 3, 16, 0, 12}) {
      offsets.push_back(static_cast<std::uint32_t>(text.size()));
      std::string one;
      for (std::size_t k = 0; k < length; ++k)
        one += static_cast<char>('a' + (k + text.size()) % 26);
      strings.push_back(one);
      text += one + std::string(trailer, '\n');
    }
    offsets.push_back(static_cast<std::uint32_t>(text.size()));
    const std::unique_ptr<char[]> exact(new char[text.size()]);
    std::memcpy(exact.get(), text.data(), text.size());
    const ParquetStrings all{exact.get(), offsets.data(), trailer};
    for (std::size_t first : {std::size_t{0}, std::size_t{3}, std::size_t{11}}) {
      const std::size_t n = strings.size() - first;
      ParquetBuffer b;
      b.Append("head", 4);
      Parquet_PutPlainStrings(&b, all, first, n);
      ASSERT_TRUE(b.ok());
      std::string want = "head";
      for (std::size_t i = first; i < first + n; ++i) {
        const auto size = static_cast<std::uint32_t>(strings[i].size());
        want += std::string(reinterpret_cast<const char*>(&size), 4) + strings[i];
      }
      EXPECT_EQ(Hex(Str(b)), Hex(want)) << trailer << " " << first;
    }
  }
}

// Strings of one length told by their stride instead of offsets give the
// bytes the offsets give, short ones (copied wide) and long ones, for
// ranges that end at the last byte there is to read.
TEST(PlainEncodingTest, StridedStringsAreTheOffsetsOnes) {
  for (std::uint32_t length : {1u, 10u, 15u, 16u, 17u, 40u}) {
    for (std::uint32_t trailer : {0u, 1u}) {
      const std::uint32_t stride = length + trailer;
      constexpr std::uint32_t kStrings = 9;
      std::vector<char> text(std::size_t{kStrings} * stride);
      for (std::size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char>('a' + k * 7 % 26);
      std::vector<std::uint32_t> offsets;
      for (std::uint32_t i = 0; i <= kStrings; ++i) offsets.push_back(i * stride);
      const ParquetStrings strided{text.data(), nullptr, trailer, stride};
      const ParquetStrings listed{text.data(), offsets.data(), trailer};
      ASSERT_TRUE(strided.valid());
      for (std::size_t first : {0, 1, 8}) {
        ParquetBuffer a, b;
        Parquet_PutPlainStrings(&a, strided, first, kStrings - first);
        Parquet_PutPlainStrings(&b, listed, first, kStrings - first);
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_EQ(a.size(), (kStrings - first) * (4 + length)) << length << " " << first;
        EXPECT_EQ(Hex(Str(a)), Hex(Str(b))) << length << " " << trailer << " " << first;
      }
    }
  }
}

TEST(CodecTest, RoundTripsAndIsDeterministic) {
  std::string data;
  for (int i = 0; i < 300000; ++i) data += static_cast<char>("abcab"[i % 5] + (i / 1000) % 7);
  for (ParquetCodec codec :
       {ParquetCodec::kUncompressed, ParquetCodec::kSnappy, ParquetCodec::kZstd}) {
    ParquetCompressor one, two;
    ParquetBuffer a, b, c;
    ASSERT_EQ(one.Compress(codec, data.data(), data.size(), &a), StatusCode::kOk);
    ASSERT_EQ(one.Compress(codec, data.data(), data.size(), &b), StatusCode::kOk);
    ASSERT_EQ(two.Compress(codec, data.data(), data.size(), &c), StatusCode::kOk);
    EXPECT_TRUE(Str(a) == Str(b) && Str(a) == Str(c)) << Parquet_CodecName(codec);
    if (codec != ParquetCodec::kUncompressed) {
      EXPECT_LT(a.size(), data.size() / 4);
    }
    const int id = static_cast<int>(codec);
    EXPECT_TRUE(zervgen_test::Decompress(id, Str(a), data.size()) == data) << id;
  }
  ParquetCodec codec;
  EXPECT_TRUE(Parquet_CodecFromName("zstd", &codec) && codec == ParquetCodec::kZstd);
  EXPECT_TRUE(Parquet_CodecFromName("none", &codec) && codec == ParquetCodec::kUncompressed);
  EXPECT_FALSE(Parquet_CodecFromName("gzip", &codec));
}

// Strings for ParquetValues: the texts back to back, no trailer.
struct StringColumn {
  std::string bytes;
  std::vector<std::uint32_t> offsets{0};
  explicit StringColumn(const std::vector<std::string>& texts) {
    for (const auto& t : texts) {
      bytes += t;
      offsets.push_back(static_cast<std::uint32_t>(bytes.size()));
    }
  }
  ParquetStrings strings() const { return {bytes.data(), offsets.data(), 0}; }
};

// A plain string chunk handed over a part at a time is the chunk of all
// its strings at once, byte for byte and in its metadata: parts of every
// size, across page ends, the least and the greatest string in any part
// (or a greatest too long to be kept), each codec, after bytes already in
// the buffer. Parts beyond the rows, too few, or no Begin are refused and
// leave the buffer as it was.
TEST(ParquetChunkTest, PlainStringsInPartsAreTheWholeChunk) {
  std::vector<std::string> texts;
  std::uint32_t state = 5;
  for (int i = 0; i < 150000; ++i) {
    state = state * 1103515245u + 12345u;
    const std::size_t length = (state >> 16) % 31;
    texts.push_back(std::string(length, static_cast<char>('b' + (state >> 8) % 20)));
  }
  std::vector<std::string> lateBounds = texts;
  lateBounds[149999] = "a";
  lateBounds[120000] = "zz";
  std::vector<std::string> longMost = texts;
  longMost[70000] = std::string(200, 'y');
  for (const auto& column : {texts, lateBounds, longMost}) {
    const StringColumn strings(column);
    const auto rows = static_cast<std::int32_t>(column.size());
    for (ParquetCodec codec : {ParquetCodec::kUncompressed, ParquetCodec::kSnappy}) {
      ParquetChunkEncoder whole;
      ParquetBuffer want;
      want.Append("head", 4);
      ParquetChunkMeta wantMeta{};
      ASSERT_EQ(whole.EncodeInto({"c", ParquetType::kString, 0}, codec,
                                 {.strings = strings.strings()}, rows, &want, &wantMeta),
                StatusCode::kOk);
      for (std::int32_t part : {rows, 1000, 7, 65536, 40000}) {
        ParquetChunkEncoder encoder;
        ParquetBuffer got;
        got.Append("head", 4);
        ParquetChunkMeta meta{};
        ASSERT_EQ(encoder.BeginPlainStrings(codec, rows, &got, &meta), StatusCode::kOk);
        for (std::int32_t first = 0; first < rows; first += part) {
          const ParquetStrings some{strings.bytes.data(),
                                    strings.offsets.data() + static_cast<std::size_t>(first), 0};
          ASSERT_EQ(encoder.AddPlainStrings(some, std::min(part, rows - first)), StatusCode::kOk);
        }
        ASSERT_EQ(encoder.EndPlainStrings(), StatusCode::kOk);
        EXPECT_TRUE(Str(got) == Str(want)) << part;
        EXPECT_EQ(meta.dataPages, wantMeta.dataPages);
        EXPECT_EQ(meta.numValues, wantMeta.numValues);
        EXPECT_EQ(meta.uncompressedBytes, wantMeta.uncompressedBytes);
        EXPECT_EQ(meta.compressedBytes, wantMeta.compressedBytes);
        EXPECT_EQ(meta.dataPageOffset, wantMeta.dataPageOffset);
        EXPECT_FALSE(meta.dictionary);
        EXPECT_EQ(meta.codec, codec);
        ASSERT_EQ(meta.hasStats, wantMeta.hasStats) << part;
        EXPECT_EQ(std::string(meta.min.bytes, meta.min.size),
                  std::string(wantMeta.min.bytes, wantMeta.min.size));
        EXPECT_EQ(std::string(meta.max.bytes, meta.max.size),
                  std::string(wantMeta.max.bytes, wantMeta.max.size));
      }
      EXPECT_GT(wantMeta.dataPages, 2);
      EXPECT_EQ(wantMeta.hasStats, column[70000].size() < 200);
    }
  }
  const StringColumn few({"x", "y", "z"});
  ParquetChunkEncoder encoder;
  ParquetBuffer bytes;
  bytes.Append("head", 4);
  ParquetChunkMeta meta{};
  // Pages gone into the buffer are taken back when the chunk fails.
  const StringColumn many(texts);
  ASSERT_EQ(encoder.BeginPlainStrings(ParquetCodec::kSnappy, 150001, &bytes, &meta),
            StatusCode::kOk);
  ASSERT_EQ(encoder.AddPlainStrings(many.strings(), 150000), StatusCode::kOk);
  EXPECT_GT(bytes.size(), std::size_t{100000});
  EXPECT_EQ(encoder.EndPlainStrings(), StatusCode::kInvalidArgument);
  EXPECT_EQ(Str(bytes), "head");
  EXPECT_EQ(encoder.AddPlainStrings(few.strings(), 1), StatusCode::kInvalidArgument);
  ASSERT_EQ(encoder.BeginPlainStrings(ParquetCodec::kSnappy, 2, &bytes, &meta), StatusCode::kOk);
  EXPECT_EQ(encoder.AddPlainStrings(few.strings(), 3), StatusCode::kInvalidArgument);
  EXPECT_EQ(Str(bytes), "head");
  ASSERT_EQ(encoder.BeginPlainStrings(ParquetCodec::kSnappy, 3, &bytes, &meta), StatusCode::kOk);
  ASSERT_EQ(encoder.AddPlainStrings(few.strings(), 2), StatusCode::kOk);
  EXPECT_EQ(encoder.EndPlainStrings(), StatusCode::kInvalidArgument);
  EXPECT_EQ(Str(bytes), "head");
}

// Pages that compress very differently one after the other (each page's
// body goes behind a header made for a guess of its compressed size, and
// is moved when the true header is longer or shorter): every header names its
// body's sizes, and the pages give back the strings, with each codec.
TEST(ParquetChunkTest, PagesOfEveryCompressibilityReadBack) {
  std::vector<std::string> texts;
  std::uint32_t state = 11;
  for (int block = 0; block < 5; ++block) {
    for (int i = 0; i < 60000; ++i) {
      std::string t(20, 'a');
      if (block % 2 == 1) {
        for (char& c : t) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
      }
      texts.push_back(t);
    }
  }
  texts.resize(texts.size() - 7000);  // a short last page
  const StringColumn strings(texts);
  const struct {
    ParquetCodec codec;
    int thriftCodec;
  } codecs[] = {
      {ParquetCodec::kUncompressed, 0}, {ParquetCodec::kSnappy, 1}, {ParquetCodec::kZstd, 6}};
  for (const auto& [codec, thriftCodec] : codecs) {
    ParquetEncodedChunk chunk;
    ASSERT_EQ(Parquet_EncodeColumnChunk({"c", ParquetType::kString, 0}, codec,
                                        {.strings = strings.strings()},
                                        static_cast<std::int32_t>(texts.size()), &chunk),
              StatusCode::kOk);
    const std::string bytes = Str(chunk.bytes);
    std::vector<std::string> back;
    std::size_t at = 0;
    std::int64_t uncompressed = 0;
    int pages = 0;
    while (at < bytes.size()) {
      zervgen_test::ThriftReader r(bytes, at);
      const TValue header = r.Struct();
      const auto size = static_cast<std::size_t>(header[3].i);
      ASSERT_LE(r.at() + size, bytes.size()) << pages;
      const std::string body =
          zervgen_test::Decompress(thriftCodec, bytes.substr(r.at(), size), header[2].i);
      ASSERT_EQ(body.size(), static_cast<std::size_t>(header[2].i));
      uncompressed += static_cast<std::int64_t>(r.at() - at) + header[2].i;
      for (auto& v : zervgen_test::DecodePlain(6, body, header[5][1].i)) back.push_back(v);
      at = r.at() + size;
      ++pages;
    }
    EXPECT_EQ(pages, chunk.meta.dataPages);
    EXPECT_GE(pages, 5);
    EXPECT_EQ(uncompressed, chunk.meta.uncompressedBytes);
    EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), chunk.meta.compressedBytes);
    EXPECT_TRUE(back == texts) << static_cast<int>(codec);
  }
}

// Min and max in each type's order, the same from plain and dictionary
// forms.
TEST(ParquetChunkTest, StatisticsOrders) {
  const std::vector<std::int32_t> ints = {5, -7, 3, -1};
  const std::vector<std::int64_t> decimals = {100, -250000000000, 99};
  const std::vector<double> withZero = {0.0, 1.5, 2.0};
  const std::vector<double> negative = {-1.0, 0.0, -3.5};
  const StringColumn strings({"a", "\x80", "b", "ab", "", "\x7f\xff"});
  // Alike in their first eight bytes, zero bytes included: the rest decides.
  const StringColumn alike(
      {"abcdefgh\x01", "abcdefgh", std::string("ab\0", 3), std::string("abcdefgh\0", 9), "ab"});
  const StringColumn alikeHigh({"zzzzzzzz", "zz", std::string("zz\0", 3), "zzzzzzzzz"});
  struct Case {
    ParquetType type;
    ParquetValues values;
    std::int32_t n;
    std::string min, max;
  } cases[] = {
      {ParquetType::kInt32, {.i32 = ints.data()}, 4, Raw<std::int32_t>(-7), Raw<std::int32_t>(5)},
      {ParquetType::kDate, {.i32 = ints.data()}, 4, Raw<std::int32_t>(-7), Raw<std::int32_t>(5)},
      {ParquetType::kDecimal12_2,
       {.i64 = decimals.data()},
       3,
       Raw<std::int64_t>(-250000000000),
       Raw<std::int64_t>(100)},
      {ParquetType::kDouble, {.f64 = withZero.data()}, 3, Raw(-0.0), Raw(2.0)},
      {ParquetType::kDouble, {.f64 = negative.data()}, 3, Raw(-3.5), Raw(0.0)},
      {ParquetType::kString, {.strings = strings.strings()}, 6, "", "\x80"},
      {ParquetType::kString, {.strings = alike.strings()}, 5, "ab", "abcdefgh\x01"},
      {ParquetType::kString, {.strings = alikeHigh.strings()}, 4, "zz", "zzzzzzzzz"},
  };
  for (const Case& c : cases) {
    for (int dictionary = 0; dictionary <= 1; ++dictionary) {
      ParquetValues v = c.values;
      std::vector<std::uint32_t> indices = {0, 1, 2, 1, 0, 2, 2, 1};
      std::int32_t rows = c.n;
      if (dictionary) {
        for (std::int32_t k = 0; k < c.n; ++k) indices.push_back(static_cast<std::uint32_t>(k));
        v.indices = indices.data();
        v.dictSize = c.n;
        rows = static_cast<std::int32_t>(indices.size());
      }
      ParquetEncodedChunk chunk;
      ASSERT_EQ(Parquet_EncodeColumnChunk({"c", c.type, 0}, ParquetCodec::kSnappy, v, rows, &chunk),
                StatusCode::kOk);
      ASSERT_TRUE(chunk.meta.hasStats);
      const ParquetChunkMeta& m = chunk.meta;
      EXPECT_EQ(Hex(std::string(m.min.bytes, m.min.size)), Hex(c.min)) << int(c.type);
      EXPECT_EQ(Hex(std::string(m.max.bytes, m.max.size)), Hex(c.max)) << int(c.type);
      EXPECT_EQ(m.dictionary, dictionary == 1);
      EXPECT_EQ(m.numValues, rows);
    }
  }
  // Requests the encoder refuses, with nothing to write.
  std::vector<std::uint32_t> bad = {0, 3};
  ParquetEncodedChunk chunk;
  const ParquetColumnDesc desc{"c", ParquetType::kInt32, 0};
  EXPECT_EQ(Parquet_EncodeColumnChunk(desc, ParquetCodec::kSnappy, {.i32 = ints.data()}, 0, &chunk),
            StatusCode::kInvalidArgument);
  EXPECT_EQ(
      Parquet_EncodeColumnChunk(desc, ParquetCodec::kSnappy, {.i64 = decimals.data()}, 2, &chunk),
      StatusCode::kInvalidArgument);
  EXPECT_EQ(Parquet_EncodeColumnChunk(desc, ParquetCodec::kSnappy,
                                      {.i32 = ints.data(), .indices = bad.data(), .dictSize = 3}, 2,
                                      &chunk),
            StatusCode::kInvalidArgument);
  // An index out of range as a run of its own, far into the chunk: refused,
  // and the bytes before it taken back.
  std::vector<std::uint32_t> runOfBad(5000, 1);
  for (std::size_t r = 0; r < runOfBad.size(); r += 3) runOfBad[r] = 2;
  std::fill(runOfBad.begin() + 4000, runOfBad.begin() + 4020, 3u);
  ParquetChunkEncoder encoder;
  ParquetBuffer bytes;
  bytes.Append("head", 4);
  ParquetChunkMeta meta{};
  EXPECT_EQ(encoder.EncodeInto(desc, ParquetCodec::kSnappy,
                               {.i32 = ints.data(), .indices = runOfBad.data(), .dictSize = 3},
                               5000, &bytes, &meta),
            StatusCode::kInvalidArgument);
  EXPECT_EQ(Str(bytes), "head");
}

}  // namespace
}  // namespace zervgen
