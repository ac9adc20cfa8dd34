// run/writer.cpp: the relation writer, what every output format shares.
// Rows go in chunks of consecutive rows from the column storage to a
// format, on worker threads when more than one core is at hand, and are
// written in row order by the calling thread. Every chunk starts the fill
// stream at its first row by jumping ahead, so the bytes are the same
// whatever the number of threads. When memory for chunks or threads cannot
// be had, the remaining rows go one chunk at a time, then through the
// format's reserved chunk: memory never fails a text relation once its
// columns have storage.
#include "run/writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/env.h"
#include "base/except.h"
#include "base/pool.h"
#include "base/progress.h"
#include "base/random.h"
#include "base/report.h"
#include "base/signals.h"
#include "core/columns.h"
#include "run/files.h"
#include "run/format.h"
#include "run/write_failure.h"

namespace zervgen {
namespace {

constexpr int kMaxColumns = 12;
// The operation named in the location lines of the writer's raises.
constexpr const char* kWriterName = "Gen_outputRelation";
// Rows the reserved path reads from temporary files at a time.
constexpr std::int32_t kFixedRows = 256;

// The reserved path's temporary-file values: part of the program image, so
// they are there whatever the memory left. Lent to the relation file being
// written on the reserved path: one at a time, on the main thread.
std::int32_t fixedValues[kMaxColumns * kFixedRows];

// One entry of the column table.
struct GenColumn {
  GenAttr* attr;
  OutputKind kind;
  int advance;
  std::int16_t width;
};

// Where a field's value of row r comes from: memory slots give
// base[r * stride + offset]; temporary-file slots are read in row order by
// the writing thread into the chunk's own value array; fill fields are
// constant.
struct FieldSource {
  const std::int32_t* base;
  std::int32_t stride;
  std::int32_t offset;
  std::int32_t constant;
  bool fromTemp;
  int cursor;           // fromTemp: the read position it shares with the other fields of its slot
  const GenAttr* runs;  // a memory slot held as run numbers, or null
};

// The read position of one write in a temporary-file slot: the slot's read buffer, and how
// far this write has used it. Fields of the same slot share one.
struct TempCursor {
  std::int16_t pos;
  std::int16_t count;
};

// The relation file being written: its rows, its column table, the format,
// the file and everything the chunks share.
struct Relation {
  GenControlBlock* cb;
  GenFormat* format;
  RelationFile* file;   // null while checking an existing file
  GenByteCheck* check;  // the check the bytes go to instead of a file
  GenRows rows;
  GenColumn columns[kMaxColumns];
  int nColumns;
  FieldSource sources[kMaxColumns];
  TempCursor cursors[kMaxColumns];
  bool anyTemp;
  bool hasFill;
  std::int32_t fillSeed;  // the fill state at row 0
  int fillDraws;          // fill draws per row
  std::int32_t nextRow;   // the first row not yet written
  bool outOfMemory;       // the format could not keep a chunk's account
  bool stopped;           // the check has found its file differs: no more bytes
};

// Rows [firstRow, firstRow + rows) on their way from the column storage to
// a format. `tempValues` holds the temporary-file values, [field][row]
// with `valueRows` rows per field.
struct Batch {
  std::int32_t firstRow = 0;
  std::int32_t rows = 0;
  std::int32_t* tempValues = nullptr;
  std::int32_t valueRows = 0;
};

[[noreturn]] void WriteFailed(Relation* rel, std::int32_t row, int error) {
  Progress_End();
  const Removal removal = rel->file->Remove();
  const std::string reason = rel->file->storeFailure();
  Gen_ExplainWriteFailure(row, rel->rows.total, error, reason);
  Gen_ReportRemoval(removal);
  // A reader that went away hears nothing more: its class line, which would
  // go to standard error while standard output carries the data, is left out.
  if (error == EPIPE) Xept_RaiseException(XEPT_GEN_DISK_FULL);
  Gen_ExplainWriteFailureOnStderr(error, reason);
  Xept_Raise(XEPT_GEN_DISK_FULL, __FILE__, kWriterName, __LINE__);
}

// The read failure of a temporary-file column; its location line names the
// operation that reads the columns back.
[[noreturn]] void TempReadFailed(const GenAttr* attr) {
  Report("*** ERROR: Unexpected error while reading temporary file,\n\t\"%s\".\n", attr->fileName);
  std::fprintf(stderr, "%s: Temporary file read error.\n", programName);
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, "Gen_getNextBuffer", __LINE__);
}

// Fills the slot's read buffer from its temporary file; returns the values
// read (at least one).
std::int16_t ReadTempBuffer(GenAttr* attr) {
  ssize_t got;
  do {
    got = ::read(attr->fd, attr->buffer, static_cast<std::size_t>(attr->bufSize));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) TempReadFailed(attr);
  return static_cast<std::int16_t>(got / 4);
}

void BuildTable(Relation* rel, std::span<const GenColumnSpec> columns) {
  // clang-format off
  GenColumn (&attrs)[kMaxColumns] = rel->columns;
  std::int16_t nAttr = 0;
  for (const GenColumnSpec& spec : columns) {
    if (spec.attr == nullptr) break;
    CHECK_ENSURE_TEXT(nAttr < kMaxColumns, "nAttr <= sizeof(attrs)/sizeof(attrs[0])");
    attrs[nAttr++] = GenColumn{spec.attr, spec.kind, spec.advance, static_cast<std::int16_t>(spec.width)};
  }
  if (nAttr >= 2) {
    CHECK_ENSURE_TEXT(attrs[nAttr - 1].attr->location == GEN_FILL,
                      "attrs[nAttr-1].attr->location == GEN_FILL");
    if (attrs[nAttr - 1].attr->nFill == 0) --nAttr;
  }
  // clang-format on
  rel->nColumns = nAttr;
}

// Points the temporary-file columns at their values of row `row` (value
// row * stride), with an empty read buffer.
void SeekTempColumns(Relation* rel, std::int32_t row) {
  for (int i = 0; i < rel->nColumns; ++i) {
    GenAttr* attr = rel->columns[i].attr;
    if (!rel->sources[i].fromTemp) continue;
    const off_t at = static_cast<off_t>(row) * rel->sources[i].stride * 4;
    if (::lseek(attr->fd, at, SEEK_SET) != at) TempReadFailed(attr);
    rel->cursors[rel->sources[i].cursor] = TempCursor{0, 0};
  }
}

// A temporary file holds the values of a whole relation: of this one, or of
// the run's row count when a shorter column (tiny's) was written over it.
// One of any other size (another process appending to it, or cutting it)
// is a failed read, not shifted values.
void CheckTempSizes(const Relation& rel) {
  for (int i = 0; i < rel.nColumns; ++i) {
    if (!rel.sources[i].fromTemp) continue;
    const GenAttr* attr = rel.columns[i].attr;
    struct stat st;
    if (::fstat(attr->fd, &st) != 0) TempReadFailed(attr);
    const off_t values = st.st_size / 4;
    const bool whole =
        st.st_size % 4 == 0 && (values == rel.rows.total || values == rel.cb->nTuples);
    if (!whole) TempReadFailed(attr);
  }
}

// Works out each field's source; memory slots are read by row index.
void PlanSources(Relation* rel) {
  rel->anyTemp = false;
  rel->hasFill = false;
  const int n = rel->nColumns;
  for (int i = 0; i < n; ++i) {
    GenAttr* attr = rel->columns[i].attr;
    FieldSource& src = rel->sources[i];
    src = FieldSource{nullptr, 0, 0, 0, false, i, nullptr};
    if (attr->location == GEN_FILL) {
      src.constant = attr->nFill;
      rel->hasFill = true;
      rel->fillSeed = attr->fillSeed;
      continue;
    }
    for (int j = 0; j < n; ++j) {
      if (rel->columns[j].attr != attr) continue;
      src.cursor = std::min(src.cursor, j);
      if (rel->columns[j].advance != 1) continue;
      ++src.stride;
      if (j < i) ++src.offset;
    }
    if (attr->location == GEN_TEMP) {
      src.fromTemp = true;
      rel->anyTemp = true;
    } else {
      CHECK_ENSURE_TEXT(src.stride <= 1, "advances per row <= 1");
      src.base = attr->vector;
      if (attr->runWidth != 0) {
        CHECK_ENSURE_TEXT(rel->format->ReadsRunNumbers(), "run numbers read by the format");
        src.runs = attr;
      }
    }
  }
  rel->fillDraws = rel->hasFill ? Output_FillDraws(rel->sources[n - 1].constant) : 0;
}

// The next value of temporary-file column i, moving on when it advances.
std::int32_t NextTempValue(Relation* rel, int i) {
  const GenColumn& col = rel->columns[i];
  TempCursor& cursor = rel->cursors[rel->sources[i].cursor];
  if (cursor.pos >= cursor.count) cursor = TempCursor{0, ReadTempBuffer(col.attr)};
  const std::int32_t value = col.attr->buffer[cursor.pos];
  if (col.advance == 1) ++cursor.pos;
  return value;
}

// Reads the batch's values of the temporary-file columns, in row order.
void ReadTempValues(Relation* rel, Batch* batch) {
  if (!rel->anyTemp) return;
  const std::size_t perField = static_cast<std::size_t>(batch->valueRows);
  for (std::int32_t r = 0; r < batch->rows; ++r) {
    for (int i = 0; i < rel->nColumns; ++i) {
      if (!rel->sources[i].fromTemp) continue;
      batch->tempValues[i * perField + r] = NextTempValue(rel, i);
    }
  }
}

// The fields of the batch's first row for a format.
void BatchFields(const Relation& rel, const Batch& batch, OutputRowField* fields) {
  for (int i = 0; i < rel.nColumns; ++i) {
    const FieldSource& src = rel.sources[i];
    const GenColumn& col = rel.columns[i];
    OutputRowField& f = fields[i];
    f = OutputRowField{&src.constant, 0, col.kind, col.width};
    if (src.runs != nullptr) {
      const auto at = static_cast<std::size_t>(batch.firstRow) * src.stride + src.offset;
      const int width = src.runs->runWidth;
      f.values = nullptr;
      f.runs = OutputRuns{reinterpret_cast<const char*>(src.base) + at * width, width,
                          src.runs->runValues, src.runs->runCount};
      f.stride = src.stride;
    } else if (src.base != nullptr) {
      const auto at = static_cast<std::size_t>(batch.firstRow);
      f.values = src.base + at * src.stride + src.offset;
      f.stride = src.stride;
    } else if (src.fromTemp) {
      f.values = batch.tempValues + static_cast<std::size_t>(i) * batch.valueRows;
      f.stride = 1;
    }
  }
}

std::int32_t FillStateAt(const Relation& rel, std::int32_t row) {
  if (!rel.hasFill) return 1;
  return Ms_JumpAhead(rel.fillSeed, static_cast<std::uint64_t>(row) * rel.fillDraws);
}

// Formats the batch's rows into the chunk (safe on a worker thread);
// returns the rows complete in it.
std::int32_t FormatBatch(const Relation& rel, const Batch& batch, GenFormatChunk* chunk) {
  OutputRowField fields[kMaxColumns];
  BatchFields(rel, batch, fields);
  const GenChunkView view{fields, rel.nColumns, batch.firstRow, batch.rows,
                          FillStateAt(rel, batch.firstRow)};
  return chunk->Format(view);
}

// Writes `size` bytes that begin with row `firstRow`; on failure ends the
// relation through the write-failure path, naming the first row that was
// not completely written. While checking, hands them to the check instead,
// and returns false (rel->stopped set) when the check wants no more.
bool WriteBytes(Relation* rel, std::int32_t firstRow, const GenFormatChunk* chunk, const char* data,
                std::size_t size) {
  if (rel->check != nullptr) {
    rel->stopped = !rel->check->Take(data, size, firstRow, chunk);
    return !rel->stopped;
  }
  std::size_t written = 0;
  const int error = rel->file->Write(data, size, &written);
  if (error != 0) {
    WriteFailed(rel, firstRow + (chunk != nullptr ? chunk->RowsWithin(written) : 0), error);
  }
  return true;
}

// Writes the complete rows of the chunk. Returns false when the chunk had
// to stop short: the rows from rel->nextRow on are still to be written.
bool WriteChunk(Relation* rel, const Batch& batch, const GenFormatChunk& chunk,
                std::int32_t complete) {
  const std::uint64_t offset = rel->check != nullptr ? rel->check->offset() : rel->file->offset();
  if (!WriteBytes(rel, batch.firstRow, &chunk, chunk.data(), chunk.size())) return false;
  if (complete > 0 && !rel->format->Written(chunk, offset)) {
    rel->outOfMemory = true;
    return false;
  }
  rel->nextRow = batch.firstRow + complete;
  Progress_Rows(complete, chunk.size());
  return complete == batch.rows;
}

std::int32_t EndRow(const Relation& rel) { return rel.rows.first + rel.rows.count; }

// The rows of a chunk from `firstRow` on, at most `most`: for a format
// that aligns its chunks, up to the next multiple of `most`.
void SetBatchRows(const Relation& rel, Batch* batch, std::int32_t firstRow, std::int32_t most) {
  batch->firstRow = firstRow;
  const std::int32_t room = rel.format->AlignsChunks() ? most - firstRow % most : most;
  batch->rows = std::min(room, EndRow(rel) - firstRow);
}

// The first row of chunk c of the rows from `first` on, `most` to a chunk.
std::int32_t ChunkStart(const Relation& rel, std::int32_t first, std::int32_t c,
                        std::int32_t most) {
  if (c == 0 || !rel.format->AlignsChunks()) return first + c * most;
  return (first / most + c) * most;
}

// The number of chunks of the rows from `first` on.
std::int32_t ChunkCount(const Relation& rel, std::int32_t first, std::int32_t most) {
  const std::int32_t end = EndRow(rel);
  if (end <= first) return 0;
  if (!rel.format->AlignsChunks()) return (end - first + most - 1) / most;
  return (end - 1) / most - first / most + 1;
}

// The rows from rel->nextRow on through `chunk`, at most `most` at a time,
// on the calling thread. Returns false when the chunk stopped short.
bool WriteRowsThrough(Relation* rel, GenFormatChunk* chunk, Batch* batch, std::int32_t most) {
  SeekTempColumns(rel, rel->nextRow);
  while (rel->nextRow < EndRow(*rel)) {
    SetBatchRows(*rel, batch, rel->nextRow, most);
    ReadTempValues(rel, batch);
    if (!WriteChunk(rel, *batch, *chunk, FormatBatch(*rel, *batch, chunk))) return false;
  }
  return true;
}

// The reserved path: the format's reserved chunk and the values reserved
// with the program. False for a format without one: the relation cannot
// have the memory it needs.
bool WriteRowsReserved(Relation* rel) {
  Batch batch;
  batch.tempValues = fixedValues;
  batch.valueRows = kFixedRows;
  OutputRowField fields[kMaxColumns];
  BatchFields(*rel, batch, fields);
  std::int32_t most = 0;
  GenFormatChunk* chunk = rel->format->ReservedChunk(fields, rel->nColumns, &most);
  if (chunk == nullptr) return false;
  const bool done = WriteRowsThrough(rel, chunk, &batch, std::min(most, kFixedRows));
  if (rel->outOfMemory || rel->stopped) return false;
  CHECK_ENSURE_TEXT(done, "rows fit the reserved buffer");
  return true;
}

// One chunk at a time on the calling thread. Returns false when memory ran
// short; rel->nextRow tells where to go on.
bool WriteRowsInline(Relation* rel) {
  const std::int32_t most = rel->format->ChunkRows();
  std::unique_ptr<GenFormatChunk> chunk = rel->format->NewChunk();
  if (chunk == nullptr) return false;
  Batch batch;
  std::unique_ptr<std::int32_t, decltype(&std::free)> values{nullptr, &std::free};
  if (rel->anyTemp) {
    values.reset(static_cast<std::int32_t*>(
        Env_Reallocate(nullptr, sizeof(std::int32_t) * kMaxColumns * most)));
    if (values == nullptr) return false;
    batch.tempValues = values.get();
    batch.valueRows = most;
  }
  return WriteRowsThrough(rel, chunk.get(), &batch, most);
}

// A chunk of the ring and the rows it holds.
struct RingEntry {
  std::unique_ptr<GenFormatChunk> chunk;
  Batch batch;
  std::int32_t complete = 0;
};

// Waits for the chunk in `slot`, raises a worker's failure here, and writes
// the chunk. False when it had to stop short (a worker short of memory
// included: the rows go on with fewer threads).
bool DrainSlot(Relation* rel, GenOrderedPool* pool, const RingEntry& entry, int slot) {
  const GenStatus status = pool->WaitDone(slot);
  Gen_Replay(status);
  if (status.outOfMemory) return false;
  return WriteChunk(rel, entry.batch, *entry.chunk, entry.complete);
}

// Chunks formatted by a pool of workers, written in order. Returns false
// when memory ran short; rel->nextRow tells where to go on. Only columns in
// memory come here.
bool WriteRowsParallel(Relation* rel, int threads) {
  std::vector<RingEntry> ring;
  GenOrderedPool pool(threads, rel->format->RingChunks(threads), [&](int slot) {
    RingEntry& entry = ring[static_cast<std::size_t>(slot)];
    entry.complete = FormatBatch(*rel, entry.batch, entry.chunk.get());
  });
  // The ring is sized by the threads that could be started.
  if (pool.threads() == 0) return false;
  const int size = rel->format->RingChunks(pool.threads());
  ring.resize(static_cast<std::size_t>(size));
  for (RingEntry& entry : ring) {
    entry.chunk = rel->format->NewChunk();
    if (entry.chunk == nullptr) return false;
  }
  const std::int32_t most = rel->format->ChunkRows();
  const std::int32_t first = rel->nextRow;
  const std::int32_t nChunks = ChunkCount(*rel, first, most);
  std::int32_t nextWrite = 0;
  for (std::int32_t c = 0; c < nChunks; ++c) {
    if (c >= size) {
      const int slot = nextWrite % size;
      if (!DrainSlot(rel, &pool, ring[slot], slot)) return false;
      ++nextWrite;
    }
    SetBatchRows(*rel, &ring[c % size].batch, ChunkStart(*rel, first, c, most), most);
    pool.Submit(c % size);
  }
  for (; nextWrite < nChunks; ++nextWrite) {
    const int slot = nextWrite % size;
    if (!DrainSlot(rel, &pool, ring[slot], slot)) return false;
  }
  return true;
}

// All rows of the range: chunks on worker threads, one chunk at a time, or
// the reserved path, each going on where the one before had to stop. NoMemory
// when the format could not have the memory it needs, Stopped when the check wants no more.
Status WriteRows(Relation* rel) {
  // Columns in temporary files mean memory is short: one chunk at a time.
  const int threads = rel->cb->tempInUse ? 1 : Gen_Threads(rel->cb->threads);
  bool done = false;
  try {
    if (threads > 1 && rel->rows.count > rel->format->ChunkRows()) {
      done = WriteRowsParallel(rel, threads);
    }
    if (!done && !rel->outOfMemory && !rel->stopped) done = WriteRowsInline(rel);
  } catch (const std::bad_alloc&) {  // the library's: a chunk's vectors, the ring, the pool
  }
  if (!done && !rel->outOfMemory && !rel->stopped) done = WriteRowsReserved(rel);
  if (rel->stopped) return Status::Stopped();
  return done ? Status::Ok() : Status::NoMemory();
}

// Writes the format's bytes before or after the rows, at `row`; false when the check stops them.
bool WriteFraming(Relation* rel, const std::string& bytes, std::int32_t row) {
  return bytes.empty() || WriteBytes(rel, row, nullptr, bytes.data(), bytes.size());
}

void FinishRelation(Relation* rel) {
  Progress_End();
  const int error = rel->file->Close();
  if (error == 0) return;
  const Removal removal = rel->file->Remove();
  const std::string reason = rel->file->storeFailure();
  Gen_ExplainWriteFailure(EndRow(*rel), rel->rows.total, error, reason);
  Gen_ReportRemoval(removal);
  Gen_ExplainWriteFailureOnStderr(error, reason);
  XEPT_RAISE(XEPT_GEN_DISK_FULL);
}

// The writer's preconditions, checked in the operation called.
#define GEN_CHECK_WRITE_ARGS()                               \
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");           \
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");       \
  CHECK_REQUIRE_TEXT(relName != nullptr, "relName != NULL"); \
  CHECK_REQUIRE(rows.first >= 0 && rows.count >= 0);         \
  CHECK_REQUIRE(rows.count <= rows.total - rows.first)

