// core/columns.cpp: the control block and column storage. Memory is preferred column
// by column; a column whose vector cannot be had goes to a temporary file.
#include "core/columns.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/env.h"
#include "base/except.h"
#include "base/report.h"
#include "base/signals.h"
#include "base/util.h"

namespace zervgen {
namespace {

// Large vectors are mapped on their own, 2 MiB aligned and marked for huge
// pages where the kernel offers them: filling one then takes a page fault
// per 2 MiB rather than per 4 KiB. The mappings are recorded so that
// Gen_Free can tell them from the heap's blocks. The record belongs to
// Gen_Allocate and Gen_Free, the process's allocator of column memory,
// whatever control block or thread asks; hence its lock.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
constexpr std::size_t kMappedMinBytes = std::size_t{8} << 20;
constexpr int kMaxMappings = 32;

struct Mapping {
  void* start;
  std::size_t bytes;
};

std::mutex mappingsLock;
Mapping mappings[kMaxMappings];  // start == nullptr: a free entry

std::size_t PageLength(std::size_t bytes) {
  constexpr std::size_t kPageBytes = 4096;
  return (bytes + kPageBytes - 1) & ~(kPageBytes - 1);
}

Mapping* FreeMappingEntry() {
  for (Mapping& m : mappings) {
    if (m.start == nullptr) return &m;
  }
  return nullptr;
}

// Maps `bytes` (rounded up to whole 4 KiB pages) at a 2 MiB boundary. The
// mapping is made 2 MiB longer and its unaligned head and tail are given
// back at once, so only the moment of mapping needs the extra room. Null
// when that room cannot be had.
void* MapAligned(std::size_t bytes) {
  std::size_t length = PageLength(bytes);
  std::size_t room = length + kHugePageBytes;
  void* raw = ::mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto first = reinterpret_cast<std::uintptr_t>(raw);
  std::uintptr_t start = (first + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  std::size_t head = start - first;
  if (head != 0) ::munmap(raw, head);
  if (room - head > length) ::munmap(reinterpret_cast<void*>(start + length), room - head - length);
  (void)::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);  // a hint only
  return reinterpret_cast<void*>(start);
}

// An ordinary heap block when a mapping cannot be had or recorded; null only
// when neither can be had.
void* DefaultAllocate(std::size_t bytes) {
  if (bytes >= kMappedMinBytes) {
    std::lock_guard<std::mutex> lock(mappingsLock);
    Mapping* entry = FreeMappingEntry();
    void* p = entry != nullptr ? MapAligned(bytes) : nullptr;
    if (p != nullptr) {
      *entry = Mapping{p, bytes};
      return p;
    }
  }
  return std::malloc(bytes);
}

// True when `p` was mapped by DefaultAllocate; it is then unmapped.
bool UnmapIfMapped(void* p) {
  std::lock_guard<std::mutex> lock(mappingsLock);
  for (Mapping& m : mappings) {
    if (m.start != p) continue;
    ::munmap(p, PageLength(m.bytes));
    m = Mapping{nullptr, 0};
    return true;
  }
  return false;
}

// Memory held back while the columns take what they can, so that the
// relation writer's buffer of one chunk of rows can still be had afterwards.
constexpr std::size_t kHeadroomBytes = std::size_t{2} << 20;

struct SlotName {
  GenAttr GenControlBlock::*slot;
  const char* tempName;
};

constexpr SlotName kColumnSlots[] = {
    {&GenControlBlock::keyAttr, "key"},       {&GenControlBlock::integerAttr, "integer"},
    {&GenControlBlock::signedAttr, "signed"}, {&GenControlBlock::floatAttr, "float"},
    {&GenControlBlock::doubleAttr, "double"}, {&GenControlBlock::decimalAttr, "decimal"},
    {&GenControlBlock::dateAttr, "date"},     {&GenControlBlock::codeAttr, "code"},
    {&GenControlBlock::nameAttr, "name"},
};

std::int32_t OutOfBufferMemory() {
  Report(
      "*** Error: Not enough memory to allocate internal buffers for the temporary\n\tfiles.  Increase swap and/or physical memory and try again.\n");
  std::fprintf(stderr, "%s: Out of memory.\n", programName);
  return STATUS_ERROR;
}

// The messages of a temporary file `path` whose creation failed with the
// errno `error`.
void TempFileError(const char* path, int error) {
  const char* reason = Util_OpenReason(error, "Could not open temporary file");
  const char* system = Util_SystemReason(error);
  Report(
      "*** Error: The temporary file, \"%s\", could not be created.\n\tThe reason given is: \"%s\".\n",
      path, reason);
  if (system != nullptr) Report("\tThe system says \"%s\".\n", system);
  std::fprintf(stderr, "%s: Temporary file error: \"%s\".\n", programName, reason);
  if (system != nullptr) std::fprintf(stderr, "\tThe system says \"%s\".\n", system);
}

}  // namespace

void Gen_CheckTempFolder(const char* tmpDir) {
  CHECK_REQUIRE_TEXT(tmpDir != nullptr, "tmpDir != NULL");
  struct stat st {};
  int error = 0;
  if (::stat(tmpDir, &st) == 0) {
    if (!S_ISDIR(st.st_mode)) error = ENOTDIR;
  } else if (errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP) {
    error = errno;
  }
  if (error == 0) return;
  const std::string path = std::string(tmpDir) + "/" + kColumnSlots[0].tempName + ".tmp";
  TempFileError(path.c_str(), error);
  XEPT_RAISE(XEPT_GEN_FAILED);
}

void* Gen_Allocate(std::size_t bytes) {
  if (!Env_Current()->MayAllocate(Env::Memory::kColumn, bytes)) return nullptr;
  return DefaultAllocate(bytes);
}
void Gen_Free(void* p) {
  if (p == nullptr || UnmapIfMapped(p)) return;
  std::free(p);
}

void Gen_releaseAttr(GenAttr* attr) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  SignalGuard guard;  // the file and its slot go away together
  if (attr->inUse == 0) return;
  switch (attr->location) {
    case GEN_TEMP:
      Gen_Free(attr->buffer);
      attr->buffer = nullptr;
      ::close(attr->fd);
      ::unlink(attr->fileName);
      Gen_Free(attr->fileName);
      attr->fileName = nullptr;
      break;
    case GEN_MEMORY:
      Gen_DropRunNumbers(attr);
      Gen_Free(attr->vector);
      attr->vector = nullptr;
      break;
    default:
      break;
  }
  attr->inUse = 0;
}

