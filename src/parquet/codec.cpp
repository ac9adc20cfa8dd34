// parquet/codec.cpp: snappy and zstd behind one call.
#include "parquet/codec.h"

#if ZERVGEN_HAVE_SNAPPY
#include <snappy.h>
#endif
#if ZERVGEN_HAVE_ZSTD
#include <zstd.h>
#include <zstd_errors.h>
#endif

#include <cstring>
#include <new>

namespace zervgen {

#if ZERVGEN_HAVE_SNAPPY
namespace {

// Runs a snappy call, which takes its working memory with new: the one
// place where its bad_alloc becomes a status.
template <typename Call>
Status SnappyCall(Call&& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return Status::NoMemory();
  }
}

}  // namespace
#endif

bool Parquet_CodecBuiltIn(ParquetCodec codec) {
  switch (codec) {
    case ParquetCodec::kUncompressed:
      return true;
    case ParquetCodec::kSnappy:
      return ZERVGEN_HAVE_SNAPPY != 0;
    case ParquetCodec::kZstd:
      return ZERVGEN_HAVE_ZSTD != 0;
  }
  return false;
}

ParquetCompressor::~ParquetCompressor() {
#if ZERVGEN_HAVE_ZSTD
  ZSTD_freeCCtx(zstd_);
#endif
}

Status ParquetCompressor::Compress(ParquetCodec codec, const char* src, std::size_t n,
                                   ParquetBuffer* out) {
  out->Clear();
  return Append(codec, src, n, out);
}

Status ParquetCompressor::Append(ParquetCodec codec, const char* src, std::size_t n,
                                 ParquetBuffer* out) {
  switch (codec) {
    case ParquetCodec::kUncompressed:
      out->Append(src, n);
      return out->ok() ? Status::Ok() : Status::NoMemory();
#if ZERVGEN_HAVE_SNAPPY
    case ParquetCodec::kSnappy: {
      char* dst = out->Reserve(snappy::MaxCompressedLength(n));
      if (dst == nullptr) return Status::NoMemory();
      return SnappyCall([&] {
        std::size_t size = 0;
        snappy::RawCompress(src, n, dst, &size);
        out->Commit(dst + size);
        return Status::Ok();
      });
    }
#endif
#if ZERVGEN_HAVE_ZSTD
    case ParquetCodec::kZstd: {
      if (zstd_ == nullptr) zstd_ = ZSTD_createCCtx();
      if (zstd_ == nullptr) return Status::NoMemory();
      const std::size_t bound = ZSTD_compressBound(n);
      char* dst = out->Reserve(bound);
      if (dst == nullptr) return Status::NoMemory();
      const std::size_t size = ZSTD_compressCCtx(zstd_, dst, bound, src, n, zstdLevel_);
      if (ZSTD_isError(size)) {
        // A context that failed is not trusted with the next page.
        ZSTD_freeCCtx(zstd_);
        zstd_ = nullptr;
        return ZSTD_getErrorCode(size) == ZSTD_error_memory_allocation ? Status::NoMemory()
                                                                       : Status::CodecFailed();
      }
      out->Commit(dst + size);
      return Status::Ok();
    }
#endif
    default:
      break;
  }
  return Status::InvalidArgument();
}

Status Parquet_Decompress(ParquetCodec codec, const char* src, std::size_t n, std::size_t size,
                          ParquetBuffer* out) {
  out->Clear();
  char* dst = out->Reserve(size);
  if (dst == nullptr) return Status::NoMemory();
  switch (codec) {
    case ParquetCodec::kUncompressed:
      if (n != size) return Status::OutOfRange();
      if (n > 0) std::memcpy(dst, src, n);
      out->Commit(dst + n);
      return Status::Ok();
#if ZERVGEN_HAVE_SNAPPY
    case ParquetCodec::kSnappy: {
      std::size_t length = 0;
      if (!snappy::GetUncompressedLength(src, n, &length) || length != size) {
        return Status::OutOfRange();
      }
      return SnappyCall([&] {
        if (!snappy::RawUncompress(src, n, dst)) return Status::OutOfRange();
        out->Commit(dst + size);
        return Status::Ok();
      });
    }
#endif
#if ZERVGEN_HAVE_ZSTD
    case ParquetCodec::kZstd: {
      const std::size_t got = ZSTD_decompress(dst, size, src, n);
      if (ZSTD_isError(got)) {
        return ZSTD_getErrorCode(got) == ZSTD_error_memory_allocation ? Status::NoMemory()
                                                                      : Status::OutOfRange();
      }
      if (got != size) return Status::OutOfRange();
      out->Commit(dst + size);
      return Status::Ok();
    }
#endif
    default:
      break;
  }
  return Status::InvalidArgument();
}

}  // namespace zervgen
