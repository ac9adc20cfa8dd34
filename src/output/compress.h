// output/compress.h: compressed text files. Owns the two codecs of text
// output (zstd and gzip), their names, file suffixes and levels; turns a
// block of text into one self-contained zstd frame (with its content size
// and checksum) or one gzip member, and reads a file of such frames or
// members back as its text. A file of several frames or members is what
// the zstd and gzip programs read as the text of all of them in a row.
#ifndef ZERVGEN_SRC_OUTPUT_COMPRESS_H_
#define ZERVGEN_SRC_OUTPUT_COMPRESS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/status.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;
struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace zervgen {

enum class TextCodec : std::uint8_t { kNone, kZstd, kGzip };

// What -compress asks for: a codec and its level.
struct TextCompression {
  TextCodec codec = TextCodec::kNone;
  int level = 0;
};

// The fastest levels. On these rows zstd's level 1 is 1% larger than its
// level 3 in 60% of the CPU time; gzip's (libdeflate's) level 1 is 11%
// larger than level 6 in half the time, and zstd is smaller than both.
inline constexpr int kZstdDefaultLevel = 1;
inline constexpr int kGzipDefaultLevel = 1;
inline constexpr int kZstdMaxLevel = 19;
inline constexpr int kGzipMaxLevel = 9;

// Whether this build has the codec's library.
bool Compress_BuiltIn(TextCodec codec);
// "zstd", "gzip" ("none" for kNone).
const char* Compress_Name(TextCodec codec);
// The file name suffix: ".zst", ".gz" ("" for kNone).
const char* Compress_Suffix(TextCodec codec);
// The Debian package of the codec's library.
const char* Compress_Package(TextCodec codec);
int Compress_MaxLevel(TextCodec codec);
int Compress_DefaultLevel(TextCodec codec);

// Reads "zstd", "gzip", "zstd:N" or "gzip:N" (N from 1 to the codec's most)
// into *out; the level is the codec's default when none is given.
// InvalidArgument for a name that is no codec, OutOfRange for a level that
// is not one or two digits within the codec's levels.
// REQUIRES: text != NULL, out != NULL
Status Compress_Parse(const char* text, TextCompression* out);

// The memory one compressor of `compression` takes besides its input and
// output, about.
std::size_t Compress_WorkBytes(const TextCompression& compression);
// The most bytes `n` bytes of text compress to.
std::size_t Compress_Bound(TextCodec codec, std::size_t n);

// Compresses blocks of text, one at a time. One per thread at a time.
class TextCompressor {
 public:
  // REQUIRES: Compress_BuiltIn(compression.codec)
  explicit TextCompressor(const TextCompression& compression);
  ~TextCompressor();
  TextCompressor(const TextCompressor&) = delete;
  TextCompressor& operator=(const TextCompressor&) = delete;

  // Writes the `n` bytes at `src` as one frame or member into the
  // `capacity` bytes at `dst` (at least Compress_Bound(codec, n)); returns
  // its size, 0 when memory for the codec's state could not be had.
  [[nodiscard]] std::size_t Compress(const char* src, std::size_t n, char* dst,
                                     std::size_t capacity);

 private:
  TextCompression compression_;
  ZSTD_CCtx_s* zstd_ = nullptr;
  libdeflate_compressor* gzip_ = nullptr;
};

// Reads the text of a compressed file from a descriptor, any number of
// frames or members in a row.
class TextDecompressor {
 public:
  // REQUIRES: Compress_BuiltIn(codec), fd >= 0 open for reading
  TextDecompressor(TextCodec codec, int fd);
  ~TextDecompressor();
  TextDecompressor(const TextDecompressor&) = delete;
  TextDecompressor& operator=(const TextDecompressor&) = delete;

  // Reads up to `n` bytes of text into `buf`; fewer only where the text
  // ends or cannot be had, *error then 0 at the end, or nonzero with
  // failure() telling why (a read error, or compressed bytes that are
  // damaged, cut short or of another format).
  // A frame's (member's) text is the same whatever the reads of the file
  // return: a zstd frame's text may be handed out before its end is read,
  // and so before its checksum is checked (a gzip member's never is).
  std::size_t Read(char* buf, std::size_t n, int* error);
  // Decodes the rest of the frame whose text was handed out last, without
  // handing out more of it; false, with failure() set, when it does not
  // decode to its end and checksum. A reader that found the text not what
  // it expected settles the frame first: damaged compressed bytes are then
  // told as such, whether or not their text came out before the damage
  // was found.
  bool SettleFrame();
  const Status& failure() const { return failure_; }
  // Compressed bytes consumed so far.
  std::uint64_t compressedOffset() const { return consumed_; }
  // The text of the frames or members before the one being read (after a
  // failure: the one that failed), all of it decoded and checked whole.
  std::uint64_t settledTextBytes() const { return frameText_; }

 private:
  // Reads more compressed bytes after those not yet used; false at the
  // file's end or on a read error (failure_ set).
  bool Refill();
  bool Fail(Status why);
  // One step of the zstd decoder over the bytes read and not yet used;
  // false when it failed (failure_ set).
  // `textAt`: the text handed out before this step's.
  bool StepZstd(char* out, std::size_t n, std::uint64_t textAt, std::size_t* made);
  std::size_t ReadZstd(char* buf, std::size_t n);
  std::size_t ReadGzip(char* buf, std::size_t n);

  TextCodec codec_;
  int fd_;
  ZSTD_DCtx_s* zstd_ = nullptr;
  libdeflate_decompressor* gzip_ = nullptr;
  char* in_ = nullptr;  // compressed bytes read, [inPos_, inEnd_) not yet used
  std::size_t inSize_ = 0;
  std::size_t inPos_ = 0;
  std::size_t inEnd_ = 0;
  bool eof_ = false;
  bool inFrame_ = false;  // zstd: a frame begun and not yet ended
  char* text_ = nullptr;  // gzip: one member's text, [textPos_, textEnd_) not yet handed out
  std::size_t textSize_ = 0;
  std::size_t textPos_ = 0;
  std::size_t textEnd_ = 0;
  std::uint64_t consumed_ = 0;
  std::uint64_t frameStart_ = 0;  // compressed offset of the frame or member being read
  std::uint64_t frameText_ = 0;   // text handed out before it
  std::uint64_t textOut_ = 0;     // text handed out
  Status failure_;                // the first failure; what() is its line
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_OUTPUT_COMPRESS_H_