// Writes the relation to a new file at `path`, or hands its bytes to `check` (touching no file).
Status WriteRelation(GenControlBlock* cb, const char* path, const char* relName,
                     std::span<const GenColumnSpec> columns, GenRows rows, GenFormat* format,
                     GenByteCheck* check, std::uint64_t* written = nullptr) {
  std::optional<RelationFile> file;
  if (check == nullptr) file.emplace(path, relName);
  Relation rel{};
  rel.cb = cb;
  rel.format = format;
  rel.file = file ? &*file : nullptr;
  rel.check = check;
  rel.rows = rows;
  rel.nextRow = rows.first;
  Progress_Rows(0, 0);
  try {
    BuildTable(&rel, columns);
    PlanSources(&rel);
    CheckTempSizes(rel);
    std::string end;
    Status status =
        WriteFraming(&rel, format->Begin(), rows.first) ? WriteRows(&rel) : Status::Stopped();
    if (status.ok() && !format->End(&end)) status = Status::NoMemory();
    if (status.ok() && !WriteFraming(&rel, end, EndRow(rel))) status = Status::Stopped();
    if (!status.ok()) {
      Progress_End();
      // No partial relation file is left behind for a loader to pick up.
      if (file) Gen_ReportRemoval(file->Remove());
      return status;
    }
  } catch (...) {  // a raise, or memory the library could not have
    Progress_End();
    if (file) Gen_ReportRemoval(file->Remove());
    throw;
  }
  if (check != nullptr) {
    Progress_End();
    return Status::Ok();
  }
  FinishRelation(&rel);
  if (written != nullptr) *written = file->offset();
  return Status::Ok();
}

}  // namespace

