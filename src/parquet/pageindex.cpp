// parquet/pageindex.cpp: page bounds and the page index structures.
#include "parquet/pageindex.h"

#include <algorithm>
#include <cstring>

#include "parquet/thrift.h"

namespace zervgen {
namespace {

void SetBound(ParquetStatValue* stat, const void* bytes, std::size_t size) {
  stat->size = static_cast<std::uint8_t>(size);
  if (size > 0) std::memcpy(stat->bytes, bytes, size);
}

// Row r's entry among the values: itself, or its dictionary entry.
std::size_t EntryOf(const ParquetValues& v, std::size_t r) {
  return v.indices != nullptr ? v.indices[r] : r;
}

template <typename T>
void NumberBounds(const T* values, const ParquetValues& v, std::size_t first, std::size_t n,
                  ParquetPageEntry* entry) {
  T lo = values[EntryOf(v, first)];
  T hi = lo;
  for (std::size_t r = first + 1; r < first + n; ++r) {
    const T x = values[EntryOf(v, r)];
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
  }
  // As the chunk's statistics: a zero minimum is -0.0, a zero maximum +0.0.
  if constexpr (std::is_floating_point_v<T>) {
    if (lo == 0) lo = -0.0;
    if (hi == 0) hi = 0.0;
  }
  SetBound(&entry->min, &lo, sizeof lo);
  SetBound(&entry->max, &hi, sizeof hi);
  entry->hasBounds = true;
}

bool BytesLess(const char* a, std::size_t na, const char* b, std::size_t nb) {
  const std::size_t common = std::min(na, nb);
  const int c = common == 0 ? 0 : std::memcmp(a, b, common);
  return c != 0 ? c < 0 : na < nb;
}

void StringBounds(const char* lo, std::size_t nlo, const char* hi, std::size_t nhi,
                  ParquetPageEntry* entry) {
  entry->hasBounds = nlo <= kParquetMaxStatBytes && nhi <= kParquetMaxStatBytes;
  if (!entry->hasBounds) return;
  SetBound(&entry->min, lo, nlo);
  SetBound(&entry->max, hi, nhi);
}

}  // namespace

void Parquet_PageBounds(ParquetType type, const ParquetValues& values, std::size_t first,
                        std::size_t n, ParquetPageEntry* entry) {
  entry->hasBounds = false;
  if (n == 0) return;
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDate:
      return NumberBounds(values.i32, values, first, n, entry);
    case ParquetType::kDecimal12_2:
      return NumberBounds(values.i64, values, first, n, entry);
    case ParquetType::kDouble:
      return NumberBounds(values.f64, values, first, n, entry);
    case ParquetType::kString:
      break;
  }
  const ParquetStrings& s = values.strings;
  std::size_t lo = EntryOf(values, first), hi = lo;
  for (std::size_t r = first + 1; r < first + n; ++r) {
    const std::size_t e = EntryOf(values, r);
    if (e == lo || e == hi) continue;
    if (BytesLess(s.data(e), s.size(e), s.data(lo), s.size(lo))) lo = e;
    if (BytesLess(s.data(hi), s.size(hi), s.data(e), s.size(e))) hi = e;
  }
  StringBounds(s.data(lo), s.size(lo), s.data(hi), s.size(hi), entry);
}

void Parquet_PlainStringPageBounds(const char* page, std::size_t size, ParquetPageEntry* entry) {
  entry->hasBounds = false;
  const char *lo = nullptr, *hi = nullptr;
  std::size_t nlo = 0, nhi = 0;
  for (std::size_t at = 0; at + 4 <= size;) {
    std::uint32_t n = 0;
    std::memcpy(&n, page + at, 4);
    const char* s = page + at + 4;
    if (lo == nullptr || BytesLess(s, n, lo, nlo)) lo = s, nlo = n;
    if (hi == nullptr || BytesLess(hi, nhi, s, n)) hi = s, nhi = n;
    at += 4 + n;
  }
  if (lo != nullptr) StringBounds(lo, nlo, hi, nhi, entry);
}

bool Parquet_CanIndexColumn(std::span<const ParquetPageEntry> pages) {
  return std::all_of(pages.begin(), pages.end(),
                     [](const ParquetPageEntry& e) { return e.hasBounds; });
}

void Parquet_PutColumnIndex(ParquetBuffer* out, std::span<const ParquetPageEntry> pages) {
  constexpr std::int16_t kNullPages = 1, kMinValues = 2, kMaxValues = 3, kBoundaryOrder = 4,
                         kNullCounts = 5;
  constexpr std::int32_t kUnordered = 0;
  const auto n = static_cast<std::int32_t>(pages.size());
  ThriftWriter w(out);
  w.BeginList(kNullPages, ThriftType::kBoolTrue, n);
  for (std::int32_t i = 0; i < n; ++i) w.ListBool(false);
  w.BeginList(kMinValues, ThriftType::kBinary, n);
  for (const ParquetPageEntry& e : pages) w.ListBinary(e.min.bytes, e.min.size);
  w.BeginList(kMaxValues, ThriftType::kBinary, n);
  for (const ParquetPageEntry& e : pages) w.ListBinary(e.max.bytes, e.max.size);
  w.FieldI32(kBoundaryOrder, kUnordered);
  w.BeginList(kNullCounts, ThriftType::kI64, n);
  for (std::int32_t i = 0; i < n; ++i) w.ListI64(0);
  w.End();
}

void Parquet_PutOffsetIndex(ParquetBuffer* out, std::span<const ParquetPageEntry> pages,
                            std::int64_t chunkOffset) {
  constexpr std::int16_t kPageLocations = 1, kOffset = 1, kSize = 2, kFirstRow = 3;
  ThriftWriter w(out);
  w.BeginList(kPageLocations, ThriftType::kStruct, static_cast<std::int32_t>(pages.size()));
  for (const ParquetPageEntry& e : pages) {
    w.BeginListStruct();
    w.FieldI64(kOffset, chunkOffset + e.offset);
    w.FieldI32(kSize, e.size);
    w.FieldI64(kFirstRow, e.firstRow);
    w.End();
  }
  w.End();
}

}  // namespace zervgen
