// parquet/chunk.cpp: a column chunk's pages and statistics.
#include "parquet/chunk.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

namespace zervgen {
namespace {

// The values of a chunk as the statistics and pages see them.
std::int32_t EntryCount(const ParquetValues& values, std::int32_t rows) {
  return values.indices != nullptr ? values.dictSize : rows;
}

bool HasArray(ParquetType type, const ParquetValues& v) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDate:
      return v.i32 != nullptr;
    case ParquetType::kDecimal12_2:
      return v.i64 != nullptr;
    case ParquetType::kDouble:
      return v.f64 != nullptr;
    case ParquetType::kString:
      return v.strings.valid();
  }
  return false;
}

// The indices are checked against the dictionary as they are encoded.
bool ValidValues(ParquetType type, const ParquetValues& values, std::int32_t rows) {
  if (rows < 1 || !HasArray(type, values)) return false;
  return values.indices == nullptr || values.dictSize >= 1;
}

void SetStat(ParquetStatValue* stat, const void* bytes, std::size_t size) {
  stat->size = static_cast<std::uint8_t>(size);
  if (size > 0) std::memcpy(stat->bytes, bytes, size);
}

// Signed order for the integer types (and dates and decimals on them).
// The bounds are kept as values, not as positions, so that the loop has no
// dependency through memory and runs on vectors.
template <typename T>
[[gnu::always_inline]] inline void BoundsBody(const T* v, std::int32_t n, T* least, T* most) {
  T lo = v[0];
  T hi = v[0];
  for (std::int32_t i = 1; i < n; ++i) {
    lo = v[i] < lo ? v[i] : lo;
    hi = v[i] > hi ? v[i] : hi;
  }
  *least = lo;
  *most = hi;
}

template <typename T>
void BoundsPortable(const T* v, std::int32_t n, T* least, T* most) {
  BoundsBody(v, n, least, most);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same loop in wider registers (int32 minima and maxima are one
// instruction there, not a compare and a blend).
template <typename T>
[[gnu::target("avx2")]] void BoundsAvx2(const T* v, std::int32_t n, T* least, T* most) {
  BoundsBody(v, n, least, most);
}
#endif

template <typename T>
void IntegerStats(const T* v, std::int32_t n, ParquetChunkMeta* meta) {
  T lo = 0, hi = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    BoundsAvx2(v, n, &lo, &hi);
  } else {
    BoundsPortable(v, n, &lo, &hi);
  }
#else
  BoundsPortable(v, n, &lo, &hi);
#endif
  SetStat(&meta->min, &lo, sizeof(T));
  SetStat(&meta->max, &hi, sizeof(T));
  meta->hasStats = true;
}

// IEEE order without NaNs; a zero minimum is written as -0.0 and a zero
// maximum as +0.0, so that either bound covers both zeros.
void DoubleStats(const double* v, std::int32_t n, ParquetChunkMeta* meta) {
  bool any = false;
  double lo = 0, hi = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if (v[i] != v[i]) continue;  // NaN
    if (!any || v[i] < lo) lo = v[i];
    if (!any || v[i] > hi) hi = v[i];
    any = true;
  }
  if (!any) return;
  if (lo == 0) lo = -0.0;
  if (hi == 0) hi = 0.0;
  SetStat(&meta->min, &lo, sizeof lo);
  SetStat(&meta->max, &hi, sizeof hi);
  meta->hasStats = true;
}

// Unsigned byte-wise order, a prefix before the longer string.
bool StringLess(const ParquetStrings& s, std::size_t a, std::size_t b) {
  const std::uint32_t na = s.size(a), nb = s.size(b);
  const int c = std::memcmp(s.data(a), s.data(b), std::min(na, nb));
  return c != 0 ? c < 0 : na < nb;
}

// A string's first eight bytes as a big-endian number, zeros past its end:
// when two strings' numbers differ, they are in the order of the strings.
std::uint64_t OrderPrefix(const ParquetStrings& s, std::size_t i) {
  const std::uint32_t size = s.size(i);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data(i));
  std::uint64_t v = 0;
  if (size >= 8) {
    for (int b = 0; b < 8; ++b) v = (v << 8) | p[b];
    return v;
  }
  for (std::uint32_t b = 0; b < 8; ++b) v = (v << 8) | (b < size ? p[b] : 0u);
  return v;
}

