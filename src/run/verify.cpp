// verify.cpp: -verify's driver. Each file of a relation is opened and
// checked by a FileCheck (file_check.h) while the writer makes its bytes;
// its verdict is told in a human line or a JSON object.
#include "run/verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/except.h"
#include "base/json.h"
#include "base/util.h"
#include "run/verify_parquet.h"
#include "run/writer.h"
#include "store/object_reader.h"
#include "store/s3_config.h"

namespace zervgen {
namespace {

// How a file's check ended.
struct Verdict {
  // kReadFails: opened, but a read or the decompression failed on the way.
  enum Kind { kOk, kMissing, kUnreadable, kDiffers, kReadFails } kind;
  std::string detail;  // kUnreadable, kReadFails: why; kDiffers: where and how
  // kOk: the file's bytes are the run's, every one (kExact), or its content
  // in other bytes (kSameContent); kTextOnly for compressed text, whose
  // text is compared rather than its compressed bytes.
  enum Bytes { kExact, kSameContent, kTextOnly } bytes = kExact;
  // An object's size and ETag when the store told them as it was opened.
  std::optional<StoreObjectHead> object{};
};

// The line of one file: its name with every byte that could make it read
// as another line escaped, and the verdict.
std::string HumanLine(const GenFilePlan& file, const Verdict& v) {
  std::string verdict;
  switch (v.kind) {
    case Verdict::kOk:
      verdict = "OK (" + Util_Decimal(static_cast<std::uint64_t>(file.rows.count)) +
                (file.rows.count == 1 ? " row" : " rows") +
                (v.bytes == Verdict::kSameContent ? "; the same content in other bytes)" : ")");
      break;
    case Verdict::kMissing:
      verdict = "FAILED: missing";
      break;
    case Verdict::kUnreadable:
      verdict = "FAILED: cannot be read: " + v.detail;
      break;
    case Verdict::kDiffers:
    case Verdict::kReadFails:
      verdict = "FAILED: " + v.detail;
      break;
  }
  return Util_Escaped(file.path.data(), file.path.size(), false) + ": " + verdict + "\n";
}

std::string JsonLine(const GenFilePlan& file, const char* relName, const Verdict& v) {
  static const char* const kFailures[] = {nullptr, "missing", "unreadable", "differs",
                                          "unreadable"};
  JsonWriter j;
  j.BeginObject();
  j.Key("zervgen_verify").Int(1);
  j.Key("relation").String(relName);
  j.Key("path").String(file.path);
  j.Key("part");
  file.part != 0 ? j.Int(file.part) : j.Null();
  j.Key("first_row").Int(file.rows.first);
  j.Key("rows").Int(file.rows.count);
  j.Key("ok").Bool(v.kind == Verdict::kOk);
  j.Key("failure").StringOrNull(kFailures[v.kind]);
  j.Key("detail").StringOrNull(v.detail.empty() ? nullptr : v.detail.c_str());
  j.Key("exact");
  v.kind == Verdict::kOk&& v.bytes != Verdict::kTextOnly ? j.Bool(v.bytes == Verdict::kExact)
                                                         : j.Null();
  // An object's size and ETag, by which a tool knows it later: null when
  // it is not there or the store told none.
  if (S3_IsObjectName(file.path)) {
    j.Key("size");
    v.object ? j.Int(static_cast<long long>(v.object->size)) : j.Null();
    j.Key("etag").StringOrNull(v.object ? v.object->etag.c_str() : nullptr);
  }
  j.EndObject();
  return j.text() + "\n";
}

// Prints the line of one file and counts it.
void Tell(const GenFilePlan& file, const char* relName, const Verdict& v, GenVerifyTally* tally) {
  const std::string line = tally->json ? JsonLine(file, relName, v) : HumanLine(file, v);
  errno = 0;
  if ((std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0) &&
      tally->outputError == 0) {
    tally->outputError = errno != 0 ? errno : EIO;
  }
  ++tally->files;
  if (v.kind != Verdict::kOk) ++tally->failed;
}

// Opens the file to check (standard input for "-"): NotFound when it is not
// there, IoError when it cannot be opened. Only a regular file or a block
// device is read (a folder fails at its first read): opened without
// blocking, so that a FIFO without a writer, a socket or a terminal cannot hold the check.
// An object ("s3://...") is only asked for here (HEAD); VerifyFile fetches it.
Status OpenToCheck(const GenFilePlan& file, UniqueFd* fd) {
  if (file.path == "-") return Status::Ok();
  if (S3_IsObjectName(file.path)) return Store_ObjectExists(file.path);
  UniqueFd own(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!own)
    return errno == ENOENT ? Status::NotFound(file.path) : Status::IoError(file.path, {}, errno);
  struct stat st {};
  if (::fstat(own.get(), &st) != 0) return Status::IoError(file.path, {}, errno);
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return Status::IoError(file.path, "not a regular file");
  }
  const int flags = ::fcntl(own.get(), F_GETFL);
  if (flags < 0 || ::fcntl(own.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Status::IoError(file.path, {}, errno);
  }
  (void)::posix_fadvise(own.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  *fd = std::move(own);
  return Status::Ok();
}

void TellOpenFailure(const GenFilePlan& file, const char* relName, const Status& failure,
                     GenVerifyTally* tally) {
  Tell(file, relName,
       failure.IsNotFound() ? Verdict{Verdict::kMissing, ""}
                            : Verdict{Verdict::kUnreadable, failure.what()},
       tally);
}

// Whether the file open at `fd` is a regular one read from its start: a
// Parquet file there can be read at offsets, whether named or given on
// standard input.
bool ReadableAtOffsets(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::lseek(fd, 0, SEEK_CUR) == 0;
}

Status VerifyFile(GenControlBlock* cb, const GenFilePlan& file, const char* relName,
                  std::span<const GenColumnSpec> fields, GenFormat* format, bool parquet,
                  TextCodec compressed, GenVerifyTally* tally) {
  UniqueFd own;
  // An object is fetched into a pipe, which is checked as standard input is.
  std::optional<ObjectReader> object;
  if (S3_IsObjectName(file.path)) object.emplace();
  const Status failure = object ? object->Open(file.path) : OpenToCheck(file, &own);
  if (!failure.ok()) {
    TellOpenFailure(file, relName, failure, tally);
    return Status::Ok();
  }
  const int fd = object ? object->fd() : own ? own.get() : STDIN_FILENO;
  std::optional<TextDecompressor> text;
  if (compressed != TextCodec::kNone) text.emplace(compressed, fd);
  // A Parquet file that can be read at offsets is checked by what it holds;
  // one on a pipe byte for byte.
  const std::unique_ptr<GenFileCheck> check =
      parquet && ReadableAtOffsets(fd) ? Gen_NewParquetFileCheck(fd, file.rows)
                                       : Gen_NewFileCheck(fd, static_cast<bool>(own), parquet,
                                                          file.rows, text ? &*text : nullptr);
  const Status status = Gen_checkRelation(cb, relName, fields, file.rows, format, check.get());
  if (status.IsNoMemory()) return status;
  if (status.ok()) check->Finish();
  const Verdict::Kind failed = check->unreadable() ? Verdict::kReadFails : Verdict::kDiffers;
  Verdict verdict{check->failure().empty() ? Verdict::kOk : failed, check->failure()};
  // A fetch that failed is told with the store's reason, not as the bytes
  // its end cut short; one the check stopped was not wanted further.
  const Status fetched = object ? object->Finish() : Status::Ok();
  if (!fetched.ok() && !fetched.IsStopped())
    verdict = Verdict{Verdict::kUnreadable, fetched.what()};
  if (object) verdict.object = object->head();
  if (text) {
    verdict.bytes = Verdict::kTextOnly;
  } else if (!check->exact()) {
    verdict.bytes = Verdict::kSameContent;
  }
  Tell(file, relName, verdict, tally);
  return Status::Ok();
}

}  // namespace

Status Gen_VerifyRelation(GenControlBlock* cb, const GenRelationPlan& plan,
                          const GenFormatMaker& makeFormat, bool parquet, GenVerifyTally* tally,
                          TextCodec compressed) {
  CHECK_REQUIRE_TEXT(cb != nullptr, "cb != NULL");
  CHECK_REQUIRE_TEXT(tally != nullptr, "tally != NULL");
  // When not one file of the relation can be opened, there is nothing to
  // generate its columns for.
  bool anyOpens = false;
  std::vector<Status> opened;  // up to the first that opens
  for (const GenFilePlan& file : plan.files) {
    UniqueFd fd;
    opened.push_back(OpenToCheck(file, &fd));
    if (opened.back().ok()) {
      anyOpens = true;
      break;
    }
  }
  if (!anyOpens) {
    // Each failure as found: an object's store is not asked twice.
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
      TellOpenFailure(plan.files[i], plan.relName, opened[i], tally);
    }
    return Status::Ok();
  }
  return Gen_Relation(
      cb, plan, makeFormat,
      [parquet, compressed, tally](GenControlBlock* block, const GenFilePlan& file,
                                   const char* relName, std::span<const GenColumnSpec> fields,
                                   GenFormat* format) {
        return VerifyFile(block, file, relName, fields, format, parquet, compressed, tally);
      });
}

}  // namespace zervgen
