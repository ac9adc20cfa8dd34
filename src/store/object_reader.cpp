// store/object_reader.cpp: an object fetched into a pipe.
#include "store/object_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "store/store_thread.h"

namespace zervgen {

namespace {

// HEAD, and when that is refused, its first byte asked for: an answer to
// HEAD has no body, and so no S3 error code to tell a missing bucket from a
// missing object, or a wrong secret from a missing permission.
Status Probe(const S3Client& client) {
  S3Request head;
  head.method = "HEAD";
  S3Response response;
  const Status status = client.Perform(head, &response, S3StopTest());
  if (status.ok() || response.status < 400 || response.status >= 500) return status;
  S3Request first;
  first.headers = {"Range: bytes=0-0"};
  return client.Perform(first, &response, S3StopTest());
}

}  // namespace

Status Store_ObjectExists(std::string_view name) {
  std::unique_ptr<S3Client> client;
  Status status = S3_ClientFor(name, &client);
  if (!status.ok()) return status;
  return Probe(*client);
}

ObjectReader::~ObjectReader() { (void)Finish(); }

Status ObjectReader::Open(std::string_view name) {
  Status status = S3_ClientFor(name, &own_);
  if (!status.ok()) return status;
  return Open(own_.get());
}

Status ObjectReader::Open(const S3Client* client) {
  client_ = client;
  Status status = Probe(*client_);
  if (!status.ok()) return status;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return Status::IoError(client_->name(), "pipe", errno);
  readEnd_ = UniqueFd(ends[0]);
  auto writeEnd = std::make_shared<UniqueFd>(ends[1]);
  try {
    thread_ = Store_StartThread([this, writeEnd] {
      S3Request get;
      get.method = "GET";
      get.sink = writeEnd->get();
      S3Response answer;
      Status fetched = client_->Perform(get, &answer, S3StopTest());
      (void)writeEnd->Close();  // the reader sees the end of the bytes
      status_ = std::move(fetched);
    });
  } catch (const std::system_error&) {
    readEnd_ = UniqueFd();
    return Status::NoMemory();
  }
  return Status::Ok();
}

Status ObjectReader::Finish() {
  (void)readEnd_.Close();  // a fetch still writing stops
  if (thread_.joinable()) thread_.join();
  return status_;
}

}  // namespace zervgen
