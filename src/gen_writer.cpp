// gen_writer.cpp: the relation writer. Rows are formatted in chunks of
// consecutive rows, on worker threads when more than one core is at hand,
// and written in row order by the calling thread. Every chunk starts the
// fill stream at its first row by jumping ahead, so the bytes are the same
// whatever the number of threads.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
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
// Room for a removal line: the leading text, a name and the longest reason.
constexpr std::size_t kRemovalNoteSize = 640;

// One entry of the column table.
struct GenColumn {
  GenAttr* attr;
  OutputWriter writer;
  int advance;
  std::int16_t width;
};

GenColumn attrs[kMaxColumns];
std::int16_t nAttr = 0;

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

// A chunk of rows on its way from the column storage to the output.
struct Chunk {
  std::int32_t firstRow = 0;
  std::int32_t rows = 0;
  std::vector<std::int32_t> tempValues;  // [field][row], fields from temporary files
  OutputStream text{-1, 1 << 20};  // grows when rows are long
};

// The relation being written: the output and everything the chunks share.
struct Relation {
  GenControlBlock* cb;
  GenRows rows;  // the rows written: [rows.first, rows.first + rows.count)
  const char* path;
  int fd;
  bool isFile;
  FieldSource sources[kMaxColumns];
  bool anyTemp;
  bool hasFill;
  std::int32_t fillStart;
  int fillDraws;
};

int OpenOutput(const char* path, const char* relName) {
  if (std::strcmp(path, "-") == 0) {
    std::fflush(stdout);
    // From here on standard output carries relation data: check lines go
    // to standard error, where a loader reading the pipe does not take them
    // for rows.
    Xept_SetCheckLinesToStderr(true);
    return STDOUT_FILENO;
  }
  SignalGuard guard;  // the file exists only together with its record
  int fd = -1;
  const char* reason = nullptr;
  Util_OpenFile(&fd, path, &reason);
  if (fd < 0) Gen_CannotCreateRelation(relName, path, reason);
  Main_SetRelationFile(fd, path);
  return fd;
}

// Closes a created relation file and removes it, when its name still leads
// to it, clearing the record; tells what became of it.
Removal RemoveOutput(Relation* rel) {
  if (!rel->isFile || rel->fd < 0) return Removal{RemovalOutcome::kNone, nullptr};
  SignalGuard guard;  // no signal between the record's end and the removal
  rel->fd = -1;
  return Signals_RemoveRelationFile();
}

// The report line of a removal: the file deleted, or why it was not.
void ReportRemoval(const Removal& removal) {
  char line[kRemovalNoteSize];
  const std::size_t len = Signals_RemovalNote(removal, line, sizeof line);
  if (len > 0) Report("%.*s", static_cast<int>(len), line);
}

[[noreturn]] void WriteFailed(Relation* rel, std::int32_t row, int error) {
  Progress_End();
  const Removal removal = RemoveOutput(rel);
  if (error == EPIPE) {
    // A reader that went away is no full disk: say it in the report only,
    // as other filters stay quiet about it.
    Report("*** Error: Output closed by its reader while writing tuple #%d of %ld.\n",
           row - rel->rows.first, static_cast<long>(rel->rows.count));
  } else {
    Report("*** Error: No disk space while writing tuple #%d of %ld.\n", row - rel->rows.first,
           static_cast<long>(rel->rows.count));
  }
  ReportRemoval(removal);
  // A reader that went away hears nothing more: its class line, which would
  // go to standard error while standard output carries the data, is left out.
  if (error == EPIPE) Xept_RaiseException(XEPT_GEN_DISK_FULL);
  std::fprintf(stderr, "%s: File system full.\n", programName);
  Xept_Raise(XEPT_GEN_DISK_FULL, __FILE__, kWriterName, __LINE__);
}

void BuildTable(std::span<const GenColumnSpec> columns) {
  nAttr = 0;
  for (const GenColumnSpec& spec : columns) {
    if (spec.attr == nullptr) break;
    CHECK_ENSURE_TEXT(nAttr < kMaxColumns, "nAttr <= sizeof(attrs)/sizeof(attrs[0])");
    GenColumn& col = attrs[nAttr++];
    col = GenColumn{spec.attr, spec.writer, spec.advance, static_cast<std::int16_t>(spec.width)};
    if (spec.attr->location == GEN_MEMORY) {
      spec.attr->readIndex = 0;
    }
  }
  if (nAttr >= 2) {
    CHECK_ENSURE_TEXT(attrs[nAttr - 1].attr->location == GEN_FILL,
                      "attrs[nAttr-1].attr->location == GEN_FILL");
    if (attrs[nAttr - 1].attr->nFill == 0) --nAttr;
  }
}

