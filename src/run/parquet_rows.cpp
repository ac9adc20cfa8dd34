// run/parquet_rows.cpp: field values to Parquet column values.
#include "run/parquet_rows.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/date.h"

namespace zervgen {
namespace {

constexpr std::size_t kTextStart = std::size_t{64} << 10;
constexpr std::int32_t kMaxFillText = 100;  // the fill writer's longest text

bool WriterMakes(ParquetType type, OutputKind kind) {
  switch (type) {
    case ParquetType::kInt32:
    case ParquetType::kDouble:
      return kind == OutputKind::kInteger;
    case ParquetType::kDecimal12_2:
      return kind == OutputKind::kInteger || kind == OutputKind::kFloat;
    case ParquetType::kDate:
      return kind == OutputKind::kDate;
    case ParquetType::kString:
      return kind == OutputKind::kFixed10 || kind == OutputKind::kFixed20 ||
             kind == OutputKind::kVarChar || kind == OutputKind::kFill;
  }
  return false;
}

// Whether equal field values always give equal column values: not so for
// fill text, which comes from a running stream.
bool Keyed(OutputKind kind) { return kind != OutputKind::kFill; }

// The length every text of the field has, or -1 when it varies.
int FixedTextLength(const OutputRowField& field, OutputKind kind) {
  if (kind == OutputKind::kFixed10) return 10;
  if (kind == OutputKind::kFixed20) return 20;
  if (kind == OutputKind::kFill && field.stride == 0) {
    return std::clamp(field.values[0], 0, kMaxFillText);
  }
  return -1;
}

// What RunEntries tells besides a count of entries.
constexpr std::int32_t kOverLimit = -1;  // more entries than the limit
constexpr std::int32_t kNoValue = -2;    // a number without a value

// The dictionary of rows held as run numbers: each number's entry at its
// place in `entries` (a place for every number, -1 when it has none), a
// new entry at its first row, as the values would make it: the numbers
// stand for distinct values. Returns the count of entries,
// or kOverLimit or kNoValue. Only entries of numbers below runs.count are set.
template <typename Narrow>
std::int32_t RunEntries(const Narrow* in, std::ptrdiff_t stride, std::int32_t rows,
                        const OutputRuns& runs, std::int32_t limit, std::int32_t* entries,
                        std::int32_t* keys, std::uint32_t* indices) {
  const auto numbers = static_cast<std::uint32_t>(runs.count);
  std::int32_t count = 0;
  std::int32_t r = 0;
  // Until every run has its entry (within the first rows, as a rule).
  for (; r < rows && count < runs.count; ++r) {
    const std::uint32_t k = in[r * stride];
    std::int32_t e = entries[k];
    if (e < 0) {
      if (k >= numbers) return kNoValue;
      if (count == limit) return kOverLimit;
      keys[count] = runs.values[k];
      e = count++;
      entries[k] = e;
    }
    indices[r] = static_cast<std::uint32_t>(e);
  }
  if (r == rows) return count;
  // Then every number below runs.count has its entry: the rest is the
  // numbers widened to their entries.
  const OutputRuns toEntries{in + r * stride, static_cast<int>(sizeof(Narrow)), entries,
                             runs.count};
  const bool known =
      Output_WidenRuns(toEntries, stride, rows - r, reinterpret_cast<std::int32_t*>(indices + r));
  return known ? count : kNoValue;
}

}  // namespace

std::int32_t Parquet_DictionaryLimit(std::int64_t distinctHint, std::int32_t rows) {
  const std::int32_t limit = std::min(rows / 4, kParquetMaxDictionary);
  return distinctHint >= 1 && distinctHint <= limit ? limit : 0;
}

ParquetColumnConverter::ParquetColumnConverter() { textCaches_.keepTexts = false; }
ParquetColumnConverter::~ParquetColumnConverter() = default;

Status ParquetColumnConverter::Convert(const ParquetColumnDesc& desc, const OutputFormat& format,
                                       const OutputRowField& field, std::int32_t rows,
                                       std::int32_t fillState, bool sameValuesAsLast) {
  bool plainTexts = false;
  const Status status =
      ConvertUnlessPlainTexts(desc, format, field, rows, sameValuesAsLast, &plainTexts);
  if (!status.ok() || !plainTexts) return status;
  return PlainTexts(field, rows, &fillState);
}

Status ParquetColumnConverter::ConvertUnlessPlainTexts(const ParquetColumnDesc& desc,
                                                       const OutputFormat& format,
                                                       const OutputRowField& field,
                                                       std::int32_t rows, bool sameValuesAsLast,
                                                       bool* plainTexts) {
  *plainTexts = false;
  values_ = ParquetValues{};
  format_ = &format;
  const Tried tried = tried_;
  tried_ = Tried{};
  const OutputKind kind = field.kind;
  if (rows < 1 || field.values == nullptr || !WriterMakes(desc.type, kind)) {
    return Status::InvalidArgument();
  }
  const std::int32_t limit = Keyed(kind) ? Parquet_DictionaryLimit(desc.distinctHint, rows) : 0;
  if (limit > 0) {
    bool built = false;
    const Status status = InDictionary(desc, field, rows, limit, tried, sameValuesAsLast, &built);
    if (!status.ok() || built) return status;
  }
  if (desc.type == ParquetType::kString) {
    *plainTexts = true;
    return Status::Ok();
  }
  return Typed(desc.type, field.values, field.stride, rows);
}

Status ParquetColumnConverter::ConvertRuns(const ParquetColumnDesc& desc,
                                           const OutputFormat& format, const OutputRowField& field,
                                           std::int32_t rows, bool sameValuesAsLast, bool* done) {
  *done = false;
  const OutputKind kind = field.kind;
  if (rows < 1 || field.runs.numbers == nullptr || !WriterMakes(desc.type, kind)) {
    return Status::InvalidArgument();
  }
  const std::int32_t limit = Keyed(kind) ? Parquet_DictionaryLimit(desc.distinctHint, rows) : 0;
  if (limit == 0) return Status::Ok();
  values_ = ParquetValues{};
  format_ = &format;
  const Tried tried = tried_;
  tried_ = Tried{};
  return InDictionary(desc, field, rows, limit, tried, sameValuesAsLast, done);
}

Status ParquetColumnConverter::InDictionary(const ParquetColumnDesc& desc,
                                            const OutputRowField& field, std::int32_t rows,
                                            std::int32_t limit, const Tried& tried,
                                            bool sameValuesAsLast, bool* built) {
  const bool fromRuns = field.runs.numbers != nullptr;
  const void* at = fromRuns ? field.runs.numbers : static_cast<const void*>(field.values);
  // The same values under the same limit make the same dictionary: the
  // one of the last call stands (dictionary_ is as it left it).
  const bool again = sameValuesAsLast && tried.values == at && tried.stride == field.stride &&
                     tried.rows == rows && tried.limit == limit;
  *built = tried.built;
  std::int32_t dictSize = tried.dictSize;
  if (!again) {
    *built = false;
    const Status status = fromRuns ? RunDictionary(field.runs, field.stride, rows, limit, &dictSize)
                                   : dictionary_.Build(field.values, field.stride, rows, limit,
                                                       desc.distinctHint, &dictSize);
    if (!status.ok()) return status;
    *built = dictSize > 0;
  }
  tried_ = Tried{at, field.stride, rows, limit, *built, dictSize};
  values_.dictSize = *built ? dictSize : 0;
  if (!*built) return Status::Ok();
  values_.indices = dictionary_.indices();
  if (desc.type == ParquetType::kString) return DictionaryTexts(field);
  return Typed(desc.type, dictionary_.keys(), 1, dictSize);
}

// The dictionary of a field held as run numbers, by number: a table with a
// place for every number, all free (-1) between calls. *size as for
// ParquetDictionary::Build.
Status ParquetColumnConverter::RunDictionary(const OutputRuns& runs, std::ptrdiff_t stride,
                                             std::int32_t rows, std::int32_t limit,
                                             std::int32_t* size) {
  constexpr std::size_t kPlaces = std::size_t{1} << 16;
  *size = 0;
  if (runs.width != 1 && runs.width != 2) return Status::InvalidArgument();
  if (!dictionary_.Reserve(limit, rows)) return Status::NoMemory();
  if (runEntries_.size() < kPlaces) {
    if (!runEntries_.Resize(kPlaces)) return Status::NoMemory();
    std::memset(runEntries_.data(), 0xFF, kPlaces * sizeof(std::int32_t));
  }
  std::int32_t* entries = runEntries_.data();
  std::int32_t* keys = dictionary_.keys();
  std::uint32_t* indices = dictionary_.indices();
  const std::int32_t count = runs.width == 1
                                 ? RunEntries(static_cast<const std::uint8_t*>(runs.numbers),
                                              stride, rows, runs, limit, entries, keys, indices)
                                 : RunEntries(static_cast<const std::uint16_t*>(runs.numbers),
                                              stride, rows, runs, limit, entries, keys, indices);
  // Free again every place the call may have taken.
  const auto taken = static_cast<std::size_t>(std::min<std::int64_t>(runs.count, kPlaces));
  std::memset(entries, 0xFF, taken * sizeof(std::int32_t));
  if (count == kNoValue) return Status::InvalidArgument();
  if (count == kOverLimit) return Status::Ok();  // *size stays 0
  *size = count;
  return Status::Ok();
}

Status ParquetColumnConverter::Typed(ParquetType type, const std::int32_t* keys,
                                     std::ptrdiff_t stride, std::int32_t n) {
  const auto count = static_cast<std::size_t>(n);
  switch (type) {
    case ParquetType::kInt32:
      if (stride == 1) {
        values_.i32 = keys;
        return Status::Ok();
      }
      if (!i32_.Resize(count)) return Status::NoMemory();
      for (std::size_t i = 0; i < count; ++i) i32_[i] = keys[i * stride];
      values_.i32 = i32_.data();
      return Status::Ok();
    case ParquetType::kDate:
      if (!i32_.Resize(count)) return Status::NoMemory();
      for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t day = keys[i * stride];
        if (day < 0 || day > DATE_MAX_DAY) return Status::OutOfRange();
        i32_[i] = day - kParquetDayOfEpoch;
      }
      values_.i32 = i32_.data();
      return Status::Ok();
    case ParquetType::kDecimal12_2:
      if (!i64_.Resize(count)) return Status::NoMemory();
      for (std::size_t i = 0; i < count; ++i) i64_[i] = std::int64_t{keys[i * stride]} * 100;
      values_.i64 = i64_.data();
      return Status::Ok();
    case ParquetType::kDouble:
      if (!f64_.Resize(count)) return Status::NoMemory();
      for (std::size_t i = 0; i < count; ++i) f64_[i] = static_cast<double>(keys[i * stride]);
      values_.f64 = f64_.data();
      return Status::Ok();
    case ParquetType::kString:
      break;
  }
  return Status::InvalidArgument();
}

