// gen_writer.cpp: the relation writer. Rows are formatted in chunks of
// consecutive rows, on worker threads when more than one core is at hand,
// and written in row order by the calling thread. Every chunk starts the
// fill stream at its first row by jumping ahead, so the bytes are the same
// whatever the number of threads. When memory for chunks or threads cannot
// be had, the remaining rows are formatted a few at a time into a buffer
// reserved with the program, on the calling thread: memory never fails a
// relation once its columns have storage.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "except.h"
#include "gen.h"
#include "gen_pool.h"
#include "progress.h"
#include "random.h"
#include "report.h"
#include "signals.h"
#include "util.h"

namespace zervgen {
namespace {

constexpr int kMaxColumns = 12;
// The operation named in the location lines of the writer's raises.
constexpr const char* kWriterName = "Gen_outputRelation";
constexpr std::int32_t kRowsPerChunk = 4096;
// Rows the reserved path reads from temporary files at a time, and its text
// buffer: room for many rows of the widest kind (12 fields of 228 bytes).
constexpr std::int32_t kFixedRows = 256;
constexpr std::size_t kFixedTextBytes = std::size_t{64} << 10;
// Room for a removal line: the leading text, a name and the longest reason.
constexpr std::size_t kRemovalNoteSize = 640;

// The reserved path's buffers: part of the program image, so they are
// there whatever the memory left. Used by the main thread only.
char fixedText[kFixedTextBytes];
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
};

// The relation being written: its rows, its column table, the output and
// everything the chunks share.
struct Relation {
  GenControlBlock* cb;
  const char* path;
  UniqueFd file;  // the relation file; closed for standard output
  int fd;         // where rows go: the file, or standard output
  GenRows rows;
  GenColumn columns[kMaxColumns];
  int nColumns;
  FieldSource sources[kMaxColumns];
  bool anyTemp;
  bool hasFill;
  std::int32_t fillSeed;  // the fill state at row 0
  int fillDraws;          // fill draws per row
  std::int32_t nextRow;   // the first row not yet written
  OutputFormat format;    // the framing, taken before any worker starts
};

// Rows [firstRow, firstRow + rows) on their way from the column storage to
// the output. `tempValues` holds the temporary-file values, [field][row]
// with `valueRows` rows per field.
struct Chunk {
  std::int32_t firstRow = 0;
  std::int32_t rows = 0;
  std::int32_t* tempValues = nullptr;
  std::int32_t valueRows = 0;
  bool complete = false;  // formatting had all the memory it needed
  OutputStream* text = nullptr;
  OutputFieldCaches* caches = nullptr;  // none: every field formatted anew
};

// A chunk whose memory is its own (through the allocation seam).
struct OwnedChunk {
  Chunk chunk;
  OutputStream stream{-1, 1 << 20};  // grows when rows are long
  std::unique_ptr<std::int32_t, decltype(&std::free)> values{nullptr, &std::free};
  OutputFieldCaches caches;  // its tables live as long as the chunk

