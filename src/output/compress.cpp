// output/compress.cpp: the codecs of compressed text files. zstd through
// libzstd, gzip through libdeflate (whole-buffer deflate: each member is
// compressed in one call, about twice as fast as zlib at the same size).
// Either may be missing from a build; its name is then known but refused.
#include "output/compress.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/env.h"

#if ZERVGEN_HAVE_ZSTD
#include <zstd.h>
#endif
#if ZERVGEN_HAVE_DEFLATE
#include <libdeflate.h>
#endif

namespace zervgen {
namespace {

// Compressed bytes read from the file at a time, and the most a gzip
// member may take, compressed or as text, while a file is read back.
constexpr std::size_t kInBytes = std::size_t{4} << 20;
constexpr std::size_t kGzipTextBytes = std::size_t{8} << 20;
constexpr std::size_t kMaxMemberBytes = std::size_t{256} << 20;

// Grows the block at *p of *size bytes to at least `want`, keeping its
// bytes; false when the memory cannot be had (the block then stays).
bool Grow(char** p, std::size_t* size, std::size_t want) {
  if (want <= *size) return true;
  void* grown = Env_Reallocate(*p, want);
  if (grown == nullptr) return false;
  *p = static_cast<char*>(grown);
  *size = want;
  return true;
}

}  // namespace

bool Compress_BuiltIn(TextCodec codec) {
  switch (codec) {
    case TextCodec::kNone:
      return true;
    case TextCodec::kZstd:
      return ZERVGEN_HAVE_ZSTD != 0;
    case TextCodec::kGzip:
      return ZERVGEN_HAVE_DEFLATE != 0;
  }
  return false;
}

const char* Compress_Name(TextCodec codec) {
  switch (codec) {
    case TextCodec::kZstd:
      return "zstd";
    case TextCodec::kGzip:
      return "gzip";
    case TextCodec::kNone:
      break;
  }
  return "none";
}

const char* Compress_Suffix(TextCodec codec) {
  switch (codec) {
    case TextCodec::kZstd:
      return ".zst";
    case TextCodec::kGzip:
      return ".gz";
    case TextCodec::kNone:
      break;
  }
  return "";
}

const char* Compress_Package(TextCodec codec) {
  return codec == TextCodec::kGzip ? "libdeflate-dev" : "libzstd-dev";
}

int Compress_MaxLevel(TextCodec codec) {
  return codec == TextCodec::kGzip ? kGzipMaxLevel : kZstdMaxLevel;
}

int Compress_DefaultLevel(TextCodec codec) {
  return codec == TextCodec::kGzip ? kGzipDefaultLevel : kZstdDefaultLevel;
}

Status Compress_Parse(const char* text, TextCompression* out) {
  const char* colon = std::strchr(text, ':');
  const std::size_t nameLength =
      colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
  TextCodec codec = TextCodec::kNone;
  for (TextCodec c : {TextCodec::kZstd, TextCodec::kGzip}) {
    const char* name = Compress_Name(c);
    if (std::strlen(name) == nameLength && std::strncmp(text, name, nameLength) == 0) codec = c;
  }
  if (codec == TextCodec::kNone) return Status::InvalidArgument("no such codec");
  int level = Compress_DefaultLevel(codec);
  if (colon != nullptr) {
    // One or two digits, nothing else.
    const char* digits = colon + 1;
    const std::size_t n = std::strlen(digits);
    if (n < 1 || n > 2 || std::strspn(digits, "0123456789") != n)
      return Status::OutOfRange("level");
    level = std::atoi(digits);
    if (level < 1 || level > Compress_MaxLevel(codec)) return Status::OutOfRange("level");
  }
  *out = TextCompression{codec, level};
  return Status::Ok();
}

std::size_t Compress_WorkBytes(const TextCompression& compression) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  if (compression.codec == TextCodec::kZstd) {
    // zstd's tables for input of a few MiB: small at the fast levels, tens
    // of MiB at the slowest.
    if (compression.level <= 3) return 2 * kMiB;
    return compression.level <= 9 ? 8 * kMiB : 32 * kMiB;
  }
  // libdeflate's compressor: under 1 MiB at levels 1 to 9.
  return compression.codec == TextCodec::kGzip ? kMiB : 0;
}

std::size_t Compress_Bound(TextCodec codec, std::size_t n) {
  (void)codec;
#if ZERVGEN_HAVE_ZSTD
  if (codec == TextCodec::kZstd) return ZSTD_compressBound(n);
#endif
#if ZERVGEN_HAVE_DEFLATE
  if (codec == TextCodec::kGzip) return libdeflate_gzip_compress_bound(nullptr, n);
#endif
  return n;
}

TextCompressor::TextCompressor(const TextCompression& compression) : compression_(compression) {}

