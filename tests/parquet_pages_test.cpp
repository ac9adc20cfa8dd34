// parquet_pages_test.cpp: where a chunk encoder places a page's body before
// it knows the page's compressed size, and that the place never shows in
// the bytes: one encoder kept from chunk to chunk writes what a fresh one
// writes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "parquet/chunk.h"

namespace zervgen {
namespace {

// Worked values: the page shrinks as the last page of its kind shrank; with
// no such page (or none with a size) the guess is the page itself; a guess
// past the largest size a header holds is that size.
TEST(ParquetPageGuess, ShrinksAsTheLastPageOfItsKind) {
  const struct {
    std::int32_t raw, lastRaw, lastCompressed, want;
  } cases[] = {
      {1048576, 0, 0, 1048576},
      {1000, 100, 0, 1000},
      {1048576, 1048576, 919634, 919634},
      {524288, 1048576, 919634, 459817},
      {1048627, 1048576, 146108, 146115},
      {805, 1048576, 1048639, 805},
      {0, 1000, 10, 0},
      {INT_MAX, 1000, 1001, INT_MAX},
      {INT_MAX - 1, 3, 2, 1431655764},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parquet_GuessCompressedSize(c.raw, c.lastRaw, c.lastCompressed), c.want)
        << c.raw << " " << c.lastRaw << " " << c.lastCompressed;
  }
}

// Pages of strings, as length and bytes: `rows` texts of `width` bytes,
// alike (they compress to almost nothing) or drawn from a stream (they do
// not compress).
struct Texts {
  std::string bytes;
  std::vector<std::uint32_t> offsets{0};
  Texts(int rows, int width, bool random, std::uint32_t state) {
    for (int r = 0; r < rows; ++r) {
      for (int k = 0; k < width; ++k) {
        state = state * 1103515245u + 12345u;
        bytes += random ? static_cast<char>(state >> 24) : static_cast<char>('a' + r % 3);
      }
      offsets.push_back(static_cast<std::uint32_t>(bytes.size()));
    }
  }
  ParquetStrings strings() const { return {bytes.data(), offsets.data(), 0}; }
};

// Chunks of the most unlike pages in turn (dictionary chunks of a few
// values, whose dictionary pages are tiny and data pages small; plain
// strings that do not compress and pages that compress a hundredfold;
// plain integers), each with every codec: one encoder that goes through
// them all, in two orders, leaves each chunk's bytes and sizes as an
// encoder made for that chunk alone. Its guesses of each page's size come
// from other columns' pages, so its bodies are placed wrongly and moved
// where a fresh encoder's are not, and the other way round.
TEST(ParquetPageGuess, AnEncoderKeptFromChunkToChunkWritesTheBytesOfFreshOnes) {
  const int kRows = 300000;
  const Texts noise(kRows, 12, true, 7);
  const Texts alike(kRows, 12, false, 7);
  std::vector<std::int32_t> ints(kRows);
  std::vector<std::uint32_t> indices(kRows);
  std::uint32_t state = 3;
  for (int r = 0; r < kRows; ++r) {
    state = state * 1103515245u + 12345u;
    ints[static_cast<std::size_t>(r)] = static_cast<std::int32_t>(state);
    indices[static_cast<std::size_t>(r)] = (state >> 16) % 100;
  }
  const struct Chunk {
    const char* name;
    ParquetColumnDesc desc;
    ParquetValues values;
  } chunks[] = {
      {"dictionary",
       {"d", ParquetType::kInt32, 100},
       {.i32 = ints.data(), .indices = indices.data(), .dictSize = 100}},
      {"noise", {"n", ParquetType::kString, 0}, {.strings = noise.strings()}},
      {"alike", {"a", ParquetType::kString, 0}, {.strings = alike.strings()}},
      {"integers", {"i", ParquetType::kInt32, 0}, {.i32 = ints.data()}},
  };
  const auto encode = [&](ParquetChunkEncoder* encoder, ParquetCodec codec, const Chunk& c,
                          ParquetChunkMeta* meta) {
    ParquetBuffer bytes;
    EXPECT_EQ(encoder->EncodeInto(c.desc, codec, c.values, kRows, &bytes, meta), StatusCode::kOk)
        << c.name;
    return std::string(bytes.data(), bytes.size());
  };
  for (ParquetCodec codec :
       {ParquetCodec::kSnappy, ParquetCodec::kZstd, ParquetCodec::kUncompressed}) {
    for (const std::vector<int>& order :
         {std::vector<int>{0, 1, 2, 3, 0, 2, 1, 3}, std::vector<int>{3, 1, 0, 2, 2, 1, 0}}) {
      ParquetChunkEncoder kept;
      for (int k : order) {
        const Chunk& c = chunks[k];
        ParquetChunkEncoder fresh;
        ParquetChunkMeta want{}, got{};
        const std::string wantBytes = encode(&fresh, codec, c, &want);
        const std::string gotBytes = encode(&kept, codec, c, &got);
        ASSERT_GE(want.dataPages, k == 0 ? 1 : 2) << c.name;
        EXPECT_TRUE(gotBytes == wantBytes) << c.name << " codec " << static_cast<int>(codec);
        EXPECT_EQ(got.dataPages, want.dataPages) << c.name;
        EXPECT_EQ(got.compressedBytes, want.compressedBytes) << c.name;
        EXPECT_EQ(got.uncompressedBytes, want.uncompressedBytes) << c.name;
        EXPECT_EQ(got.compressedBytes, static_cast<std::int64_t>(gotBytes.size())) << c.name;
      }
    }
  }
}

}  // namespace
}  // namespace zervgen