  // False when its memory cannot be had.
  bool Init(bool anyTemp) {
    chunk.text = &stream;
    chunk.caches = &caches;
    if (stream.error() != 0) return false;
    if (!anyTemp) return true;
    values.reset(static_cast<std::int32_t*>(
        Output_Reallocate(nullptr, sizeof(std::int32_t) * kMaxColumns * kRowsPerChunk)));
    chunk.tempValues = values.get();
    chunk.valueRows = kRowsPerChunk;
    return values != nullptr;
  }
};

// Creates the relation file (recorded for the signal handler); nothing for
// standard output ("-").
UniqueFd OpenOutput(const char* path, const char* relName) {
  if (std::strcmp(path, "-") == 0) {
    std::fflush(stdout);
    // From here on standard output carries relation data: check lines go
    // to standard error, where a loader reading the pipe does not take them
    // for rows.
    Xept_SetCheckLinesToStderr(true);
    return UniqueFd();
  }
  SignalGuard guard;  // the file exists only together with its record
  int fd = -1;
  const char* reason = nullptr;
  Util_OpenFile(&fd, path, &reason);
  if (fd < 0) Gen_CannotCreateRelation(relName, path, reason);
  Main_SetRelationFile(fd, path);
  return UniqueFd(fd);
}

// Closes a created relation file and removes it, when its name still leads
// to it, clearing the record; tells what became of it. The record closes
// the descriptor, so the relation gives it up first.
Removal RemoveOutput(Relation* rel) {
  if (!rel->file) return Removal{RemovalOutcome::kNone, nullptr};
  SignalGuard guard;  // no signal between the record's end and the removal
  (void)rel->file.Release();
  return Signals_RemoveRelationFile();
}

// The report line of a removal: the file deleted, or why it was not.
void ReportRemoval(const Removal& removal) {
  char line[kRemovalNoteSize];
  const std::size_t len = Signals_RemovalNote(removal, line, sizeof line);
  if (len > 0) Report("%.*s", static_cast<int>(len), line);
}

// A full disk (or quota, or file-size limit) is told as such; a reader
// that went away only in the report, as other filters stay quiet about it;
// any other failure with the system's own reason.
void ExplainWriteFailure(std::int32_t row, std::int32_t total, int error) {
  const long n = static_cast<long>(total);
  if (error == EPIPE) {
    Report("*** Error: Output closed by its reader while writing tuple #%d of %ld.\n", row, n);
  } else if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
    Report("*** Error: No disk space while writing tuple #%d of %ld.\n", row, n);
  } else {
    Report("*** Error: Write error while writing tuple #%d of %ld.\n\tThe reason given is \"%s\".\n",
           row, n, std::strerror(error));
  }
}

void ExplainWriteFailureOnStderr(int error) {
  if (error == EPIPE) return;
  if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
    std::fprintf(stderr, "%s: File system full.\n", programName);
  } else {
    std::fprintf(stderr, "%s: Write error: \"%s\".\n", programName, std::strerror(error));
  }
}

[[noreturn]] void WriteFailed(Relation* rel, std::int32_t row, int error) {
  Progress_End();
  const Removal removal = RemoveOutput(rel);
  ExplainWriteFailure(row, rel->rows.total, error);
  ReportRemoval(removal);
  // A reader that went away hears nothing more: its class line, which would
  // go to standard error while standard output carries the data, is left out.
  if (error == EPIPE) Xept_RaiseException(XEPT_GEN_DISK_FULL);
  ExplainWriteFailureOnStderr(error);
  Xept_Raise(XEPT_GEN_DISK_FULL, __FILE__, kWriterName, __LINE__);
}

// The read failure of a temporary-file column; its location line names the
// operation that reads the columns back.
[[noreturn]] void TempReadFailed(const GenAttr* attr) {
  Report("*** ERROR: Unexpected error while reading temporary file,\n\t\"%s\".\n",
         attr->fileName);
  std::fprintf(stderr, "%s: Temporary file read error.\n", programName);
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, "Gen_getNextBuffer", __LINE__);
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
    attr->bufPos = 0;
    attr->bufCount = 0;
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
    const bool whole = st.st_size % 4 == 0 && (values == rel.rows.total || values == rel.cb->nTuples);
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
    src = FieldSource{nullptr, 0, 0, 0, false};
    if (attr->location == GEN_FILL) {
      src.constant = attr->nFill;
      rel->hasFill = true;
      rel->fillSeed = attr->fillSeed;
      continue;
    }
    for (int j = 0; j < n; ++j) {
      if (rel->columns[j].attr != attr || rel->columns[j].advance != 1) continue;
      ++src.stride;
      if (j < i) ++src.offset;
    }
    if (attr->location == GEN_TEMP) {
      src.fromTemp = true;
      rel->anyTemp = true;
    } else {
      CHECK_ENSURE_TEXT(src.stride <= 1, "advances per row <= 1");
      src.base = attr->vector;
    }
  }
  rel->fillDraws = rel->hasFill ? Output_FillDraws(rel->sources[n - 1].constant) : 0;
}

