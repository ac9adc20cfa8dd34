// store/object_reader.h: an object read in order, for checks that read
// files: the object is fetched on a thread of the store that writes its
// bytes into a pipe, whose read end the check reads as it reads standard
// input. A check that stops early closes its end; the fetch then ends.
// Also what the store tells of an object (HEAD), and its removal by the
// ETag a caller knows it by.
#ifndef ZERVGEN_SRC_STORE_OBJECT_READER_H_
#define ZERVGEN_SRC_STORE_OBJECT_READER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/status.h"
#include "base/util.h"
#include "store/s3_client.h"

namespace zervgen {

// Whether the object named "s3://BUCKET/KEY" is there (HEAD): Ok, NotFound
// when it is not, another failure when the store cannot tell, with the S3
// error code (NoSuchBucket, AccessDenied, SignatureDoesNotMatch).
Status Store_ObjectExists(std::string_view name);

// What a HEAD of an object tells: its size and its ETag, quotes kept.
struct StoreObjectHead {
  std::uint64_t size = 0;
  std::string etag;
};

// The size and ETag of the object named `name`: NotFound when it is not
// there, another failure when the store cannot tell (or gives no ETag).
Status Store_HeadObject(std::string_view name, StoreObjectHead* head);

// Removes the object named `name` with a DELETE that carries "If-Match:
// ETAG": a store that honours it removes the object only while its ETag is
// still `etag`, and refuses otherwise (AlreadyExists, "it changed"). Ok
// also when the object is not there. The caller checks the ETag before
// (Store_HeadObject): a store that ignores If-Match removes whatever the
// name holds when the DELETE arrives.
Status Store_RemoveObject(std::string_view name, std::string_view etag);

// An ETag as the store sends it: `etag` in double quotes, unless it has
// them already (or is a weak one, W/"...").
std::string Store_QuotedEtag(std::string_view etag);

class ObjectReader {
 public:
  ObjectReader() = default;
  ~ObjectReader();
  ObjectReader(const ObjectReader&) = delete;
  ObjectReader& operator=(const ObjectReader&) = delete;

  // Starts fetching the object named `name`: NotFound when it is missing.
  // The bytes fetched are those of the ETag the store told when it was
  // opened (the GET asks "If-Match"): an object replaced while it is read
  // fails the fetch instead of mixing two objects' bytes.
  Status Open(std::string_view name);
  // Starts fetching through `client` (which must outlive the reader).
  Status Open(const S3Client* client);
  // The read end of the pipe; its bytes end where the object ends, or
  // where the fetch failed.
  int fd() const { return readEnd_.get(); }
  // Closes the read end and waits for the fetch to end. Ok when the
  // object was fetched whole, Stopped when the reader closed its end
  // first, the store's failure otherwise.
  Status Finish();
  // The object's size and ETag when it was opened; empty when the store
  // told none.
  const std::optional<StoreObjectHead>& head() const { return head_; }

 private:
  std::unique_ptr<S3Client> own_;
  const S3Client* client_ = nullptr;
  UniqueFd readEnd_;
  std::thread thread_;
  Status status_;  // the fetch's; read after the thread is joined
  std::optional<StoreObjectHead> head_;
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_STORE_OBJECT_READER_H_