// The first least and the first greatest of strings 0 .. n - 1, n >= 1.
// Strings of one length of eight bytes or more (`kStrided`) take their
// prefixes in one load each.
template <bool kStrided>
void StringBoundsOf(const ParquetStrings& s, std::int32_t n, std::size_t* least,
                    std::size_t* most) {
  const auto prefixOf = [&](std::size_t k) {
    if constexpr (kStrided) {
      std::uint64_t word;
      std::memcpy(&word, s.bytes + k * s.stride, 8);
      return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
    } else {
      return OrderPrefix(s, k);
    }
  };
  std::size_t lo = 0, hi = 0;
  std::uint64_t loPrefix = prefixOf(0), hiPrefix = loPrefix;
  for (std::int32_t i = 1; i < n; ++i) {
    const auto k = static_cast<std::size_t>(i);
    const std::uint64_t prefix = prefixOf(k);
    if (prefix < loPrefix || (prefix == loPrefix && StringLess(s, k, lo))) {
      lo = k;
      loPrefix = prefix;
    }
    if (prefix > hiPrefix || (prefix == hiPrefix && StringLess(s, hi, k))) {
      hi = k;
      hiPrefix = prefix;
    }
  }
  *least = lo;
  *most = hi;
}

void StringBounds(const ParquetStrings& s, std::int32_t n, std::size_t* least, std::size_t* most) {
  if (s.offsets == nullptr && s.stride - s.trailer >= 8) {
    return StringBoundsOf<true>(s, n, least, most);
  }
  StringBoundsOf<false>(s, n, least, most);
}

// Statistics of strings with these bounds; none when either is too long to
// be kept.
void SetStringStats(const char* least, std::size_t leastSize, const char* most,
                    std::size_t mostSize, ParquetChunkMeta* meta) {
  if (leastSize > kParquetMaxStatBytes || mostSize > kParquetMaxStatBytes) return;
  SetStat(&meta->min, least, leastSize);
  SetStat(&meta->max, most, mostSize);
  meta->hasStats = true;
}

void StringStats(const ParquetStrings& s, std::int32_t n, ParquetChunkMeta* meta) {
  std::size_t lo = 0, hi = 0;
  StringBounds(s, n, &lo, &hi);
  SetStringStats(s.data(lo), s.size(lo), s.data(hi), s.size(hi), meta);
}

// Unsigned byte-wise order of two byte strings, a prefix first.
bool BytesLess(const char* a, std::size_t na, const char* b, std::size_t nb) {
  const std::size_t common = std::min(na, nb);
  const int c = common == 0 ? 0 : std::memcmp(a, b, common);  // an empty one may have no bytes
  return c != 0 ? c < 0 : na < nb;
}

void Statistics(ParquetType type, const ParquetValues& v, std::int32_t n, ParquetChunkMeta* meta) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDate:
      return IntegerStats(v.i32, n, meta);
    case ParquetType::kDecimal12_2:
      return IntegerStats(v.i64, n, meta);
    case ParquetType::kDouble:
      return DoubleStats(v.f64, n, meta);
    case ParquetType::kString:
      return StringStats(v.strings, n, meta);
  }
}

std::size_t FixedWidth(ParquetType type) {
  return type == ParquetType::kInt32 || type == ParquetType::kDate ? 4 : 8;
}

static_assert(std::endian::native == std::endian::little,
              "PLAIN numbers are the bytes of the values as they lie in memory");

// The array of a fixed-width type's values, as bytes.
const char* FixedBytes(ParquetType type, const ParquetValues& v) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDate:
      return reinterpret_cast<const char*>(v.i32);
    case ParquetType::kDecimal12_2:
      return reinterpret_cast<const char*>(v.i64);
    case ParquetType::kDouble:
      return reinterpret_cast<const char*>(v.f64);
    case ParquetType::kString:
      break;
  }
  return nullptr;
}

// Entries first .. first + n - 1 in PLAIN.
void PutPlain(ParquetBuffer* out, ParquetType type, const ParquetValues& v, std::size_t first,
              std::size_t n) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDate:
      return Parquet_PutPlainInt32(out, v.i32 + first, n);
    case ParquetType::kDecimal12_2:
      return Parquet_PutPlainInt64(out, v.i64 + first, n);
    case ParquetType::kDouble:
      return Parquet_PutPlainDouble(out, v.f64 + first, n);
    case ParquetType::kString:
      return Parquet_PutPlainStrings(out, v.strings, first, n);
  }
}

// How many entries from `first` on make a page of about `pageBytes`.
std::size_t PageEntries(ParquetType type, const ParquetValues& v, std::size_t first,
                        std::size_t end, std::size_t pageBytes) {
  if (type != ParquetType::kString) {
    return std::min(end - first, std::max<std::size_t>(1, pageBytes / FixedWidth(type)));
  }
  std::size_t bytes = 0;
  std::size_t i = first;
  while (i < end && bytes < pageBytes) bytes += 4 + v.strings.size(i++);
  return i - first;
}