bool ParquetColumnConverter::TextStream() {
  if (text_ == nullptr || text_->error() != 0) {
    text_.reset(new (std::nothrow) OutputStream(-1, kTextStart));
  }
  if (text_ == nullptr || text_->error() != 0) return false;
  text_->Clear();
  return true;
}

// Each entry's text through the row formatter, as the last field of a row;
// the line end stays behind it as the strings' trailer.
Status ParquetColumnConverter::DictionaryTexts(const OutputRowField& field) {
  const auto n = static_cast<std::size_t>(values_.dictSize);
  if (!TextStream() || !offsets_.Resize(n + 1)) return Status::NoMemory();
  for (std::size_t i = 0; i < n; ++i) {
    offsets_[i] = static_cast<std::uint32_t>(text_->size());
    const OutputRowField entry{dictionary_.keys() + i, 0, field.kind, field.width};
    std::int32_t unusedFill = 1;  // fill is never kept in a dictionary
    if (Output_Rows(text_.get(), *format_, &entry, 1, 1, &unusedFill) != 0) {
      return Status::NoMemory();
    }
  }
  offsets_[n] = static_cast<std::uint32_t>(text_->size());
  values_.strings = ParquetStrings{text_->data(), offsets_.data(), 1};
  return Status::Ok();
}