Status Gen_writeRelation(GenControlBlock* cb, const char* path, const char* relName,
                         std::span<const GenColumnSpec> columns, GenRows rows, GenFormat* format,
                         std::uint64_t* written) {
  GEN_CHECK_WRITE_ARGS();
  CHECK_REQUIRE_TEXT(format != nullptr, "format != NULL");
  return WriteRelation(cb, path, relName, columns, rows, format, nullptr, written);
}

Status Gen_checkRelation(GenControlBlock* cb, const char* relName,
                         std::span<const GenColumnSpec> columns, GenRows rows, GenFormat* format,
                         GenByteCheck* check) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(relName != nullptr, "relName != NULL");
  CHECK_REQUIRE(rows.first >= 0 && rows.count >= 0);
  CHECK_REQUIRE(rows.count <= rows.total - rows.first);
  CHECK_REQUIRE_TEXT(format != nullptr, "format != NULL");
  CHECK_REQUIRE_TEXT(check != nullptr, "check != NULL");
  // A check that wants no more bytes ends the relation as Stopped: no
  // more rows are made, and no file is touched either way.
  return WriteRelation(cb, "", relName, columns, rows, format, check);
}

// The comma-delimited text of the rows, the format every relation had
// before there were others.
Status Gen_outputRelation(GenControlBlock* cb, const char* path, const char* relName,
                          std::span<const GenColumnSpec> columns, GenRows rows) {
  GEN_CHECK_WRITE_ARGS();
  const std::unique_ptr<GenFormat> text = Gen_TextFormat(Output_MakeFormat(',', 0));
  return WriteRelation(cb, path, relName, columns, rows, text.get(), nullptr);
}

void Gen_getNextBuffer(GenAttr* attr) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  attr->bufCount = ReadTempBuffer(attr);
  attr->bufPos = 0;
}

}  // namespace zervgen