TextCompressor::~TextCompressor() {
#if ZERVGEN_HAVE_ZSTD
  ZSTD_freeCCtx(zstd_);
#endif
#if ZERVGEN_HAVE_DEFLATE
  libdeflate_free_compressor(gzip_);
#endif
}

std::size_t TextCompressor::Compress(const char* src, std::size_t n, char* dst,
                                     std::size_t capacity) {
#if ZERVGEN_HAVE_ZSTD
  if (compression_.codec == TextCodec::kZstd) {
    if (zstd_ == nullptr) {
      zstd_ = ZSTD_createCCtx();
      if (zstd_ == nullptr) return 0;
      // Every frame says how much text it holds and carries its checksum.
      // A frame starts with an empty window, which costs level 1 about 1%
      // against one stream; a hash table of 2^15 entries (2^13 is level 1's
      // own, the other levels' are larger) wins that back at much the same
      // speed, and more.
      constexpr int kLevel1HashLog = 15;
      if (ZSTD_isError(
              ZSTD_CCtx_setParameter(zstd_, ZSTD_c_compressionLevel, compression_.level)) ||
          ZSTD_isError(ZSTD_CCtx_setParameter(zstd_, ZSTD_c_checksumFlag, 1)) ||
          ZSTD_isError(ZSTD_CCtx_setParameter(zstd_, ZSTD_c_contentSizeFlag, 1)) ||
          (compression_.level == 1 &&
           ZSTD_isError(ZSTD_CCtx_setParameter(zstd_, ZSTD_c_hashLog, kLevel1HashLog)))) {
        return 0;
      }
    }
    const std::size_t size = ZSTD_compress2(zstd_, dst, capacity, src, n);
    return ZSTD_isError(size) ? 0 : size;
  }
#endif
#if ZERVGEN_HAVE_DEFLATE
  if (compression_.codec == TextCodec::kGzip) {
    if (gzip_ == nullptr) gzip_ = libdeflate_alloc_compressor(compression_.level);
    if (gzip_ == nullptr) return 0;
    return libdeflate_gzip_compress(gzip_, src, n, dst, capacity);
  }
#endif
  (void)src;
  (void)n;
  (void)dst;
  (void)capacity;
  return 0;
}

TextDecompressor::TextDecompressor(TextCodec codec, int fd) : codec_(codec), fd_(fd) {}

TextDecompressor::~TextDecompressor() {
#if ZERVGEN_HAVE_ZSTD
  ZSTD_freeDCtx(zstd_);
#endif
#if ZERVGEN_HAVE_DEFLATE
  libdeflate_free_decompressor(gzip_);
#endif
  std::free(in_);
  std::free(text_);
}

bool TextDecompressor::Fail(Status why) {
  if (failure_.ok()) failure_ = std::move(why);
  return false;
}

bool TextDecompressor::Refill() {
  if (eof_ || !failure_.ok()) return false;
  if (inPos_ > 0) {
    std::memmove(in_, in_ + inPos_, inEnd_ - inPos_);
    inEnd_ -= inPos_;
    inPos_ = 0;
  }
  if (inEnd_ == inSize_) {
    const std::size_t want = inSize_ == 0 ? kInBytes : inSize_ * 2;
    if (want > kMaxMemberBytes) {
      return Fail(
          Status::Corrupt({}, "a gzip member of more than 256 MiB at compressed byte offset " +
                                  std::to_string(consumed_)));
    }
    if (!Grow(&in_, &inSize_, want)) return Fail(Status::NoMemory());
  }
  for (;;) {
    const ssize_t r = ::read(fd_, in_ + inEnd_, inSize_ - inEnd_);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      return Fail(Status::IoError(
          {}, "read error at compressed byte offset " + std::to_string(consumed_ + inEnd_), errno));
    }
    if (r == 0) {
      eof_ = true;
      return false;
    }
    inEnd_ += static_cast<std::size_t>(r);
    return true;
  }
}

std::size_t TextDecompressor::Read(char* buf, std::size_t n, int* error) {
  std::size_t got = 0;
  if (failure_.ok()) {
    got = codec_ == TextCodec::kZstd ? ReadZstd(buf, n) : ReadGzip(buf, n);
  }
  textOut_ += got;
  *error = failure_.ok() ? 0 : EIO;
  return got;
}

