// run/compressed_format.cpp: compressed text files. Each chunk formats its
// rows through a text chunk of its own and compresses the text into one
// frame or member, on the worker thread that formatted it. A chunk holds
// all its rows or none: when memory runs short it gives back none, and
// the writer goes on with fewer threads from the same row, so the frames
// stay where they are. There is no reserved chunk: a relation that cannot
// have one chunk's memory fails as Parquet does, its file removed.
#include "run/compressed_format.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

#include "base/env.h"
#include "base/except.h"

namespace zervgen {
namespace {

constexpr std::int32_t kMinFrameRows = 4096;
constexpr std::int32_t kMaxFrameRows = 8192;
// The text of a frame, estimated from the fields' widths, stays within this.
constexpr std::size_t kFrameTextBytes = std::size_t{2} << 20;
// Room for the fields of a chunk's rows held as run numbers, and for the
// values the writer reads from temporary files.
constexpr std::size_t kValueBytesPerRow = 28 * sizeof(std::int32_t);

class CompressedChunk : public GenFormatChunk {
 public:
  CompressedChunk(std::unique_ptr<GenFormatChunk> text, const TextCompression& compression)
      : text_(std::move(text)), compressor_(compression), codec_(compression.codec) {}
  ~CompressedChunk() override { std::free(out_); }
  CompressedChunk(const CompressedChunk&) = delete;
  CompressedChunk& operator=(const CompressedChunk&) = delete;

  std::int32_t Format(const GenChunkView& view) override {
    size_ = 0;
    rows_ = 0;
    if (text_->Format(view) != view.rows) return 0;
    if (!Compress(text_->data(), text_->size())) return 0;
    rows_ = view.rows;
    return view.rows;
  }
  // Compresses `n` bytes of text into the chunk's bytes; false when memory
  // ran short.
  bool Compress(const char* text, std::size_t n) {
    const std::size_t bound = Compress_Bound(codec_, n);
    if (bound > capacity_) {
      void* grown = Env_Reallocate(out_, bound);
      if (grown == nullptr) return false;
      out_ = static_cast<char*>(grown);
      capacity_ = bound;
    }
    size_ = compressor_.Compress(text, n, out_, capacity_);
    return size_ != 0;
  }
  // A write cut short ends inside the frame: its rows are not there.
  std::int32_t RowsWithin(std::size_t bytes) const override { return bytes >= size_ ? rows_ : 0; }
  const char* data() const override { return out_; }
  std::size_t size() const override { return size_; }

 private:
  std::unique_ptr<GenFormatChunk> text_;
  TextCompressor compressor_;
  TextCodec codec_;
  char* out_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::int32_t rows_ = 0;
};

class CompressedFormat : public GenFormat {
 public:
  CompressedFormat(const OutputFormat& format, std::int32_t frameRows,
                   const TextCompression& compression)
      : text_(Gen_TextFormat(format, frameRows)),
        frameRows_(frameRows),
        compression_(compression) {}

  std::int32_t ChunkRows() const override { return frameRows_; }
  bool AlignsChunks() const override { return true; }
  bool ReadsRunNumbers() const override { return true; }

  std::unique_ptr<GenFormatChunk> NewChunk() override {
    std::unique_ptr<GenFormatChunk> text = text_->NewChunk();
    if (text == nullptr) return nullptr;
    return std::unique_ptr<GenFormatChunk>(new (std::nothrow)
                                               CompressedChunk(std::move(text), compression_));
  }
  GenFormatChunk* ReservedChunk(const OutputRowField*, int, std::int32_t*) override {
    return nullptr;
  }
  bool Written(const GenFormatChunk&, std::uint64_t) override {
    wroteRows_ = true;
    return true;
  }
  // A file without rows (an empty part) holds one empty frame or member:
  // what the zstd and gzip programs read as empty text.
  bool End(std::string* bytes) override {
    bytes->clear();
    if (wroteRows_) return true;
    std::unique_ptr<GenFormatChunk> text = text_->NewChunk();
    if (text == nullptr) return false;
    CompressedChunk empty(std::move(text), compression_);
    if (!empty.Compress("", 0)) return false;
    bytes->assign(empty.data(), empty.size());
    return true;
  }

 private:
  std::unique_ptr<GenFormat> text_;
  std::int32_t frameRows_;
  TextCompression compression_;
  bool wroteRows_ = false;
};

}  // namespace

std::int32_t Gen_CompressedFrameRows(const OutputFormat& format,
                                     std::span<const GenColumnSpec> columns) {
  (void)format;
  // A field's text is about its width and a delimiter.
  std::size_t row = 1;
  for (const GenColumnSpec& c : columns) {
    if (c.attr == nullptr) break;
    row += static_cast<std::size_t>(std::abs(static_cast<std::int16_t>(c.width))) + 1;
  }
  return row * kMaxFrameRows <= kFrameTextBytes ? kMaxFrameRows : kMinFrameRows;
}

std::unique_ptr<GenFormat> Gen_CompressedFormat(const OutputFormat& format,
                                                std::span<const GenColumnSpec> columns,
                                                const TextCompression& compression) {
  CHECK_REQUIRE_TEXT(compression.codec != TextCodec::kNone, "compression.codec != kNone");
  CHECK_REQUIRE_TEXT(Compress_BuiltIn(compression.codec), "codec built in");
  return std::make_unique<CompressedFormat>(format, Gen_CompressedFrameRows(format, columns),
                                            compression);
}

std::size_t Gen_CompressedWriterBytes(const TextCompression& compression) {
  return kFrameTextBytes + Compress_Bound(compression.codec, kFrameTextBytes) +
         kValueBytesPerRow * kMaxFrameRows + Compress_WorkBytes(compression);
}

}  // namespace zervgen