// All rows through the row formatter, one line each, then where the lines
// lie: by their common length when they have one (no offsets), else at
// offsets found by search.
// The fill stream's state moves on past the rows.
Status ParquetColumnConverter::PlainTexts(const OutputRowField& field, std::int32_t rows,
                                          std::int32_t* fill) {
  values_ = ParquetValues{};
  if (rows < 1 || field.values == nullptr || format_ == nullptr) return Status::InvalidArgument();
  const auto n = static_cast<std::size_t>(rows);
  if (!TextStream()) return Status::NoMemory();
  if (Output_Rows(text_.get(), *format_, &field, 1, rows, fill, &textCaches_) != 0) {
    return Status::NoMemory();
  }
  const char* text = text_->data();
  const std::size_t size = text_->size();
  if (size > UINT32_MAX) return Status::InvalidArgument();
  const int length = FixedTextLength(field, field.kind);
  const auto line = static_cast<std::size_t>(length + 1);
  bool even = length >= 0 && size == n * line;
  if (even) {
    // Every line's end where it should be: one pass without a branch.
    char wrong = 0;
    for (std::size_t i = 1; i <= n; ++i) wrong |= static_cast<char>(text[i * line - 1] ^ '\n');
    even = wrong == 0;
  }
  if (even) {
    // The lines of one length need no offsets.
    values_.strings = ParquetStrings{text, nullptr, 1, static_cast<std::uint32_t>(line)};
    return Status::Ok();
  }
  if (!offsets_.Resize(n + 1)) return Status::NoMemory();
  std::uint32_t* offsets = offsets_.data();
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    offsets[i] = static_cast<std::uint32_t>(at);
    const void* end = std::memchr(text + at, '\n', size - at);
    if (end == nullptr) return Status::InvalidArgument();
    at = static_cast<std::size_t>(static_cast<const char*>(end) - text) + 1;
  }
  offsets[n] = static_cast<std::uint32_t>(at);
  values_.strings = ParquetStrings{text, offsets, 1};
  return Status::Ok();
}