// Works out each field's source; memory slots are read by row index.
void PlanSources(Relation* rel) {
  rel->anyTemp = false;
  rel->hasFill = false;
  for (int i = 0; i < nAttr; ++i) {
    GenAttr* attr = attrs[i].attr;
    FieldSource& src = rel->sources[i];
    src = FieldSource{nullptr, 0, 0, 0, false};
    if (attr->location == GEN_FILL) {
      src.constant = attr->nFill;
      rel->hasFill = true;
      continue;
    }
    for (int j = 0; j < nAttr; ++j) {
      if (attrs[j].attr != attr || attrs[j].advance != 1) continue;
      ++src.stride;
      if (j < i) ++src.offset;
    }
    if (attr->location == GEN_TEMP) {
      // The file holds `stride` values per row: start at the first row's.
      src.fromTemp = true;
      rel->anyTemp = true;
      ::lseek(attr->fd, static_cast<off_t>(rel->rows.first) * src.stride * 4, SEEK_SET);
      attr->bufPos = 0;
      attr->bufCount = 0;
    } else {
      CHECK_ENSURE_TEXT(src.stride <= 1, "advances per row <= 1");
      src.base = attr->vector;
    }
  }
  rel->fillStart = Output_GetFillState();
  rel->fillDraws = rel->hasFill ? Output_FillDraws(rel->sources[nAttr - 1].constant) : 0;
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
  chunk->tempValues.resize(static_cast<std::size_t>(nAttr) * kRowsPerChunk);
  for (std::int32_t r = 0; r < chunk->rows; ++r) {
    for (int i = 0; i < nAttr; ++i) {
      if (!rel.sources[i].fromTemp) continue;
      chunk->tempValues[static_cast<std::size_t>(i) * kRowsPerChunk + r] = NextTempValue(attrs[i]);
    }
  }
}

// The chunk's fields for the row formatter: memory columns read from their
// vectors at the chunk's first row, temporary-file columns from the values
// read for the chunk, the fill width from its source.
void ChunkFields(const Relation& rel, const Chunk& chunk, OutputRowField* fields) {
  for (int i = 0; i < nAttr; ++i) {
    const FieldSource& src = rel.sources[i];
    OutputRowField& f = fields[i];
    f = OutputRowField{&src.constant, 0, attrs[i].writer, attrs[i].width};
    if (src.base != nullptr) {
      f.values = src.base + static_cast<std::size_t>(chunk.firstRow) * src.stride + src.offset;
      f.stride = src.stride;
    } else if (src.fromTemp) {
      f.values = chunk.tempValues.data() + static_cast<std::size_t>(i) * kRowsPerChunk;
      f.stride = 1;
    }
  }
}

// A chunk's text could not grow: the memory is gone.
[[noreturn]] void OutOfMemory() {
  Report("*** Error: Not enough memory to continue.\n");
  std::fprintf(stderr, "%s: Out of memory.\n", programName);
  Xept_Raise(XEPT_GEN_FAILED, __FILE__, kWriterName, __LINE__);
}

// Formats the chunk's rows into its text, which lives in memory: formatting
// fails only when the text cannot grow.
void FormatChunk(const Relation& rel, Chunk* chunk) {
  chunk->text.Clear();
  if (rel.hasFill) {
    Output_SetFillState(Ms_JumpAhead(
        rel.fillStart, static_cast<std::uint64_t>(chunk->firstRow) * rel.fillDraws));
  }
  OutputRowField fields[kMaxColumns];
  ChunkFields(rel, *chunk, fields);
  if (Output_Rows(&chunk->text, fields, nAttr, chunk->rows) != 0) OutOfMemory();
}

// Writes the chunk; on failure ends the relation through the full-disk path,
// naming the first row that was not completely written.
void WriteChunk(Relation* rel, const Chunk& chunk) {
  std::size_t written = 0;
  int error = Util_WriteAllCount(rel->fd, chunk.text.data(), chunk.text.size(), &written);
  if (error == 0) {
    Progress_Rows(chunk.rows, chunk.text.size());
    return;
  }
  const char* text = chunk.text.data();
  std::int32_t complete = static_cast<std::int32_t>(std::count(text, text + written, '\n'));
  WriteFailed(rel, chunk.firstRow + complete, error);
}

// Chunks start at the relation's first row written.
void SetChunkRows(Chunk* chunk, std::int32_t index, GenRows rows) {
  chunk->firstRow = rows.first + index * kRowsPerChunk;
  chunk->rows = std::min(kRowsPerChunk, rows.first + rows.count - chunk->firstRow);
}

void WriteRowsInline(Relation* rel) {
  Chunk chunk;
  const std::int32_t n = rel->rows.count;
  for (std::int32_t c = 0; c * kRowsPerChunk < n; ++c) {
    SetChunkRows(&chunk, c, rel->rows);
    ReadTempValues(*rel, &chunk);
    FormatChunk(*rel, &chunk);
    WriteChunk(rel, chunk);
  }
}

