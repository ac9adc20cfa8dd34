// run/text_format.cpp: the text format of relation files: rows of fields, framed
// (delimited or fixed-width) by the row formatter, 4096 rows to a chunk.
// When memory for chunks cannot be had, rows are formatted a few at a time
// into a buffer that is part of the program image.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

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

class TextChunk : public GenFormatChunk {
 public:
  TextChunk(const OutputFormat& format, OutputStream* stream, OutputFieldCaches* caches)
      : format_(format), stream_(stream), caches_(caches) {}

  std::int32_t Format(const GenChunkView& view) override {
    stream_->Clear();
    std::int32_t fill = view.fillState;
    if (Output_Rows(stream_, format_, view.fields, view.nFields, view.rows, &fill, caches_) == 0) {
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
  const OutputFormat& format_;
  OutputStream* stream_;
  OutputFieldCaches* caches_;  // null: every field formatted anew
};

// A chunk whose stream and text tables are its own (through the
// reallocation seam).
class OwnedTextChunk : public TextChunk {
 public:
  explicit OwnedTextChunk(const OutputFormat& format) : TextChunk(format, &own_, &caches_) {}
  bool ok() const { return own_.error() == 0; }

 private:
  OutputStream own_{-1, 1 << 20};  // grows when rows are long
  OutputFieldCaches caches_;       // its tables live as long as the chunk
};

class TextFormat : public GenFormat {
 public:
  explicit TextFormat(const OutputFormat& format)
      : format_(format),
        reservedStream_(reservedText, kReservedTextBytes),
        reserved_(format_, &reservedStream_, nullptr) {}

  std::int32_t ChunkRows() const override { return kRowsPerChunk; }

  std::unique_ptr<GenFormatChunk> NewChunk() override {
    std::unique_ptr<OwnedTextChunk> chunk(new (std::nothrow) OwnedTextChunk(format_));
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
  OutputStream reservedStream_;
  TextChunk reserved_;
};

}  // namespace

std::unique_ptr<GenFormat> Gen_TextFormat(const OutputFormat& format) {
  return std::make_unique<TextFormat>(format);
}

}  // namespace zervgen
