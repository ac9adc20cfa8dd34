// parquet/bloom.cpp: xxHash64 and split-block bloom filters.
#include "parquet/bloom.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "parquet/thrift.h"

namespace zervgen {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

static_assert(std::endian::native == std::endian::little,
              "the hash reads its input's words as they lie in memory");

std::uint64_t Read64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint32_t Read32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint64_t Round(std::uint64_t acc, std::uint64_t input) {
  acc += input * kPrime2;
  acc = std::rotl(acc, 31);
  return acc * kPrime1;
}

std::uint64_t MergeRound(std::uint64_t acc, std::uint64_t lane) {
  acc ^= Round(0, lane);
  return acc * kPrime1 + kPrime4;
}

// The four lanes over every whole 32-byte stripe of the input, folded into
// one; *p is left after the last stripe.
std::uint64_t Stripes(const unsigned char** p, const unsigned char* end, std::uint64_t seed) {
  std::uint64_t v1 = seed + kPrime1 + kPrime2;
  std::uint64_t v2 = seed + kPrime2;
  std::uint64_t v3 = seed;
  std::uint64_t v4 = seed - kPrime1;
  const unsigned char* q = *p;
  for (; end - q >= 32; q += 32) {
    v1 = Round(v1, Read64(q));
    v2 = Round(v2, Read64(q + 8));
    v3 = Round(v3, Read64(q + 16));
    v4 = Round(v4, Read64(q + 24));
  }
  *p = q;
  std::uint64_t h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
  h = MergeRound(h, v1);
  h = MergeRound(h, v2);
  h = MergeRound(h, v3);
  return MergeRound(h, v4);
}

// The eight odd numbers that spread a hash's low word over a block's words.
constexpr std::uint32_t kSalt[8] = {0x47b6137bU, 0x44974d91U, 0x8824ad5bU, 0xa2b7289dU,
                                    0x705495c7U, 0x2df1424bU, 0x9efc4947U, 0x5c6bfb31U};
constexpr std::size_t kBlockBytes = 32;

// The block of `hash` among `blocks`: the high word scaled to their count.
std::size_t BlockOf(std::uint64_t hash, std::size_t blocks) {
  return static_cast<std::size_t>(((hash >> 32) * blocks) >> 32);
}

// Bits per value at a false positive rate of 1%, times 65536.
constexpr std::uint64_t kBitsPerValue16 = 634489;

}  // namespace

std::uint64_t Parquet_XxHash64(const void* data, std::size_t n, std::uint64_t seed) {
  const auto* p = static_cast<const unsigned char*>(data);
  const unsigned char* end = p + n;
  std::uint64_t h = n >= 32 ? Stripes(&p, end, seed) : seed + kPrime5;
  h += static_cast<std::uint64_t>(n);
  for (; end - p >= 8; p += 8) h = std::rotl(h ^ Round(0, Read64(p)), 27) * kPrime1 + kPrime4;
  if (end - p >= 4) {
    h = std::rotl(h ^ (static_cast<std::uint64_t>(Read32(p)) * kPrime1), 23) * kPrime2 + kPrime3;
    p += 4;
  }
  for (; p < end; ++p) h = std::rotl(h ^ (*p * kPrime5), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

std::size_t Parquet_BloomBytes(std::int64_t distinct) {
  const auto values = static_cast<std::uint64_t>(distinct > 0 ? distinct : 0);
  const std::uint64_t bits = (values * kBitsPerValue16 + 65535) >> 16;
  const std::uint64_t bytes = (bits + 7) / 8;
  if (bytes >= kParquetBloomMaxBytes) return kParquetBloomMaxBytes;
  return std::max(kParquetBloomMinBytes, static_cast<std::size_t>(std::bit_ceil(bytes)));
}

bool ParquetBloomFilter::Reset(std::size_t bytes) {
  bits_.Clear();
  char* p = bits_.Grow(bytes);
  if (p == nullptr) {
    bits_.Clear();
    return false;
  }
  std::memset(p, 0, bytes);
  return true;
}

void ParquetBloomFilter::Insert(std::uint64_t hash) {
  unsigned char* block = reinterpret_cast<unsigned char*>(bits_.data()) +
                         BlockOf(hash, bits_.size() / kBlockBytes) * kBlockBytes;
  const auto x = static_cast<std::uint32_t>(hash);
  for (int i = 0; i < 8; ++i) {
    std::uint32_t word = Read32(block + 4 * i);
    word |= std::uint32_t{1} << ((x * kSalt[i]) >> 27);
    std::memcpy(block + 4 * i, &word, 4);
  }
}

bool ParquetBloomFilter::MightContain(std::uint64_t hash) const {
  if (bits_.size() < kBlockBytes) return false;
  const unsigned char* block = reinterpret_cast<const unsigned char*>(bits_.data()) +
                               BlockOf(hash, bits_.size() / kBlockBytes) * kBlockBytes;
  const auto x = static_cast<std::uint32_t>(hash);
  for (int i = 0; i < 8; ++i) {
    if ((Read32(block + 4 * i) & (std::uint32_t{1} << ((x * kSalt[i]) >> 27))) == 0) return false;
  }
  return true;
}

void ParquetBloomFilter::InsertNumbers(const void* values, std::size_t width, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(values);
  for (std::size_t i = 0; i < n; ++i, p += width) Insert(Parquet_XxHash64(p, width, 0));
}

void Parquet_PutBloomHeader(ParquetBuffer* out, std::int32_t numBytes) {
  constexpr std::int16_t kNumBytes = 1, kAlgorithm = 2, kHash = 3, kCompression = 4;
  constexpr std::int16_t kOnlyKind = 1;  // BLOCK, XXHASH, UNCOMPRESSED: each union's first
  ThriftWriter w(out);
  w.FieldI32(kNumBytes, numBytes);
  for (const std::int16_t id : {kAlgorithm, kHash, kCompression}) {
    w.BeginStruct(id);
    w.BeginStruct(kOnlyKind);
    w.End();
    w.End();
  }
  w.End();
}

void ParquetBloomFilter::AppendTo(ParquetBuffer* out) const {
  Parquet_PutBloomHeader(out, static_cast<std::int32_t>(bits_.size()));
  out->Append(bits_.data(), bits_.size());
}

}  // namespace zervgen
