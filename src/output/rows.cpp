// output/rows.cpp: the row formatter. Whole rows of fields are formatted
// with one Reserve per row (or per run of rows that surely fit), no call per
// field, and the framing and character sets of one OutputFormat value, so
// that worker threads read nothing that may change under them; fields with
// few distinct values copy their framed texts from the caller's tables.
// With tables, rows that fit a block go a block at a time (output/block);
// the others a row at a time here, or a field at a time when a row has too
// many fields or too wide a field for that.
#include <cstddef>
#include <cstdint>

#include "base/except.h"
#include "base/util.h"
#include "output/block.h"
#include "output/cache.h"
#include "output/output.h"
#include "output/pieces.h"
#include "output/text.h"

namespace zervgen {
namespace {

using namespace output_detail;

// The rows the plain way, one field at a time in `format`, drawing fill
// from *fillState.
int PlainRows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
              int nFields, std::int32_t rows, std::int32_t* fillState) {
  const FieldContext context = ContextOf(format, fillState);
  for (std::int32_t r = 0; r < rows; ++r) {
    for (int i = 0; i < nFields; ++i) {
      const OutputRowField& f = fields[i];
      const int last = i == nFields - 1 ? 1 : 0;
      if (WriteFieldIn(stream, context, f.kind, f.values[r * f.stride], f.width, last) != 0) {
        return STATUS_ERROR;
      }
    }
  }
  return 0;
}

// Fetches the date text of the first date field kDateAhead rows ahead: the
// table is larger than the nearer caches, and every later field of the row
// waits for the length of the date.
class DateAhead {
 public:
  static constexpr std::int32_t kDateAhead = 16;

  DateAhead(const DateText* dates, const OutputRowField* fields, int nFields, std::int32_t rows)
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

// Writes the field of the column's next value at p and moves the cursor on.
// kLast is a constant, so that the framing of every field but the line's
// last knows it ends in the delimiter.
template <bool kFixed, bool kLast>
[[gnu::always_inline]] inline char* PutColumn(char* p, const RowWriter<kFixed>& writer,
                                              Column* column) {
  const OutputRowField& f = column->field;
  const std::int32_t value = *f.values;
  column->field.values += f.stride;
  if (column->cache == nullptr) return writer.Put(p, f, value, kLast);
  return column->cache->Put(p, value, [&](char* q) { return writer.Put(q, f, value, kLast); });
}

// The rows with one Reserve of `bound` bytes each and no call per field.
// Row r takes the value at `values` + r * stride of each field.
template <bool kFixed>
int FastRows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
             int nFields, std::int32_t rows, std::size_t bound, std::int32_t* fillState,
             OutputFieldCaches* tables) {
  std::int32_t fill = *fillState;
  const RowWriter<kFixed> writer(format, &fill);
  DateAhead dateAhead(writer.dates(), fields, nFields, rows);
  const int lastField = nFields - 1;
  Column columns[kMaxRowFields];
  for (int i = 0; i < nFields; ++i) {
    const bool cached = tables != nullptr && Reusable(fields[i].kind);
    const FieldLook look = LookOf(fields[i].kind, fields[i].width, i == lastField, format);
    columns[i] = {fields[i], cached ? CacheFor(tables, i, look) : nullptr};
  }
  std::int32_t r = 0;
  for (; r < rows; ++r) {
    char* p = stream->Reserve(bound);
    if (p == nullptr) break;
    dateAhead.Fetch(r);
    for (int i = 0; i < lastField; ++i) {
      p = PutColumn<kFixed, false>(p, writer, &columns[i]);
    }
    p = PutColumn<kFixed, true>(p, writer, &columns[lastField]);
    stream->Commit(p);
  }
  for (int i = 0; i < nFields; ++i) {
    if (columns[i].cache != nullptr) columns[i].cache->Account(static_cast<std::uint32_t>(r));
  }
  *fillState = fill;
  return r == rows ? 0 : STATUS_ERROR;
}

}  // namespace

bool Output_HasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

std::size_t Output_RowBound(const OutputRowField* fields, int nFields) {
  std::size_t bound = 0;
  for (int i = 0; i < nFields; ++i) {
    const int w = fields[i].width;
    bound += static_cast<std::size_t>(w < 0 ? -static_cast<std::int64_t>(w) : w) + kMaxFieldBytes;
  }
  return bound;
}

int Output_Rows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
                int nFields, std::int32_t rows, std::int32_t* fillState,
                OutputFieldCaches* caches) {
  CHECK_REQUIRE_TEXT(stream != nullptr, "stream != NULL");
  CHECK_REQUIRE_TEXT(fields != nullptr || nFields == 0, "fields != NULL || nFields == 0");
  CHECK_REQUIRE_TEXT(fillState != nullptr, "fillState != NULL");
  if (nFields <= 0) return 0;
  if (nFields > kMaxRowFields) return PlainRows(stream, format, fields, nFields, rows, fillState);
  // Every field takes at most its width and kMaxFieldBytes, padded or not.
  std::size_t bound = 0;
  for (int i = 0; i < nFields; ++i) {
    const OutputRowField& f = fields[i];
    CHECK_REQUIRE_TEXT(f.kind <= OutputKind::kFill, "fields[i].kind <= OutputKind::kFill");
    const std::int64_t span = f.width < 0 ? -static_cast<std::int64_t>(f.width) : f.width;
    if (span > kMaxInlinePad) return PlainRows(stream, format, fields, nFields, rows, fillState);
    bound += static_cast<std::size_t>(span) + kMaxFieldBytes;
  }
  if (caches != nullptr && BlockFits(fields, nFields, bound)) {
    const int status =
        format.fixedFormat
            ? BlockRows<true>(stream, format, fields, nFields, rows, bound, fillState, caches)
            : BlockRows<false>(stream, format, fields, nFields, rows, bound, fillState, caches);
    if (status != 1) return status;
  }
  return format.fixedFormat
             ? FastRows<true>(stream, format, fields, nFields, rows, bound, fillState, caches)
             : FastRows<false>(stream, format, fields, nFields, rows, bound, fillState, caches);
}

}  // namespace zervgen