// Entries 0 .. n - 1 of `v` into *filter.
void InsertBloom(ParquetBloomFilter* filter, ParquetType type, const ParquetValues& v,
                 std::size_t n) {
  if (type != ParquetType::kString)
    return filter->InsertNumbers(FixedBytes(type, v), FixedWidth(type), n);
  for (std::size_t i = 0; i < n; ++i) filter->InsertBytes(v.strings.data(i), v.strings.size(i));
}

}  // namespace

std::int32_t Parquet_GuessCompressedSize(std::int32_t raw, std::int32_t lastRaw,
                                         std::int32_t lastCompressed) {
  if (lastRaw <= 0 || lastCompressed <= 0) return raw;
  const std::int64_t guess = std::int64_t{raw} * lastCompressed / lastRaw;
  return guess > INT_MAX ? INT_MAX : static_cast<std::int32_t>(guess);
}

void ParquetChunkEncoder::PutHeader(bool dictionaryPage, std::int32_t uncompressed,
                                    std::int32_t compressed, std::int32_t numValues,
                                    ParquetEncoding encoding) {
  header_.Clear();
  if (dictionaryPage) {
    Parquet_PutDictionaryPageHeader(&header_, uncompressed, compressed, numValues);
  } else {
    Parquet_PutDataPageHeader(&header_, uncompressed, compressed, numValues, encoding);
  }
}

// The header goes before the body, and its length depends on the body's
// compressed size: the body is compressed straight into *bytes behind a
// header made with a guess of that size, and moved only when the true
// header's length differs from the guess's. The guess is the page's own
// size shrunk as much as the last page of its kind (dictionary or data)
// shrank: consecutive data pages of one column compress alike, while a
// column's dictionary page, or another column's pages, may be a thousand
// times smaller or larger, so a guess of the last page's size would move
// the first data page of nearly every chunk.
Status ParquetChunkEncoder::PutPage(bool dictionaryPage, std::int32_t numValues,
                                    ParquetEncoding encoding, const char* raw, std::size_t rawSize,
                                    ParquetBuffer* bytes, ParquetChunkMeta* meta) {
  if (rawSize > static_cast<std::size_t>(INT_MAX)) return Status::InvalidArgument();
  const auto uncompressed = static_cast<std::int32_t>(rawSize);
  const std::size_t start = bytes->size();
  const int kind = dictionaryPage ? 1 : 0;
  const std::int32_t guess =
      codec_ == ParquetCodec::kUncompressed
          ? uncompressed
          : Parquet_GuessCompressedSize(uncompressed, lastRaw_[kind], lastCompressed_[kind]);
  PutHeader(dictionaryPage, uncompressed, guess, numValues, encoding);
  const std::size_t guessed = header_.size();
  if (!header_.ok() || bytes->Grow(guessed) == nullptr) return Status::NoMemory();
  const Status status = compressor_.Append(codec_, raw, rawSize, bytes);
  if (!status.ok()) return status;
  if (!bytes->ok()) return Status::NoMemory();
  const std::size_t bodySize = bytes->size() - start - guessed;
  if (bodySize > static_cast<std::size_t>(INT_MAX)) return Status::InvalidArgument();
  const auto compressed = static_cast<std::int32_t>(bodySize);
  PutHeader(dictionaryPage, uncompressed, compressed, numValues, encoding);
  const std::size_t actual = header_.size();
  if (!header_.ok()) return Status::NoMemory();
  if (actual > guessed && bytes->Grow(actual - guessed) == nullptr) return Status::NoMemory();
  char* at = bytes->data() + start;
  if (actual != guessed) std::memmove(at + actual, at + guessed, bodySize);
  std::memcpy(at, header_.data(), actual);
  bytes->Truncate(start + actual + bodySize);
  if (codec_ != ParquetCodec::kUncompressed) {
    lastRaw_[kind] = uncompressed;
    lastCompressed_[kind] = compressed;
  }
  if (entries_ != nullptr && !dictionaryPage) {
    next_.offset = static_cast<std::int64_t>(start - chunkStart_);
    next_.size = static_cast<std::int32_t>(actual + bodySize);
    next_.firstRow = rowsPaged_;
    rowsPaged_ += numValues;
    entries_->Append(&next_, sizeof next_);
    if (!entries_->ok()) return Status::NoMemory();
  }
  meta->uncompressedBytes += static_cast<std::int64_t>(actual + rawSize);
  meta->compressedBytes += static_cast<std::int64_t>(actual + bodySize);
  if (!dictionaryPage) ++meta->dataPages;
  return Status::Ok();
}