Status ParquetFieldEncoder::ConvertField(const ParquetColumnDesc& desc, const OutputFormat& format,
                                         const OutputRowField& field, std::int32_t rows,
                                         bool sameValuesAsLast, bool* plainTexts,
                                         OutputRowField* values) {
  *plainTexts = false;
  *values = field;
  if (field.runs.numbers != nullptr) {
    bool done = false;
    const Status status =
        converter_.ConvertRuns(desc, format, field, rows, sameValuesAsLast, &done);
    if (!status.ok() || done) return status;
    if (!wide_.Resize(static_cast<std::size_t>(rows))) return Status::NoMemory();
    if (field.runs.width != 1 && field.runs.width != 2) return Status::InvalidArgument();
    if (!Output_WidenRuns(field.runs, field.stride, rows, wide_.data())) {
      return Status::InvalidArgument();
    }
    *values = OutputRowField{wide_.data(), 1, field.kind, field.width};
  }
  return converter_.ConvertUnlessPlainTexts(desc, format, *values, rows, sameValuesAsLast,
                                            plainTexts);
}

Status ParquetFieldEncoder::Encode(const ParquetColumnDesc& desc, ParquetCodec codec,
                                   const OutputFormat& format, const OutputRowField& field,
                                   std::int32_t rows, std::int32_t fillState,
                                   ParquetEncodedChunk* out) {
  bool plainTexts = false;
  OutputRowField values = field;
  Status status = ConvertField(desc, format, field, rows, false, &plainTexts, &values);
  if (status.ok() && plainTexts) {
    status = converter_.PlainTexts(values, rows, &fillState);
  }
  if (!status.ok()) return status;
  return encoder_.Encode(desc, codec, converter_.values(), rows, out);
}

Status ParquetFieldEncoder::EncodeInto(const ParquetColumnDesc& desc, ParquetCodec codec,
                                       const OutputFormat& format, const OutputRowField& field,
                                       std::int32_t rows, std::int32_t fillState,
                                       ParquetBuffer* bytes, ParquetChunkMeta* meta,
                                       bool sameValuesAsLast) {
  bool plainTexts = false;
  OutputRowField values = field;
  Status status = ConvertField(desc, format, field, rows, sameValuesAsLast, &plainTexts, &values);
  if (!status.ok()) return status;
  if (!plainTexts) return encoder_.EncodeInto(desc, codec, converter_.values(), rows, bytes, meta);
  status = encoder_.BeginPlainStrings(codec, rows, bytes, meta);
  std::int32_t fill = fillState;
  for (std::int32_t first = 0; status.ok() && first < rows; first += kParquetTextPartRows) {
    const std::int32_t n = std::min(kParquetTextPartRows, rows - first);
    OutputRowField part = values;
    part.values += static_cast<std::ptrdiff_t>(first) * values.stride;
    status = converter_.PlainTexts(part, n, &fill);
    if (!status.ok()) {
      encoder_.AbandonPlainStrings();
      return status;
    }
    status = encoder_.AddPlainStrings(converter_.values().strings, n);
  }
  if (!status.ok()) return status;
  return encoder_.EndPlainStrings();
}

}  // namespace zervgen
