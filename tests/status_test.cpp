// Tests of the status type: each factory's kind, its texts, and what it
// tells its caller.
#include "base/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

namespace zervgen {
namespace {

struct StatusCase {
  const char* name;
  Status status;
  StatusCode code;
  const char* message;
  bool retryable;
};

TEST(Status, FactoriesGiveKindMessageAndRetry) {
  const std::string noEntry = std::strerror(ENOENT);
  const std::string noSpace = std::strerror(ENOSPC);
  const StatusCase cases[] = {
      {"ok", Status::Ok(), StatusCode::kOk, "OK", false},
      {"default", Status(), StatusCode::kOk, "OK", false},
      {"no memory", Status::NoMemory(), StatusCode::kNoMemory, "out of memory", false},
      {"bad argument", Status::InvalidArgument("5 strings for 4 rows"),
       StatusCode::kInvalidArgument, "5 strings for 4 rows", false},
      {"bare bad argument", Status::InvalidArgument(), StatusCode::kInvalidArgument,
       "InvalidArgument", false},
      {"range", Status::OutOfRange("day 40000"), StatusCode::kOutOfRange, "day 40000", false},
      {"codec", Status::CodecFailed(), StatusCode::kCodecFailed, "CodecFailed", false},
      {"corrupt", Status::Corrupt("a.parquet", "bad footer"), StatusCode::kCorrupt,
       "a.parquet: bad footer", false},
      {"missing", Status::NotFound("d/x.dat"), StatusCode::kNotFound, "d/x.dat: missing", false},
      {"io errno only", Status::IoError("d/x.dat", {}, ENOENT), StatusCode::kIoError, nullptr,
       false},
      {"io words and errno", Status::IoError("x.dat", "cannot write", ENOSPC), StatusCode::kIoError,
       nullptr, false},
      {"stopped", Status::Stopped(), StatusCode::kStopped, "Stopped", false},
      {"unavailable", Status::Unavailable("s3://b/k", "503 slow down"), StatusCode::kUnavailable,
       "s3://b/k: 503 slow down", true},
      {"already exists", Status::AlreadyExists("s3://b/k", "already exists"),
       StatusCode::kAlreadyExists, "s3://b/k: already exists", false},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.status.code(), c.code);
    EXPECT_EQ(c.status.ok(), c.code == StatusCode::kOk);
    EXPECT_TRUE(c.status == c.code);
    EXPECT_EQ(c.status.IsNoMemory(), c.code == StatusCode::kNoMemory);
    EXPECT_EQ(c.status.IsStopped(), c.code == StatusCode::kStopped);
    EXPECT_EQ(c.status.IsNotFound(), c.code == StatusCode::kNotFound);
    EXPECT_EQ(c.status.IsRetryable(), c.retryable);
    if (c.message != nullptr) {
      EXPECT_EQ(c.status.message(), c.message);
    }
  }
  // The system's words follow the caller's, or stand alone.
  EXPECT_EQ(Status::IoError("d/x.dat", {}, ENOENT).message(), "d/x.dat: " + noEntry);
  EXPECT_EQ(Status::IoError("x.dat", "cannot write", ENOSPC).message(),
            "x.dat: cannot write: " + noSpace);
  EXPECT_EQ(Status::IoError("x.dat", "cannot write", ENOSPC).what(), "cannot write: " + noSpace);
  EXPECT_EQ(Status::IoError("x.dat", {}, ENOSPC).error(), ENOSPC);
  EXPECT_EQ(Status::IoError("x.dat", {}, ENOSPC).what(), noSpace);
}

TEST(Status, WithFileNamesOnlyAFailureWithoutOne) {
  EXPECT_EQ(Status::NoMemory().WithFile("a.parquet").message(), "a.parquet: out of memory");
  EXPECT_EQ(Status::Corrupt("a", "short").WithFile("b").message(), "a: short");
  const Status ok = Status::Ok().WithFile("a");
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.file(), "");
  EXPECT_EQ(ok.message(), "OK");
}

TEST(Status, PrintsKindAndMessage) {
  std::ostringstream out;
  out << Status::Corrupt("f", "bad magic") << ' ' << StatusCode::kIoError;
  EXPECT_EQ(out.str(), "Corrupt (f: bad magic) IoError");
}

}  // namespace
}  // namespace zervgen
