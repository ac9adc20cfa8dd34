// store/object_reader.h: an object read in order, for checks that read
// files: the object is fetched on a thread of the store that writes its
// bytes into a pipe, whose read end the check reads as it reads standard
// input. A check that stops early closes its end; the fetch then ends.
#ifndef ZERVGEN_SRC_STORE_OBJECT_READER_H_
#define ZERVGEN_SRC_STORE_OBJECT_READER_H_

#include <memory>
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

class ObjectReader {
 public:
  ObjectReader() = default;
  ~ObjectReader();
  ObjectReader(const ObjectReader&) = delete;
  ObjectReader& operator=(const ObjectReader&) = delete;

  // Starts fetching the object named `name`: NotFound when it is missing.
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

 private:
  std::unique_ptr<S3Client> own_;
  const S3Client* client_ = nullptr;
  UniqueFd readEnd_;
  std::thread thread_;
  Status status_;  // the fetch's; read after the thread is joined
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_STORE_OBJECT_READER_H_
