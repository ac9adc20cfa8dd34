// run/text_format.cpp: the text format of relation files: rows of fields, framed
// (delimited or fixed-width) by the row formatter, 4096 rows to a chunk.
// Fields held as run numbers are widened to their values a chunk at a time.
// When memory for chunks cannot be had, rows are formatted a few at a time
// into a buffer that is part of the program image.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "base/env.h"
#include "base/except.h"
#include "output/output.h"
#include "run/format.h"

namespace zervgen {
namespace {

constexpr std::int32_t kRowsPerChunk = 4096;
// The reserved chunk's text: room for many rows of the widest kind (12
// fields of 228 bytes), and at most kReservedRows rows at a time.
constexpr std::size_t kReservedTextBytes = std::size_t{64} << 10;
constexpr std::int32_t kReservedRows = 256;

// The reserved chunk's text: part of the program image, so that it is there
// whatever the memory left. Lent to the reserved chunk of the text format
// of the relation file being written: one at a time, on the main thread.
char reservedText[kReservedTextBytes];
// The same for the values of its fields held as run numbers.
constexpr int kMaxFields = OutputFieldCaches::kFields;
std::int32_t reservedValues[kMaxFields * kReservedRows];

class TextChunk : public GenFormatChunk {
 public:
  // `values`: room for kMaxFields fields of `valueRows` rows, where the
  // fields held as run numbers are widened; null: had at the first such
  // field.
  TextChunk(const OutputFormat& format, OutputStream* stream, OutputFieldCaches* caches,
            std::int32_t* values, std::int32_t valueRows)
      : format_(format), stream_(stream), caches_(caches), values_(values), valueRows_(valueRows) {}

  std::int32_t Format(const GenChunkView& view) override {
    stream_->Clear();
    OutputRowField widened[kMaxFields];
    const OutputRowField* fields = view.fields;
    if (std::any_of(fields, fields + view.nFields,
                    [](const OutputRowField& f) { return f.runs.numbers != nullptr; })) {
      // No room for the values: no rows, and the writer goes on with less.
      if (!Widen(view, widened)) return 0;
      fields = widened;
    }
    std::int32_t fill = view.fillState;
    if (Output_Rows(stream_, format_, fields, view.nFields, view.rows, &fill, caches_) == 0) {
      return view.rows;
    }
    // The stream could not grow: it holds the rows formatted before, whole.
    return RowsWithin(size());
  }
  std::int32_t RowsWithin(std::size_t bytes) const override {
    return static_cast<std::int32_t>(std::count(data(), data() + bytes, '\n'));
  }
  const char* data() const override { return stream_->data(); }
  std::size_t size() const override { return stream_->size(); }

 private:
  // The view's fields, those held as run numbers as their values.
  bool Widen(const GenChunkView& view, OutputRowField* widened) {
    CHECK_ENSURE_TEXT(view.nFields <= kMaxFields && view.rows <= valueRows_,
                      "fields and rows fit the values");
    if (values_ == nullptr) {
      own_.reset(static_cast<std::int32_t*>(Env_Reallocate(
          nullptr, sizeof(std::int32_t) * kMaxFields * static_cast<std::size_t>(valueRows_))));
      values_ = own_.get();
      if (values_ == nullptr) return false;
    }
    for (int i = 0; i < view.nFields; ++i) {
      const OutputRowField& f = view.fields[i];
      widened[i] = f;
      if (f.runs.numbers == nullptr) continue;
      // Two fields of one column (hundred's double and decim) keep sharing
      // their values, which the row formatter makes one text of.
      const OutputRowField* same = std::find_if(view.fields, view.fields + i, [&](const auto& g) {
        return g.runs.numbers == f.runs.numbers && g.stride == f.stride;
      });
      if (same != view.fields + i) {
        widened[i] = OutputRowField{widened[same - view.fields].values, 1, f.kind, f.width};
        continue;
      }
      std::int32_t* values = values_ + static_cast<std::size_t>(i) * valueRows_;
      CHECK_ENSURE_TEXT(Output_WidenRuns(f.runs, f.stride, view.rows, values),
                        "every run number has a value");
      widened[i] = OutputRowField{values, 1, f.kind, f.width};
    }
    return true;
  }

  const OutputFormat& format_;
  OutputStream* stream_;
  OutputFieldCaches* caches_;  // null: every field formatted anew
  std::int32_t* values_;
  std::int32_t valueRows_;
  std::unique_ptr<std::int32_t, decltype(&std::free)> own_{nullptr,
                                                           &std::free};  // values_ if had here
};

// A chunk whose stream and text tables are its own (through the
// reallocation seam).
class OwnedTextChunk : public TextChunk {
 public:
  OwnedTextChunk(const OutputFormat& format, std::int32_t rows)
      : TextChunk(format, &own_, &caches_, nullptr, rows) {}
  bool ok() const { return own_.error() == 0; }

 private:
  OutputStream own_{-1, 1 << 20};  // grows when rows are long
  OutputFieldCaches caches_;       // its tables live as long as the chunk
};

class TextFormat : public GenFormat {
 public:
  TextFormat(const OutputFormat& format, std::int32_t chunkRows)
      : format_(format),
        chunkRows_(chunkRows),
        reservedStream_(reservedText, kReservedTextBytes),
        reserved_(format_, &reservedStream_, nullptr, reservedValues, kReservedRows) {}

  std::int32_t ChunkRows() const override { return chunkRows_; }
  bool ReadsRunNumbers() const override { return true; }

  std::unique_ptr<GenFormatChunk> NewChunk() override {
    std::unique_ptr<OwnedTextChunk> chunk(new (std::nothrow) OwnedTextChunk(format_, chunkRows_));
    if (chunk == nullptr || !chunk->ok()) return nullptr;
    return chunk;
  }

  GenFormatChunk* ReservedChunk(const OutputRowField* fields, int nFields,
                                std::int32_t* rows) override {
    const std::size_t bound = Output_RowBound(fields, nFields);
    CHECK_ENSURE_TEXT(bound <= kReservedTextBytes, "row bound <= reserved buffer");
    *rows = static_cast<std::int32_t>(
        std::min<std::size_t>(kReservedTextBytes / std::max<std::size_t>(bound, 1), kReservedRows));
    return &reserved_;
  }

 private:
  const OutputFormat format_;
  const std::int32_t chunkRows_;
  OutputStream reservedStream_;
  TextChunk reserved_;
};

}  // namespace

std::unique_ptr<GenFormat> Gen_TextFormat(const OutputFormat& format, std::int32_t chunkRows) {
  return std::make_unique<TextFormat>(format, chunkRows > 0 ? chunkRows : kRowsPerChunk);
}

}  // namespace zervgen