// The next value of a temporary-file column, moving on when `advance` is 1.
std::int32_t NextTempValue(const GenColumn& col) {
  GenAttr* attr = col.attr;
  if (attr->bufPos >= attr->bufCount) Gen_getNextBuffer(attr);
  std::int32_t value = attr->buffer[attr->bufPos];
  if (col.advance == 1) ++attr->bufPos;
  return value;
}

// Reads the chunk's values of the temporary-file columns, in row order.
void ReadTempValues(const Relation& rel, Chunk* chunk) {
  if (!rel.anyTemp) return;
  const std::size_t perField = static_cast<std::size_t>(chunk->valueRows);
  for (std::int32_t r = 0; r < chunk->rows; ++r) {
    for (int i = 0; i < rel.nColumns; ++i) {
      if (!rel.sources[i].fromTemp) continue;
      chunk->tempValues[i * perField + r] = NextTempValue(rel.columns[i]);
    }
  }
}

// The fields of the chunk's row `row` (relative to the chunk's first row)
// for the row formatter.
void ChunkFields(const Relation& rel, const Chunk& chunk, std::int32_t row,
                 OutputRowField* fields) {
  for (int i = 0; i < rel.nColumns; ++i) {
    const FieldSource& src = rel.sources[i];
    const GenColumn& col = rel.columns[i];
    OutputRowField& f = fields[i];
    f = OutputRowField{&src.constant, 0, col.kind, col.width};
    if (src.base != nullptr) {
      const std::size_t at = static_cast<std::size_t>(chunk.firstRow) + row;
      f.values = src.base + at * src.stride + src.offset;
      f.stride = src.stride;
    } else if (src.fromTemp) {
      f.values = chunk.tempValues + static_cast<std::size_t>(i) * chunk.valueRows + row;
      f.stride = 1;
    }
  }
}

std::int32_t FillStateAt(const Relation& rel, std::int32_t row) {
  return Ms_JumpAhead(rel.fillSeed, static_cast<std::uint64_t>(row) * rel.fillDraws);
}

// Formats the chunk's rows into its text (safe on a worker thread). The
// chunk is complete unless its text could not grow.
void FormatChunk(const Relation& rel, Chunk* chunk) {
  chunk->text->Clear();
  std::int32_t fill = rel.hasFill ? FillStateAt(rel, chunk->firstRow) : 1;
  OutputRowField fields[kMaxColumns];
  ChunkFields(rel, *chunk, 0, fields);
  chunk->complete = Output_Rows(chunk->text, rel.format, fields, rel.nColumns, chunk->rows, &fill,
                                chunk->caches) == 0;
}

// Writes `size` bytes of complete rows from row `firstRow` on; on failure
// ends the relation through the write-failure path, naming the first row
// that was not completely written.
void WriteText(Relation* rel, std::int32_t firstRow, const char* text, std::size_t size) {
  std::size_t written = 0;
  int error = Util_WriteAllCount(rel->fd, text, size, &written);
  if (error != 0) {
    auto complete = static_cast<std::int32_t>(std::count(text, text + written, '\n'));
    WriteFailed(rel, firstRow + complete, error);
  }
}

// Writes the complete rows of the chunk. Returns false when the chunk had
// to stop short: the rows from rel->nextRow on are still to be written.
bool WriteChunk(Relation* rel, const Chunk& chunk) {
  const char* text = chunk.text->data();
  std::int32_t rows = chunk.rows;
  if (!chunk.complete) {
    rows = static_cast<std::int32_t>(std::count(text, text + chunk.text->size(), '\n'));
  }
  WriteText(rel, chunk.firstRow, text, chunk.text->size());
  rel->nextRow = chunk.firstRow + rows;
  Progress_Rows(rows, chunk.text->size());
  return chunk.complete;
}

std::int32_t EndRow(const Relation& rel) { return rel.rows.first + rel.rows.count; }

