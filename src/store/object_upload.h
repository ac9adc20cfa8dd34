// store/object_upload.h: an object written in order, as a file is. Bytes
// gather in part buffers. An object smaller than one part goes up as one
// PUT when it is finished; a larger one as a multipart upload whose parts go
// up on the store's own threads while the next part fills, completed last.
// Both the PUT and the completion carry If-None-Match: *, so an object that
// exists is never replaced where the store honours it. The object appears
// only when complete: a failure, a stop or destroying an unfinished upload
// aborts the multipart upload in flight. A write retried after an answer
// that never came may find its own earlier try done: an object of exactly
// the size written is then taken as written, and uploads a lost creation
// left are aborted.
//
// Memory: at most kPartsInFlight parts going up and one filling, each of
// the part size: 3 x 8 MiB = 24 MiB for the first 1,000 parts (8 GB); the
// part size doubles every 1,000 parts so that an object of up to 5 TB fits
// S3's 10,000 parts (64 MiB parts, 192 MiB, for an object of 100 GB).
//
// The calling thread (the main thread) makes the upload, completes or
// aborts it and alone tells what happened; the part threads only transfer
// and hand back a Status.
#ifndef ZERVGEN_SRC_STORE_OBJECT_UPLOAD_H_
#define ZERVGEN_SRC_STORE_OBJECT_UPLOAD_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"
#include "store/s3_client.h"

namespace zervgen {

inline constexpr std::size_t kFirstPartBytes = std::size_t{8} << 20;
inline constexpr int kPartsInFlight = 2;

// The size of part `number` (from 1) for parts that begin at `first` bytes.
std::size_t Store_PartBytes(int number, std::size_t first = kFirstPartBytes);

class ObjectUpload {
 public:
  // `stop` is polled in every wait and transfer, on every thread of the
  // upload; true ends them (Stopped). `firstPartBytes` is for tests.
  ObjectUpload(const S3Client* client, S3StopTest stop,
               std::size_t firstPartBytes = kFirstPartBytes);
  ~ObjectUpload();  // aborts an upload not finished
  ObjectUpload(const ObjectUpload&) = delete;
  ObjectUpload& operator=(const ObjectUpload&) = delete;

  // Appends `n` bytes. A part that fills goes up. On failure the upload is
  // aborted and every later call fails the same way.
  Status Write(const char* data, std::size_t n);
  // Sends what is left and makes the object appear. AlreadyExists when the
  // store says the object exists.
  Status Finish();
  // Stops the parts in flight and aborts the multipart upload, if any; no
  // object appears. The abort itself is tried twice, for at most 2 s
  // each, and is not stopped.
  void Abort();

  std::uint64_t bytes() const { return bytes_; }
  // Whether the object was completed, or the upload aborted.
  bool done() const { return done_; }

 private:
  struct Part {
    int number = 0;
    std::string data;
    std::thread thread;
    Status status;
    std::string etag;
    bool done = false;  // guarded by mutex_
  };

  Status Fail(Status status);
  Status Create();
  Status SendPart();                  // the filling part goes up
  Status WaitForPart(std::size_t i);  // joins in-flight part i and takes its ETag
  Status Complete();
  // `failed` ended a write retried after a try whose answer may have been
  // lost: Ok when the object is there with exactly the bytes written (that
  // try wrote it), else `failed`.
  Status Confirm(Status failed, const S3Response& response);
  // Aborts the multipart uploads in progress on the key but `keep`: a
  // creation whose answer was lost leaves one no id names. One listing,
  // each abort bounded as Abort()'s is.
  void Sweep(const std::string& keep);
  bool Stopping() const { return cancel_.load() || (stop_ && stop_()); }

  const S3Client* client_;
  S3StopTest stop_;
  std::size_t firstPartBytes_;
  std::string uploadId_;
  std::string filling_;
  int nextNumber_ = 1;
  std::vector<std::unique_ptr<Part>> inFlight_;  // oldest first
  std::vector<std::string> spare_;               // emptied buffers, for reuse
  std::vector<std::string> etags_;               // by part number - 1
  std::mutex mutex_;
  std::condition_variable partDone_;
  std::atomic<bool> cancel_{false};
  Status failure_;
  std::uint64_t bytes_ = 0;
  bool done_ = false;
  bool createRetried_ = false;  // a creation was tried more than once
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_STORE_OBJECT_UPLOAD_H_