Status ParquetChunkEncoder::PutPage(bool dictionaryPage, std::int32_t numValues,
                                    ParquetEncoding encoding, ParquetBuffer* bytes,
                                    ParquetChunkMeta* meta) {
  if (!page_.ok()) return Status::NoMemory();
  return PutPage(dictionaryPage, numValues, encoding, page_.data(), page_.size(), bytes, meta);
}

Status ParquetChunkEncoder::PlainPages(const ParquetValues& values, std::int32_t rows,
                                       ParquetBuffer* bytes, ParquetChunkMeta* meta) {
  const ParquetType type = meta->type;
  const auto end = static_cast<std::size_t>(rows);
  for (std::size_t first = 0; first < end;) {
    const std::size_t n = PageEntries(type, values, first, end, pageBytes_);
    if (entries_ != nullptr) Parquet_PageBounds(type, values, first, n, &next_);
    Status status;
    if (type == ParquetType::kString) {
      page_.Clear();
      PutPlain(&page_, type, values, first, n);
      status = PutPage(false, static_cast<std::int32_t>(n), kEncPlain, bytes, meta);
    } else {
      // PLAIN numbers are the values' bytes as they lie: the page is
      // compressed, or copied, from the values themselves.
      const std::size_t width = FixedWidth(type);
      status = PutPage(false, static_cast<std::int32_t>(n), kEncPlain,
                       FixedBytes(type, values) + first * width, n * width, bytes, meta);
    }
    if (!status.ok()) return status;
    first += n;
  }
  return Status::Ok();
}

