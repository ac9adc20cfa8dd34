// output/block.cpp: rows a block at a time, put together from their pieces.
#include "output/block.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/env.h"
#include "base/util.h"
#include "output/cache.h"
#include "output/pieces.h"
#include "output/text.h"

namespace zervgen::output_detail {
namespace {

constexpr std::int32_t kBlockRows = 128;
// Rows longer than this (at most) are left to FastRows.
constexpr std::size_t kMaxBlockRowBytes = 4096;
// Room after the texts made anew for the 32-byte copies of the last one.
constexpr std::size_t kScratchSlack = 64;

// The block's pieces (row by row) and the texts made anew, in the caches'
// working memory, made or grown at need; null when it cannot be had.
char* BlockMemory(OutputFieldCaches* caches, std::size_t bytes) {
  if (caches->blockBytes >= bytes) return static_cast<char*>(caches->block);
  void* memory = Env_Reallocate(caches->block, bytes);
  if (memory == nullptr) return nullptr;
  caches->block = memory;
  caches->blockBytes = bytes;
  return static_cast<char*>(memory);
}

std::size_t PiecesBytes(int nFields) {
  return sizeof(Piece) * static_cast<std::size_t>(nFields) * kBlockRows;
}

// 32 bytes in one vector move where the machine has one.
using Bytes32 = char [[gnu::vector_size(32), gnu::aligned(1)]];

// Copies a piece to p in 32-byte moves; returns its end. The piece is read
// before the first store, which could otherwise change it.
[[gnu::always_inline]] inline char* PutPiece(char* p, const Piece& piece) {
  const char* text = piece.text;
  const std::uint32_t size = piece.size;
  Bytes32 bytes;
  std::memcpy(&bytes, text, 32);
  std::memcpy(p, &bytes, 32);
  if (size > 32) [[unlikely]] {
    for (std::uint32_t i = 32; i < size; i += 32) {
      std::memcpy(&bytes, text + i, 32);
      std::memcpy(p + i, &bytes, 32);
    }
  }
  return p + size;
}

// The rows of the block from their pieces, one Reserve of `bound` each,
// with kFields fields (0: nFields) known to the compiler, so that a row's
// copies need no loop. Returns the rows written (fewer when the stream
// could not grow).
template <int kFields>
[[gnu::always_inline]] inline std::int32_t PutRows(OutputStream* stream, const Piece* pieces,
                                                   int nFields, std::int32_t rows,
                                                   std::size_t bound) {
  const int fields = kFields > 0 ? kFields : nFields;
  std::int32_t r = 0;
  while (r < rows) {
    char* p = stream->Reserve(bound);
    if (p == nullptr) return r;
    // Rows that surely fit the room the stream has now need no Reserve of
    // their own: each would have found its `bound` bytes there.
    const std::size_t fit = stream->room() / bound;
    const std::int32_t end =
        fit < static_cast<std::size_t>(rows - r) ? r + static_cast<std::int32_t>(fit) : rows;
    for (; r < end; ++r, pieces += fields) {
#pragma GCC unroll 16
      for (int i = 0; i < fields; ++i) p = PutPiece(p, pieces[i]);
    }
    stream->Commit(p);
  }
  return rows;
}

// The rows of the block for any count of pieces; the usual counts (the
// relations' nine to eleven) unrolled.
#define ZERVGEN_PUT_BLOCK_BODY                                  \
  switch (nFields) {                                            \
    case 9:                                                     \
      return PutRows<9>(stream, pieces, nFields, rows, bound);  \
    case 10:                                                    \
      return PutRows<10>(stream, pieces, nFields, rows, bound); \
    case 11:                                                    \
      return PutRows<11>(stream, pieces, nFields, rows, bound); \
    default:                                                    \
      return PutRows<0>(stream, pieces, nFields, rows, bound);  \
  }

std::int32_t PutBlockPlain(OutputStream* stream, const Piece* pieces, int nFields,
                           std::int32_t rows, std::size_t bound) {
  ZERVGEN_PUT_BLOCK_BODY
}

// The same with 32-byte moves in one instruction each, where the machine
// has them (chosen at run time).
[[gnu::target("avx2")]] std::int32_t PutBlockAvx2(OutputStream* stream, const Piece* pieces,
                                                  int nFields, std::int32_t rows,
                                                  std::size_t bound) {
  ZERVGEN_PUT_BLOCK_BODY
}
#undef ZERVGEN_PUT_BLOCK_BODY

// Whether blocks are made with AVX2, as `copy` says.
bool WideBlocks(OutputFieldCaches::BlockCopy copy) {
  return copy == OutputFieldCaches::BlockCopy::kBest ? Output_HasAvx2()
                                                     : copy == OutputFieldCaches::BlockCopy::kAvx2;
}

std::int32_t PutBlock(OutputFieldCaches::BlockCopy copy, OutputStream* stream, const Piece* pieces,
                      int nFields, std::int32_t rows, std::size_t bound) {
  return WideBlocks(copy) ? PutBlockAvx2(stream, pieces, nFields, rows, bound)
                          : PutBlockPlain(stream, pieces, nFields, rows, bound);
}

// The delimited date texts of `plain` with `end` after each, kept in
// `caches` (a row's last field apart from the others) and made again when
// the end changes; null when the memory cannot be had. One text more than
// there are days is room for the 32-byte reads of the last one.
const DateText* FramedDates(OutputFieldCaches* caches, const DateText* plain, bool last, char end) {
  const int k = last ? 1 : 0;
  if (caches->dates[k] != nullptr && caches->datesEnd[k] == end) {
    return static_cast<const DateText*>(caches->dates[k]);
  }
  if (caches->dates[k] == nullptr) {
    caches->dates[k] = Env_Reallocate(nullptr, sizeof(DateText) * (kDays + 1));
    if (caches->dates[k] == nullptr) return nullptr;
  }
  auto* texts = static_cast<DateText*>(caches->dates[k]);
  for (int day = 0; day < kDays; ++day) {
    texts[day] = plain[day];
    texts[day].text[texts[day].size] = end;  // a delimited date has at most 10 characters
    ++texts[day].size;
  }
  texts[kDays] = DateText{};
  caches->datesEnd[k] = end;
  return texts;
}

// Whether field i shows the very values of field i - 1 with the same
// framing (a column shown twice in a row, as hundred's double and decim):
// its pieces are then those of the field before, copied, not looked up or
// made again. Fill text is drawn anew for each field, and a row's last
// field ends in the line end.
bool SameAsFieldBefore(const OutputRowField* fields, int i, int lastField) {
  if (i == 0 || i == lastField) return false;
  const OutputRowField& a = fields[i - 1];
  const OutputRowField& b = fields[i];
  return a.values == b.values && a.stride == b.stride && a.kind == b.kind && a.width == b.width &&
         b.kind != OutputKind::kFill;
}

// Copies the pieces of the field before to this field, for `rows` rows.
void CopyPieces(Piece* pieces, int nFields, std::int32_t rows) {
  for (std::int32_t r = 0; r < rows; ++r, pieces += nFields) {
    std::memcpy(pieces, pieces - 1, sizeof *pieces);
  }
}

}  // namespace

bool BlockFits(const OutputRowField* fields, int nFields, std::size_t bound) {
  int fills = 0;
  for (int i = 0; i < nFields; ++i) fills += fields[i].kind == OutputKind::kFill ? 1 : 0;
  return fills <= 1 && bound <= kMaxBlockRowBytes;
}

template <bool kFixed>
int BlockRows(OutputStream* stream, const OutputFormat& format, const OutputRowField* fields,
              int nFields, std::int32_t rows, std::size_t bound, std::int32_t* fillState,
              OutputFieldCaches* tables) {
  const std::size_t piecesBytes = PiecesBytes(nFields);
  char* memory = BlockMemory(tables, piecesBytes + bound * kBlockRows + kScratchSlack);
  if (memory == nullptr) return 1;
  auto* pieces = reinterpret_cast<Piece*>(memory);
  char* scratchBegin = memory + piecesBytes;
  std::int32_t fill = *fillState;
  const RowWriter<kFixed> writer(format, &fill);
  const int lastField = nFields - 1;
  const bool wide = WideBlocks(tables->blockCopy);
  Column columns[kMaxRowFields];
  bool copied[kMaxRowFields];
  for (int i = 0; i < nFields; ++i) copied[i] = SameAsFieldBefore(fields, i, lastField);
  // A field shown again right after it, from a table, is kept there twice
  // over and makes one piece with the next field, which then has none
  // (unless the one after shows it yet again and copies its piece).
  int pieceOf[kMaxRowFields];  // the field's piece in a row; -1: none
  int nPieces = 0;
  for (int i = 0; i < nFields; ++i) {
    FieldLook look = LookOf(fields[i].kind, fields[i].width, i == lastField, format);
    const bool cached = Reusable(fields[i].kind) && !copied[i];
    look.twice = cached && i + 1 < nFields && copied[i + 1] && !(i + 2 < nFields && copied[i + 2]);
    columns[i] = {fields[i], cached ? CacheFor(tables, i, look) : nullptr};
    columns[i].twice = look.twice && columns[i].cache != nullptr;
    columns[i].wide = wide;
    if (!kFixed && fields[i].kind == OutputKind::kDate && !copied[i]) {
      const bool last = i == lastField;
      columns[i].dates = FramedDates(tables, writer.dates(), last, last ? '\n' : writer.delim());
    }
    pieceOf[i] = i > 0 && columns[i - 1].twice ? -1 : nPieces++;
  }
  std::int32_t done = 0;
  while (done < rows) {
    const std::int32_t n = rows - done < kBlockRows ? rows - done : kBlockRows;
    char* scratch = scratchBegin;
    for (int i = 0; i < nFields; ++i) {
      if (pieceOf[i] < 0) continue;
      if (copied[i]) {
        CopyPieces(pieces + pieceOf[i], nPieces, n);
        continue;
      }
      ColumnPieces(writer, &columns[i], i == lastField, n, pieces + pieceOf[i], nPieces, &scratch);
    }
    const std::int32_t put = PutBlock(tables->blockCopy, stream, pieces, nPieces, n, bound);
    done += put;
    if (put < n) break;
  }
  for (int i = 0; i < nFields; ++i) {
    if (columns[i].cache != nullptr) columns[i].cache->Account(static_cast<std::uint32_t>(done));
  }
  *fillState = fill;
  return done == rows ? 0 : STATUS_ERROR;
}

template int BlockRows<true>(OutputStream* stream, const OutputFormat& format,
                             const OutputRowField* fields, int nFields, std::int32_t rows,
                             std::size_t bound, std::int32_t* fillState, OutputFieldCaches* tables);
template int BlockRows<false>(OutputStream* stream, const OutputFormat& format,
                              const OutputRowField* fields, int nFields, std::int32_t rows,
                              std::size_t bound, std::int32_t* fillState,
                              OutputFieldCaches* tables);

}  // namespace zervgen::output_detail
