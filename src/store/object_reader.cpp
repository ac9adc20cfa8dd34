// store/object_reader.cpp: an object fetched into a pipe; an object's HEAD
// and its removal.
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
// missing object, or a wrong secret from a missing permission. *head gets
// the object's size and ETag when the HEAD told both.
Status Probe(const S3Client& client, std::optional<StoreObjectHead>* head) {
  head->reset();
  S3Request ask;
  ask.method = "HEAD";
  S3Response response;
  const Status status = client.Perform(ask, &response, S3StopTest());
  if (status.ok()) {
    if (response.length >= 0 && !response.etag.empty()) {
      *head = StoreObjectHead{static_cast<std::uint64_t>(response.length), response.etag};
    }
    return status;
  }
  if (response.status < 400 || response.status >= 500) return status;
  S3Request first;
  first.headers = {"Range: bytes=0-0"};
  return client.Perform(first, &response, S3StopTest());
}

}  // namespace

Status Store_ObjectExists(std::string_view name) {
  std::unique_ptr<S3Client> client;
  Status status = S3_ClientFor(name, &client);
  if (!status.ok()) return status;
  std::optional<StoreObjectHead> head;
  return Probe(*client, &head);
}

Status Store_HeadObject(std::string_view name, StoreObjectHead* head) {
  std::unique_ptr<S3Client> client;
  Status status = S3_ClientFor(name, &client);
  if (!status.ok()) return status;
  std::optional<StoreObjectHead> told;
  status = Probe(*client, &told);
  if (!status.ok()) return status;
  if (!told) return Status::IoError(client->name(), "the store told no size and ETag of it");
  *head = std::move(*told);
  return Status::Ok();
}

std::string Store_QuotedEtag(std::string_view etag) {
  const bool quoted = etag.size() >= 2 && etag.back() == '"' &&
                      (etag.front() == '"' || etag.substr(0, 3) == "W/\"");
  if (quoted) return std::string(etag);
  std::string text = "\"";  // by appends: GCC 12 warns wrongly (-Wrestrict) of "\"" + string
  return text.append(etag).append("\"");
}

Status Store_RemoveObject(std::string_view name, std::string_view etag) {
  std::unique_ptr<S3Client> client;
  Status status = S3_ClientFor(name, &client);
  if (!status.ok()) return status;
  S3Request remove;
  remove.method = "DELETE";
  remove.headers = {"If-Match: " + Store_QuotedEtag(etag)};
  S3Response response;
  status = client->Perform(remove, &response, S3StopTest());
  // Gone already: a DELETE whose answer was lost removed it, or someone did.
  if (status.IsNotFound()) return Status::Ok();
  if (status == StatusCode::kAlreadyExists) {
    return Status::AlreadyExists(client->name(), "it changed before it was removed (HTTP " +
                                                     std::to_string(response.status) + ")");
  }
  return status;
}

ObjectReader::~ObjectReader() { (void)Finish(); }

Status ObjectReader::Open(std::string_view name) {
  Status status = S3_ClientFor(name, &own_);
  if (!status.ok()) return status;
  return Open(own_.get());
}

Status ObjectReader::Open(const S3Client* client) {
  client_ = client;
  Status status = Probe(*client_, &head_);
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
      if (head_) get.headers = {"If-Match: " + head_->etag};
      S3Response answer;
      Status fetched = client_->Perform(get, &answer, S3StopTest());
      if (fetched == StatusCode::kAlreadyExists) {
        fetched = Status::IoError(client_->name(), "it changed while it was read (HTTP " +
                                                       std::to_string(answer.status) + ")");
      }
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
