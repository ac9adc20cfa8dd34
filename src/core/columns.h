// core/columns.h: the generation control block and column storage. One control block
// per run holds the row count, the fill width and eleven column slots; a
// slot keeps its values in a memory vector, in a temporary file, or holds
// none (the fill column). The relation writer is in run/writer.h, the
// relations in run/schemas.h.
#ifndef ZERVGEN_SRC_CORE_COLUMNS_H_
#define ZERVGEN_SRC_CORE_COLUMNS_H_

#include <cstddef>
#include <cstdint>

namespace zervgen {

enum GenLocation : std::int32_t { GEN_TEMP = 0, GEN_MEMORY = 1, GEN_FILL = 2 };

inline constexpr std::int32_t MIN_TUPLES = 100;
inline constexpr std::int32_t MAX_TUPLES = 100000000;
inline constexpr std::int16_t MAX_FILL_CHARS = 100;

// Bytes asked of each read of a temporary file: 512 values.
inline constexpr std::int16_t kTempBufferBytes = 2048;
// Longest temporary-file path kept for the signal handler.
inline constexpr std::size_t kTempPathMax = 1100;

// Storage of one column slot. Fields a kind does not use stay zero.
struct GenAttr {
  std::uint32_t inUse;
  std::int32_t* vector;    // GEN_MEMORY: own values; GEN_TEMP: the shared scratch vector
  std::int32_t location;   // GenLocation
  std::int32_t ownerTag;   // relation tag of the values held; 0 after set-up
  std::int32_t fd;         // GEN_TEMP: the temporary file
  std::int32_t readIndex;  // GEN_MEMORY: 0; each write keeps its own read position
  std::int32_t nFill;      // GEN_FILL: the fill width
  std::int32_t fillSeed;   // GEN_FILL: the relation's fill stream seed (Dist_Fill)
  char* fileName;          // GEN_TEMP: full path, owned
  std::int32_t* buffer;    // GEN_TEMP: read buffer of 2048 bytes, owned
  std::int16_t bufSize;    // GEN_TEMP: 2048
  // GEN_TEMP: position in and fill of the buffer for Gen_getNextBuffer's
  // callers (1 and 0 after set-up); the relation writer keeps its own.
  std::int16_t bufPos;
  std::int16_t bufCount;
  // The rows whose values the last shuffle settled, settledFrom up to
  // settledEnd; the others (outside a part's rows) hold no values of the
  // column.
  std::int32_t settledFrom;
  std::int32_t settledEnd;
  // GEN_MEMORY, a column of few values kept as its run numbers (see the
  // control block's keepRunNumbers): row r's number is the runWidth-byte
  // (1 or 2) unsigned integer at byte r * runWidth of the vector, its value
  // runValues[number], runCount distinct values, ascending. runWidth 0 and
  // runValues null when the vector holds the values.
  std::int32_t runWidth;
  std::int32_t runCount;
  std::int32_t* runValues;  // owned (new[])
};

inline constexpr int kGenSlots = 11;

// The run's control block; the run driver fills it with zero bytes before
// Gen_InitializeCB.
struct GenControlBlock {
  std::int32_t nTuples;
  std::uint32_t tempInUse;
  std::int16_t nFill;
  std::int32_t threads;  // worker threads the run asks for; 0 or less: one per core
  // Nonzero: a column whose vector cannot be had fails the set-up for want
  // of memory instead of going to a temporary file, and the run creates no
  // temporary file (a check of files). Zero, the default: it may.
  std::uint8_t noTempFiles;
  // Nonzero: a column of few values (its runs countable in one or two
  // bytes) may be kept as its run numbers instead of its values, for
  // formats that read them (the run's text and Parquet ones do). Zero, the
  // default: every column in memory holds its values.
  std::uint8_t keepRunNumbers;
  GenAttr keyAttr;
  GenAttr integerAttr;
  GenAttr signedAttr;
  GenAttr floatAttr;
  GenAttr doubleAttr;
  GenAttr decimalAttr;
  GenAttr dateAttr;
  GenAttr codeAttr;
  GenAttr nameAttr;
  GenAttr addressAttr;
  GenAttr fillAttr;
  std::int32_t* scratch;  // the shared vector while no slot owns it (owned)
};

// The slots in their fixed order (key .. fill).
GenAttr* Gen_Slot(GenControlBlock* cb, int index);

// Sets up all eleven slots: memory first, column by column, a temporary file
// where a column's vector cannot be had. Raises XEPT_GEN_FAILED (after
// explaining) when the shared vector, a buffer or a temporary file cannot be
// had.
//
// `writerBytes` is the memory the relation writer needs besides the columns,
// held while they take theirs so that a column goes to memory only when
// that much is left for the writer; when it cannot be held at all, every
// column goes to a temporary file and the writer has what there is. More
// memory then never turns a run that succeeds into one that fails. 0: the
// text writer's, which falls back on a buffer reserved with the program
// and needs only a little held back (taken when it can be had).
// REQUIRES: cb != NULL, MIN_TUPLES <= nTuples <= MAX_TUPLES,
//           0 <= nFill <= MAX_FILL_CHARS, tmpDir != NULL
void Gen_InitializeCB(GenControlBlock* cb, std::int32_t nTuples, std::int16_t nFill,
                      const char* tmpDir, std::size_t writerBytes = 0);

// Refuses, before any work, a temporary folder that can never take a file:
// its path leads to something else than a folder, through a file, or is
// too long. Tells it as the creation of the first temporary file would
// fail, and raises XEPT_GEN_FAILED. A folder that is not there is left to
// the moment a file is needed: a run whose columns fit in memory needs none.
// REQUIRES: tmpDir != NULL
void Gen_CheckTempFolder(const char* tmpDir);
// Sets up one slot: the fill column for a null `vector`; else the slot's
// own vector when `ownVector` allows one and it can be had (useShared:
// `vector` itself while no temporary file is in use), and otherwise a
// temporary file in `tempDir` named after `tempName`. Returns 0, or
// STATUS_ERROR after explaining.
std::int32_t Gen_initAttr(GenControlBlock* cb, GenAttr* attr, std::int32_t* vector, int useShared,
                          bool ownVector, const char* tempDir, const char* tempName);
std::int32_t Gen_initFill(GenAttr* attr, std::int16_t nFill);
std::int32_t Gen_initMemory(GenAttr* attr, std::int32_t* vector);
std::int32_t Gen_initTemp(GenControlBlock* cb, GenAttr* attr, std::int32_t* vector,
                          const char* tempDir, const char* tempName);

// Releases what the set-up gave the slot: its own vector, or its temporary
// file (closed and removed), path and read buffer. Harmless when repeated.
// REQUIRES: attr != NULL
void Gen_releaseAttr(GenAttr* attr);
// Forgets the slot's run numbers, if any: its vector is to hold values.
// REQUIRES: attr != NULL
void Gen_DropRunNumbers(GenAttr* attr);
// Releases the shared vector when no slot owns it. Harmless when repeated.
// REQUIRES: cb != NULL
void Gen_releaseScratch(GenControlBlock* cb);

// Memory of the column storage: every vector, path text and read buffer is
// had here, when the run's environment grants it (base/env.h). Returns null
// on failure; never throws.
void* Gen_Allocate(std::size_t bytes);
void Gen_Free(void* p);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_CORE_COLUMNS_H_