void Gen_DropRunNumbers(GenAttr* attr) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  delete[] attr->runValues;
  attr->runValues = nullptr;
  attr->runWidth = 0;
  attr->runCount = 0;
}

void Gen_releaseScratch(GenControlBlock* cb) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  Gen_Free(cb->scratch);
  cb->scratch = nullptr;
}

GenAttr* Gen_Slot(GenControlBlock* cb, int index) {
  static constexpr GenAttr GenControlBlock::*kSlots[kGenSlots] = {
      &GenControlBlock::keyAttr,     &GenControlBlock::integerAttr, &GenControlBlock::signedAttr,
      &GenControlBlock::floatAttr,   &GenControlBlock::doubleAttr,  &GenControlBlock::decimalAttr,
      &GenControlBlock::dateAttr,    &GenControlBlock::codeAttr,    &GenControlBlock::nameAttr,
      &GenControlBlock::addressAttr, &GenControlBlock::fillAttr};
  return &(cb->*kSlots[index]);
}

void Gen_InitializeCB(GenControlBlock* cb, std::int32_t nTuples, std::int16_t nFill,
                      const char* tmpDir, std::size_t writerBytes) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE(nTuples >= MIN_TUPLES);
  CHECK_REQUIRE(nTuples <= MAX_TUPLES);
  CHECK_REQUIRE(nFill >= 0);
  CHECK_REQUIRE(nFill <= MAX_FILL_CHARS);
  CHECK_REQUIRE_TEXT(tmpDir != nullptr, "tmpDir != NULL");
  cb->nTuples = nTuples;
  cb->nFill = nFill;
  cb->tempInUse = 0;
  auto* shared = static_cast<std::int32_t*>(
      Gen_Allocate(static_cast<std::size_t>(nTuples) * sizeof(std::int32_t)));
  if (shared == nullptr) {
    Report(
        "*** Error: Not enough memory to generate one column of the table.\n\t(The mininum needed).  Increase swap and/or physical memory\n\tand try again.\n");
    std::fprintf(stderr, "%s: Out of memory.\n", programName);
    XEPT_RAISE(XEPT_GEN_FAILED);
  }
  cb->scratch = shared;
  // The headroom, held while the columns are set up. A volatile pointer, so
  // that the compiler cannot drop an allocation that is never used.
  void* volatile heldHeadroom = nullptr;
  void* writerHeld = nullptr;
  // Decided here only: when the writer's memory cannot be held, no column
  // gets a vector of its own.
  bool ownVectors = true;
  if (writerBytes == 0) {
    heldHeadroom = std::malloc(kHeadroomBytes);
  } else {
    writerHeld = Gen_Allocate(writerBytes);
    ownVectors = writerHeld != nullptr;
  }
  std::int32_t status = 0;
  for (const SlotName& s : kColumnSlots) {
    status = Gen_initAttr(cb, &(cb->*s.slot), shared, 0, ownVectors, tmpDir, s.tempName);
    if (status != 0) break;
  }
  if (status == 0) {
    status = Gen_initAttr(cb, &cb->addressAttr, shared, 1, ownVectors, tmpDir, "address");
  }
  if (status == 0) status = Gen_initAttr(cb, &cb->fillAttr, nullptr, 0, ownVectors, tmpDir, "");
  std::free(heldHeadroom);
  Gen_Free(writerHeld);
  if (status != 0) XEPT_RAISE(XEPT_GEN_FAILED);
}