void WriteRowsParallel(Relation* rel, int threads) {
  const std::int32_t n = rel->rows.count;
  const std::int32_t nChunks = (n + kRowsPerChunk - 1) / kRowsPerChunk;
  std::vector<std::unique_ptr<Chunk>> chunks;
  GenOrderedPool pool(threads, 2 * threads + 2,
                      [&](int slot) { FormatChunk(*rel, chunks[slot].get()); });
  // The ring is sized by the threads that could be started; none: one chunk
  // at a time, leaving the memory to it.
  if (pool.threads() == 0) {
    WriteRowsInline(rel);
    return;
  }
  const int ring = 2 * pool.threads() + 2;
  chunks.resize(static_cast<std::size_t>(ring));
  for (auto& c : chunks) {
    c = std::make_unique<Chunk>();
    if (c->text.error() != 0) {  // short of memory: one chunk at a time
      chunks.clear();
      WriteRowsInline(rel);
      return;
    }
  }
  std::int32_t nextWrite = 0;
  for (std::int32_t c = 0; c < nChunks; ++c) {
    if (c >= ring) {
      pool.WaitDone(nextWrite % ring);
      WriteChunk(rel, *chunks[nextWrite % ring]);
      ++nextWrite;
    }
    Chunk* chunk = chunks[c % ring].get();
    SetChunkRows(chunk, c, rel->rows);
    ReadTempValues(*rel, chunk);
    pool.Submit(c % ring);
  }
  for (; nextWrite < nChunks; ++nextWrite) {
    pool.WaitDone(nextWrite % ring);
    WriteChunk(rel, *chunks[nextWrite % ring]);
  }
}

// Leaves the read positions after the last row written and the fill stream
// after the relation's last row, whatever part was written.
void FinishRelation(Relation* rel) {
  Progress_End();
  const std::int32_t n = rel->rows.count;
  const std::int32_t end = rel->rows.first + n;
  for (int i = 0; i < nAttr; ++i) {
    if (rel->sources[i].base != nullptr) attrs[i].attr->readIndex = end * rel->sources[i].stride;
  }
  if (rel->hasFill) {
    Output_SetFillState(
        Ms_JumpAhead(rel->fillStart, static_cast<std::uint64_t>(rel->rows.total) * rel->fillDraws));
  }
  if (!rel->isFile) return;
  int error = 0;
  Removal removal{RemovalOutcome::kNone, nullptr};
  {
    SignalGuard guard;
    error = Signals_CloseRelationFile();
    if (error != 0) removal = Signals_RemoveRelationFile();
    rel->fd = -1;
  }
  if (error != 0) {
    rel->isFile = false;
    Report("*** Error: No disk space while writing tuple #%d of %ld.\n", n, static_cast<long>(n));
    ReportRemoval(removal);
    if (error != EPIPE) std::fprintf(stderr, "%s: File system full.\n", programName);
    XEPT_RAISE(XEPT_GEN_DISK_FULL);
  }
}

}  // namespace

void Gen_outputRelation(GenControlBlock* cb, const char* path, const char* relName,
                        std::span<const GenColumnSpec> columns, GenRows rows) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(path != nullptr, "path != NULL");
  CHECK_REQUIRE_TEXT(relName != nullptr, "relName != NULL");
  CHECK_REQUIRE(rows.first >= 0 && rows.count >= 0 && rows.count <= rows.total - rows.first);
  Relation rel{};
  rel.cb = cb;
  rel.rows = rows;
  rel.path = path;
  rel.fd = OpenOutput(path, relName);
  rel.isFile = rel.fd != STDOUT_FILENO;
  BuildTable(columns);
  PlanSources(&rel);
  Progress_Rows(0, 0);
  try {
    try {
      // Columns in temporary files mean memory is short: one chunk at a time.
      int threads = cb->tempInUse ? 1 : Gen_Threads();
      if (threads <= 1 || rows.count <= kRowsPerChunk) {
        WriteRowsInline(&rel);
      } else {
        WriteRowsParallel(&rel, threads);
      }
    } catch (const std::bad_alloc&) {
      OutOfMemory();  // a chunk's values or the pool could not be had
    }
  } catch (const XeptRaised&) {
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
  if (got <= 0) {
    Report("*** ERROR: Unexpected error while reading temporary file,\n\t\"%s\".\n",
           attr->fileName);
    std::fprintf(stderr, "%s: Temporary file read error.\n", programName);
    XEPT_RAISE(XEPT_GEN_FAILED);
  }
  attr->bufCount = static_cast<std::int16_t>(got / 4);
  attr->bufPos = 0;
}

}  // namespace zervgen