Status ParquetChunkEncoder::DictionaryPages(const ParquetValues& values, std::int32_t rows,
                                            std::size_t start, ParquetBuffer* bytes,
                                            ParquetChunkMeta* meta) {
  page_.Clear();
  PutPlain(&page_, meta->type, values, 0, static_cast<std::size_t>(values.dictSize));
  Status status = PutPage(true, values.dictSize, kEncPlain, bytes, meta);
  if (!status.ok()) return status;
  meta->dataPageOffset = static_cast<std::int64_t>(bytes->size() - start);
  const int bitWidth = Parquet_BitWidth(static_cast<std::uint32_t>(values.dictSize - 1));
  const std::size_t perPage =
      std::max<std::size_t>(8, pageBytes_ * 8 / static_cast<std::size_t>(bitWidth));
  const auto end = static_cast<std::size_t>(rows);
  for (std::size_t first = 0; first < end; first += perPage) {
    const std::size_t n = std::min(perPage, end - first);
    if (entries_ != nullptr) Parquet_PageBounds(meta->type, values, first, n, &next_);
    page_.Clear();
    page_.PutByte(static_cast<std::uint8_t>(bitWidth));
    const std::uint32_t most = Parquet_PutRleHybrid(&page_, values.indices + first, n, bitWidth);
    if (most >= static_cast<std::uint32_t>(values.dictSize)) return Status::InvalidArgument();
    status = PutPage(false, static_cast<std::int32_t>(n), kEncRleDictionary, bytes, meta);
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

Status ParquetChunkEncoder::Encode(const ParquetColumnDesc& desc, ParquetCodec codec,
                                   const ParquetValues& values, std::int32_t rows,
                                   ParquetEncodedChunk* out) {
  out->bytes.Clear();
  return EncodeInto(desc, codec, values, rows, &out->bytes, &out->meta);
}

Status ParquetChunkEncoder::EncodeInto(const ParquetColumnDesc& desc, ParquetCodec codec,
                                       const ParquetValues& values, std::int32_t rows,
                                       ParquetBuffer* bytes, ParquetChunkMeta* meta) {
  *meta = ParquetChunkMeta{};
  if (!ValidValues(desc.type, values, rows)) return Status::InvalidArgument();
  codec_ = codec;
  meta->type = desc.type;
  meta->codec = codec;
  meta->dictionary = values.indices != nullptr;
  meta->numValues = rows;
  Statistics(desc.type, values, EntryCount(values, rows), meta);
  if (bloom_ != nullptr) {
    const std::int32_t entries = EntryCount(values, rows);
    if (!bloom_->Reset(Parquet_BloomBytes(entries))) return Status::NoMemory();
    InsertBloom(bloom_, desc.type, values, static_cast<std::size_t>(entries));
  }
  const std::size_t start = bytes->size();
  chunkStart_ = start;
  rowsPaged_ = 0;
  const Status status = meta->dictionary ? DictionaryPages(values, rows, start, bytes, meta)
                                         : PlainPages(values, rows, bytes, meta);
  if (!status.ok()) bytes->Truncate(start);
  return status;
}

Status ParquetChunkEncoder::Abandon(Status status) {
  if (stringBytes_ != nullptr) stringBytes_->Truncate(stringStart_);
  stringBytes_ = nullptr;
  stringMeta_ = nullptr;
  return status;
}

Status ParquetChunkEncoder::BeginPlainStrings(ParquetCodec codec, std::int32_t rows,
                                              ParquetBuffer* bytes, ParquetChunkMeta* meta) {
  stringBytes_ = nullptr;
  stringMeta_ = nullptr;
  *meta = ParquetChunkMeta{};
  if (rows < 1) return Status::InvalidArgument();
  codec_ = codec;
  meta->type = ParquetType::kString;
  meta->codec = codec;
  meta->dictionary = false;
  meta->numValues = rows;
  stringBytes_ = bytes;
  stringMeta_ = meta;
  stringStart_ = bytes->size();
  chunkStart_ = stringStart_;
  rowsPaged_ = 0;
  stringsLeft_ = rows;
  pageStrings_ = 0;
  page_.Clear();
  least_.Clear();
  most_.Clear();
  if (bloom_ != nullptr && !bloom_->Reset(Parquet_BloomBytes(rows))) {
    return Abandon(Status::NoMemory());
  }
  return Status::Ok();
}

// The strings fill the page until it holds pageBytes_ or more, as
// PageEntries counts them; the page then goes.
Status ParquetChunkEncoder::AddPlainStrings(const ParquetStrings& strings, std::int32_t n) {
  if (stringBytes_ == nullptr) return Status::InvalidArgument();
  if (n < 1 || n > stringsLeft_ || !strings.valid()) {
    return Abandon(Status::InvalidArgument());
  }
  std::size_t lo = 0, hi = 0;
  StringBounds(strings, n, &lo, &hi);
  const bool first = stringsLeft_ == stringMeta_->numValues;
  if (first || BytesLess(strings.data(lo), strings.size(lo), least_.data(), least_.size())) {
    least_.Clear();
    least_.Append(strings.data(lo), strings.size(lo));
  }
  if (first || BytesLess(most_.data(), most_.size(), strings.data(hi), strings.size(hi))) {
    most_.Clear();
    most_.Append(strings.data(hi), strings.size(hi));
  }
  if (!least_.ok() || !most_.ok()) return Abandon(Status::NoMemory());
  stringsLeft_ -= n;
  const auto end = static_cast<std::size_t>(n);
  if (bloom_ != nullptr) {
    for (std::size_t i = 0; i < end; ++i) bloom_->InsertBytes(strings.data(i), strings.size(i));
  }
  for (std::size_t i = 0; i < end;) {
    std::size_t bytes = page_.size();
    std::size_t j = i;
    while (j < end && bytes < pageBytes_) bytes += 4 + strings.size(j++);
    Parquet_PutPlainStrings(&page_, strings, i, j - i);
    pageStrings_ += static_cast<std::int32_t>(j - i);
    i = j;
    if (page_.size() >= pageBytes_) {
      if (entries_ != nullptr) Parquet_PlainStringPageBounds(page_.data(), page_.size(), &next_);
      const Status status = PutPage(false, pageStrings_, kEncPlain, stringBytes_, stringMeta_);
      if (!status.ok()) return Abandon(status);
      page_.Clear();
      pageStrings_ = 0;
    }
  }
  return Status::Ok();
}

Status ParquetChunkEncoder::EndPlainStrings() {
  if (stringBytes_ == nullptr) return Status::InvalidArgument();
  if (stringsLeft_ != 0) return Abandon(Status::InvalidArgument());
  if (pageStrings_ > 0) {
    if (entries_ != nullptr) Parquet_PlainStringPageBounds(page_.data(), page_.size(), &next_);
    const Status status = PutPage(false, pageStrings_, kEncPlain, stringBytes_, stringMeta_);
    if (!status.ok()) return Abandon(status);
  }
  SetStringStats(least_.data(), least_.size(), most_.data(), most_.size(), stringMeta_);
  stringBytes_ = nullptr;
  stringMeta_ = nullptr;
  return Status::Ok();
}

Status Parquet_EncodeColumnChunk(const ParquetColumnDesc& desc, ParquetCodec codec,
                                 const ParquetValues& values, std::int32_t rows,
                                 ParquetEncodedChunk* out) {
  ParquetChunkEncoder encoder;
  return encoder.Encode(desc, codec, values, rows, out);
}

}  // namespace zervgen