std::int32_t Gen_initAttr(GenControlBlock* cb, GenAttr* attr, std::int32_t* vector, int useShared,
                          bool ownVector, const char* tempDir, const char* tempName) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(tempDir != nullptr, "tempDir != NULL");
  CHECK_REQUIRE_TEXT(tempName != nullptr, "tempName != NULL");
  if (vector == nullptr) return Gen_initFill(attr, cb->nFill);
  if (useShared == 0) {
    auto* own = !ownVector ? nullptr
                           : static_cast<std::int32_t*>(Gen_Allocate(
                                 static_cast<std::size_t>(cb->nTuples) * sizeof(std::int32_t)));
    if (own != nullptr) return Gen_initMemory(attr, own);
    return Gen_initTemp(cb, attr, vector, tempDir, tempName);
  }
  if (cb->tempInUse == 0) {
    // The slot owns the shared vector from now on and releases it.
    if (vector == cb->scratch) cb->scratch = nullptr;
    return Gen_initMemory(attr, vector);
  }
  return Gen_initTemp(cb, attr, vector, tempDir, tempName);
}

std::int32_t Gen_initFill(GenAttr* attr, std::int16_t nFill) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  attr->vector = nullptr;
  attr->location = GEN_FILL;
  attr->ownerTag = 0;
  attr->nFill = nFill;
  attr->inUse = 1;
  return 0;
}

std::int32_t Gen_initMemory(GenAttr* attr, std::int32_t* vector) {
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(vector != nullptr, "vector != NULL");
  attr->vector = vector;
  attr->location = GEN_MEMORY;
  attr->ownerTag = 0;
  attr->readIndex = 0;
  attr->inUse = 1;
  return 0;
}

std::int32_t Gen_initTemp(GenControlBlock* cb, GenAttr* attr, std::int32_t* vector,
                          const char* tempDir, const char* tempName) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(attr != nullptr, "attr != NULL");
  CHECK_REQUIRE_TEXT(vector != nullptr, "vector != NULL");
  CHECK_REQUIRE_TEXT(tempDir != nullptr, "tempDir != NULL");
  CHECK_REQUIRE_TEXT(tempName != nullptr, "tempName != NULL");
  if (cb->noTempFiles != 0) {
    Report(
        "*** Error: Not enough memory to keep every column of the table in memory.\n\tIncrease swap and/or physical memory and try again.\n");
    std::fprintf(stderr, "%s: Out of memory.\n", programName);
    return STATUS_ERROR;
  }
  std::size_t pathSize = std::strlen(tempDir) + std::strlen(tempName) + std::strlen(".tmp") + 2;
  auto* path = static_cast<char*>(Gen_Allocate(pathSize));
  auto* buffer = static_cast<std::int32_t*>(Gen_Allocate(kTempBufferBytes));
  if (path == nullptr || buffer == nullptr) {
    Gen_Free(path);
    Gen_Free(buffer);
    return OutOfBufferMemory();
  }
  std::snprintf(path, pathSize, "%s/%s.tmp", tempDir, tempName);
  SignalGuard guard;  // the file and its slot come into being together
  UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) {
    TempFileError(path, errno);
    Gen_Free(path);
    Gen_Free(buffer);
    return STATUS_ERROR;
  }
  cb->tempInUse = 1;
  attr->vector = vector;
  attr->location = GEN_TEMP;
  attr->ownerTag = 0;
  // The slot owns the descriptor from here: the signal handler and the
  // cleanup close it through the zero-filled control block.
  attr->fd = fd.Release();
  attr->fileName = path;
  attr->buffer = buffer;
  attr->bufSize = kTempBufferBytes;
  attr->bufPos = 1;
  attr->bufCount = 0;
  attr->inUse = 1;
  return 0;
}

}  // namespace zervgen