bool TextDecompressor::StepZstd(char* out, std::size_t n, std::uint64_t textAt, std::size_t* made) {
  *made = 0;
#if ZERVGEN_HAVE_ZSTD
  if (zstd_ == nullptr) zstd_ = ZSTD_createDCtx();
  if (zstd_ == nullptr) return Fail(Status::NoMemory());
  if (!inFrame_) {
    frameStart_ = consumed_;
    frameText_ = textAt;
  }
  ZSTD_outBuffer o{out, n, 0};
  ZSTD_inBuffer in{in_, inEnd_, inPos_};
  const std::size_t r = ZSTD_decompressStream(zstd_, &o, &in);
  consumed_ += in.pos - inPos_;
  inPos_ = in.pos;
  *made = o.pos;
  if (ZSTD_isError(r)) {
    // Told by where the frame starts, which does not move with how much of
    // the file each read gave the decoder.
    inFrame_ = true;
    return Fail(Status::Corrupt(
        {}, std::string("damaged zstd data in the frame at compressed byte offset ") +
                std::to_string(frameStart_) + ": " + ZSTD_getErrorName(r)));
  }
  inFrame_ = r != 0;
  return true;
#else
  (void)out;
  (void)n;
  (void)textAt;
  return Fail(Status::CodecFailed("this zervgen was built without zstd"));
#endif
}

std::size_t TextDecompressor::ReadZstd(char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    if (inPos_ == inEnd_ && !Refill()) break;
    std::size_t made = 0;
    if (!StepZstd(buf + got, n - got, textOut_ + got, &made)) {
      // None of the damaged frame's text made in this call is handed out:
      // had the reads given the decoder its whole frame, it would have
      // made none.
      return frameText_ > textOut_ ? static_cast<std::size_t>(frameText_ - textOut_) : 0;
    }
    got += made;
  }
  if (got < n && eof_ && inFrame_) {
    Fail(Status::Corrupt(
        {}, "the zstd data is cut short (the file ends inside a frame at compressed byte offset " +
                std::to_string(consumed_) + ")"));
  }
  return got;
}

bool TextDecompressor::SettleFrame() {
  // A failure in a frame after every byte handed out leaves those frames
  // whole: they were decoded to their ends before it.
  if (!failure_.ok()) return frameText_ >= textOut_;
  char scratch[16384];
  while (codec_ == TextCodec::kZstd && inFrame_) {
    if (inPos_ == inEnd_ && !Refill()) {
      if (!failure_.ok()) return false;
      return Fail(Status::Corrupt(
          {},
          "the zstd data is cut short (the file ends inside a frame at compressed byte "
          "offset " +
              std::to_string(consumed_) + ")"));
    }
    std::size_t made = 0;
    if (!StepZstd(scratch, sizeof scratch, textOut_, &made)) return false;
  }
  return true;
}

std::size_t TextDecompressor::ReadGzip(char* buf, std::size_t n) {
#if ZERVGEN_HAVE_DEFLATE
  if (gzip_ == nullptr) gzip_ = libdeflate_alloc_decompressor();
  if (gzip_ == nullptr) {
    Fail(Status::NoMemory());
    return 0;
  }
  std::size_t got = 0;
  while (got < n) {
    if (textPos_ < textEnd_) {
      const std::size_t take = std::min(n - got, textEnd_ - textPos_);
      std::memcpy(buf + got, text_ + textPos_, take);
      textPos_ += take;
      got += take;
      continue;
    }
    // The next member, whole: decompressed in one call, with more of the
    // file read or more room for its text until it fits.
    frameStart_ = consumed_;
    frameText_ = textOut_ + got;
    if (inPos_ == inEnd_ && !Refill()) break;
    if (text_ == nullptr && !Grow(&text_, &textSize_, kGzipTextBytes)) {
      Fail(Status::NoMemory());
      break;
    }
    std::size_t used = 0;
    std::size_t made = 0;
    const libdeflate_result r = libdeflate_gzip_decompress_ex(gzip_, in_ + inPos_, inEnd_ - inPos_,
                                                              text_, textSize_, &used, &made);
    if (r == LIBDEFLATE_SUCCESS) {
      inPos_ += used;
      consumed_ += used;
      textPos_ = 0;
      textEnd_ = made;
    } else if (r == LIBDEFLATE_INSUFFICIENT_SPACE) {
      if (textSize_ * 2 > kMaxMemberBytes) {
        Fail(Status::Corrupt(
            {}, "a gzip member of more than 256 MiB of text at compressed byte offset " +
                    std::to_string(consumed_)));
        break;
      }
      if (!Grow(&text_, &textSize_, textSize_ * 2)) {
        Fail(Status::NoMemory());
        break;
      }
    } else if (!Refill()) {
      // Damaged, or cut short: no more of the file makes it whole.
      Fail(Status::Corrupt(
          {}, "damaged or cut short gzip data in the member at compressed byte offset " +
                  std::to_string(consumed_)));
      break;
    }
  }
  return got;
#else
  (void)buf;
  (void)n;
  Fail(Status::CodecFailed("this zervgen was built without gzip"));
  return 0;
#endif
}

}  // namespace zervgen