void SetChunkRows(const Relation& rel, Chunk* chunk, std::int32_t firstRow, std::int32_t most) {
  chunk->firstRow = firstRow;
  chunk->rows = std::min(most, EndRow(rel) - firstRow);
}

// The reserved path: the rows from rel->nextRow on, kFixedRows at a time,
// as many as surely fit into the reserved text buffer per format call.
void WriteRowsReserved(Relation* rel) {
  SeekTempColumns(rel, rel->nextRow);
  OutputStream stream(fixedText, kFixedTextBytes);
  Chunk batch;
  batch.tempValues = fixedValues;
  batch.valueRows = kFixedRows;
  OutputRowField fields[kMaxColumns];
  while (rel->nextRow < EndRow(*rel)) {
    SetChunkRows(*rel, &batch, rel->nextRow, kFixedRows);
    ReadTempValues(*rel, &batch);
    std::int32_t fill = rel->hasFill ? FillStateAt(*rel, batch.firstRow) : 1;
    ChunkFields(*rel, batch, 0, fields);
    const std::size_t bound = Output_RowBound(fields, rel->nColumns);
    CHECK_ENSURE_TEXT(bound <= kFixedTextBytes, "row bound <= reserved buffer");
    std::int32_t textFirst = batch.firstRow;  // the first row in the text
    std::size_t bytes = 0;                     // of the batch, written so far
    for (std::int32_t done = 0; done < batch.rows;) {
      const std::size_t fit = std::min<std::size_t>(stream.room() / bound, batch.rows - done);
      if (fit == 0) {
        WriteText(rel, textFirst, stream.data(), stream.size());
        bytes += stream.size();
        stream.Clear();
        textFirst = batch.firstRow + done;
        continue;
      }
      ChunkFields(*rel, batch, done, fields);
      const auto rows = static_cast<std::int32_t>(fit);
      const int status = Output_Rows(&stream, rel->format, fields, rel->nColumns, rows, &fill);
      CHECK_ENSURE_TEXT(status == 0, "rows fit the reserved buffer");
      done += rows;
    }
    WriteText(rel, textFirst, stream.data(), stream.size());
    Progress_Rows(batch.rows, bytes + stream.size());
    stream.Clear();
    rel->nextRow = batch.firstRow + batch.rows;
  }
}

// One chunk at a time on the calling thread. Returns false when memory ran
// short; rel->nextRow tells where to go on.
bool WriteRowsInline(Relation* rel) {
  SeekTempColumns(rel, rel->nextRow);
  OwnedChunk owned;
  if (!owned.Init(rel->anyTemp)) return false;
  Chunk* chunk = &owned.chunk;
  while (rel->nextRow < EndRow(*rel)) {
    SetChunkRows(*rel, chunk, rel->nextRow, kRowsPerChunk);
    ReadTempValues(*rel, chunk);
    FormatChunk(*rel, chunk);
    if (!WriteChunk(rel, *chunk)) return false;
  }
  return true;
}

// Waits for the chunk in `slot`, raises a worker's failure here, and writes
// the chunk. False when it had to stop short.
bool DrainSlot(Relation* rel, GenOrderedPool* pool, const Chunk& chunk, int slot) {
  Gen_Replay(pool->WaitDone(slot));
  return WriteChunk(rel, chunk);
}

// Chunks formatted by a pool of workers, written in order. Returns false
// when memory ran short; rel->nextRow tells where to go on.
bool WriteRowsParallel(Relation* rel, int threads) {
  std::vector<std::unique_ptr<OwnedChunk>> chunks;
  GenOrderedPool pool(threads, 2 * threads + 2,
                      [&](int slot) { FormatChunk(*rel, &chunks[slot]->chunk); });
  // The ring is sized by the threads that could be started.
  if (pool.threads() == 0) return false;
  const int ring = 2 * pool.threads() + 2;
  chunks.resize(static_cast<std::size_t>(ring));
  for (auto& c : chunks) {
    c = std::make_unique<OwnedChunk>();
    if (!c->Init(false)) return false;
  }
  const std::int32_t first = rel->nextRow;
  const std::int32_t nChunks = (EndRow(*rel) - first + kRowsPerChunk - 1) / kRowsPerChunk;
  std::int32_t nextWrite = 0;
  for (std::int32_t c = 0; c < nChunks; ++c) {
    if (c >= ring) {
      const int slot = nextWrite % ring;
      if (!DrainSlot(rel, &pool, chunks[slot]->chunk, slot)) return false;
      ++nextWrite;
    }
    SetChunkRows(*rel, &chunks[c % ring]->chunk, first + c * kRowsPerChunk, kRowsPerChunk);
    pool.Submit(c % ring);
  }
  for (; nextWrite < nChunks; ++nextWrite) {
    const int slot = nextWrite % ring;
    if (!DrainSlot(rel, &pool, chunks[slot]->chunk, slot)) return false;
  }
  return true;
}

// All rows of the range: chunks on worker threads, one chunk at a time, or
// the reserved path, each going on where the one before had to stop.
void WriteRows(Relation* rel) {
  // Columns in temporary files mean memory is short: one chunk at a time.
  const int threads = rel->cb->tempInUse ? 1 : Gen_Threads();
  bool done = false;
  try {
    if (threads > 1 && rel->rows.count > kRowsPerChunk) done = WriteRowsParallel(rel, threads);
    if (!done) done = WriteRowsInline(rel);
  } catch (const std::bad_alloc&) {  // a chunk, its list or the pool
  }
  if (!done) WriteRowsReserved(rel);
}

void FinishRelation(Relation* rel) {
  Progress_End();
  const std::int32_t end = EndRow(*rel);
  for (int i = 0; i < rel->nColumns; ++i) {
    GenAttr* attr = rel->columns[i].attr;
    if (rel->sources[i].base != nullptr) attr->readIndex = end * rel->sources[i].stride;
  }
  if (!rel->file) return;
  int error = 0;
  Removal removal{RemovalOutcome::kNone, nullptr};
  {
    SignalGuard guard;
    (void)rel->file.Release();  // the record closes it
    error = Signals_CloseRelationFile();
    if (error != 0) removal = Signals_RemoveRelationFile();
  }
  if (error != 0) {
    ExplainWriteFailure(end, rel->rows.total, error);
    ReportRemoval(removal);
    ExplainWriteFailureOnStderr(error);
    XEPT_RAISE(XEPT_GEN_DISK_FULL);
  }
}

}  // namespace

void Gen_outputRelation(GenControlBlock* cb, const char* path, const char* relName,
                        std::span<const GenColumnSpec> columns, GenRows rows) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");
  CHECK_REQUIRE_TEXT(relName != nullptr, "relName != NULL");
  CHECK_REQUIRE(rows.first >= 0 && rows.count >= 0);
  CHECK_REQUIRE(rows.count <= rows.total - rows.first);
  Relation rel{};
  rel.cb = cb;
  rel.path = path;
  rel.rows = rows;
  rel.nextRow = rows.first;
  rel.format = Output_CurrentFormat();
  rel.file = OpenOutput(path, relName);
  rel.fd = rel.file ? rel.file.get() : STDOUT_FILENO;
  Progress_Rows(0, 0);
  try {
    BuildTable(&rel, columns);
    PlanSources(&rel);
    CheckTempSizes(rel);
    WriteRows(&rel);
  } catch (...) {  // a raise, or memory the run could not do without
    Progress_End();
    // No partial relation file is left behind for a loader to pick up.
    ReportRemoval(RemoveOutput(&rel));
    throw;
  }
  FinishRelation(&rel);
}

void Gen_getNextBuffer(GenAttr* attr) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  ssize_t got;
  do {
    got = ::read(attr->fd, attr->buffer, static_cast<std::size_t>(attr->bufSize));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) TempReadFailed(attr);
  attr->bufCount = static_cast<std::int16_t>(got / 4);
  attr->bufPos = 0;
}

}  // namespace zervgen
