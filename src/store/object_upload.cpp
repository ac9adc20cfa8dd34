// store/object_upload.cpp: an object written in order, in parts.
#include "store/object_upload.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

#include "store/store_thread.h"

namespace zervgen {
namespace {

// S3's largest part.
constexpr std::size_t kMostPartBytes = std::size_t{5} << 30;
// The parts of one size before the size doubles; 10 sizes make S3's 10,000.
constexpr int kPartsPerSize = 1000;

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// The text of XML element content with its entities resolved; empty when
// an entity is not one of the five or an ASCII character reference.
std::string XmlText(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    if (text.front() != '&') {
      out.push_back(text.front());
      text.remove_prefix(1);
      continue;
    }
    const std::size_t end = text.find(';');
    if (end == std::string_view::npos) return {};
    const std::string_view name = text.substr(1, end - 1);
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    char c = 0;
    for (const auto& [n, v] : kNamed) {
      if (name == n) c = v;
    }
    if (c == 0 && name.size() > 1 && name.front() == '#') {
      const bool hex = name[1] == 'x';
      unsigned value = 0;
      for (const char d : name.substr(hex ? 2 : 1)) {
        const int digit = d >= '0' && d <= '9'          ? d - '0'
                          : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                          : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                        : -1;
        if (digit < 0 || value > 127) return {};
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
      }
      if (value == 0 || value > 127) return {};
      c = static_cast<char>(value);
    }
    if (c == 0) return {};
    out.push_back(c);
    text.remove_prefix(end + 1);
  }
  return out;
}

// The text of the first element `tag` in `xml`; empty when absent.
std::string_view ElementIn(std::string_view xml, std::string_view tag) {
  // Built by appends: GCC 12 at -O2 warns (-Wrestrict, wrongly) about
  // "<" + std::string(tag), which a Release build with warnings as errors
  // refuses.
  std::string open = "<", close = "</";
  open.append(tag).append(">");
  close.append(tag).append(">");
  const std::size_t begin = xml.find(open);
  if (begin == std::string_view::npos) return {};
  const std::size_t end = xml.find(close, begin);
  if (end == std::string_view::npos) return {};
  return xml.substr(begin + open.size(), end - begin - open.size());
}

// An abort: bounded, as a signal may wait for it, and not stopped by one.
void AbortUpload(const S3Client* client, const std::string& id) {
  S3Request request;
  request.method = "DELETE";
  request.query = "uploadId=" + S3_EncodeValue(id);
  // Two tries of at most 2 s each.
  request.tries = 2;
  request.seconds = 2;
  S3Response response;
  (void)client->Perform(request, &response, S3StopTest());
}

}  // namespace

std::size_t Store_PartBytes(int number, std::size_t first) {
  const int doublings = std::min((number - 1) / kPartsPerSize, 20);
  return std::min(first << doublings, kMostPartBytes);
}

ObjectUpload::ObjectUpload(const S3Client* client, S3StopTest stop, std::size_t firstPartBytes)
    : client_(client), stop_(std::move(stop)), firstPartBytes_(firstPartBytes) {}

ObjectUpload::~ObjectUpload() { Abort(); }

Status ObjectUpload::Fail(Status status) {
  failure_ = status;
  Abort();
  return status;
}

Status ObjectUpload::Write(const char* data, std::size_t n) {
  if (!failure_.ok()) return failure_;
  if (done_) return Status::InvalidArgument("an object written after it was finished");
  while (n > 0) {
    const std::size_t part = Store_PartBytes(nextNumber_, firstPartBytes_);
    if (filling_.capacity() < part) filling_.reserve(part);
    const std::size_t take = std::min(n, part - filling_.size());
    filling_.append(data, take);
    data += take;
    n -= take;
    bytes_ += take;
    // A full part goes up only once more bytes come: the last part may be
    // a full one, and an object of exactly one part is one PUT.
    if (n > 0 && filling_.size() == part) {
      Status status = SendPart();
      if (!status.ok()) return Fail(std::move(status));
    }
  }
  if (Stopping()) return Fail(Status::Stopped());
  return Status::Ok();
}

Status ObjectUpload::Create() {
  S3Request request;
  request.method = "POST";
  request.query = "uploads=";
  S3Response response;
  Status status = client_->Perform(request, &response, [this] { return Stopping(); });
  // A try whose answer was lost may have made an upload of its own.
  if (response.tries > 1) createRetried_ = true;
  if (!status.ok()) return status;
  // Decoded as the listing's ids are, so that Sweep knows this one.
  uploadId_ = XmlText(ElementIn(response.body, "UploadId"));
  if (uploadId_.empty()) {
    return Status::IoError(client_->name(),
                           "the store's answer to a multipart upload has no UploadId");
  }
  if (createRetried_) Sweep(uploadId_);
  return Status::Ok();
}

void ObjectUpload::Sweep(const std::string& keep) {
  S3Request request;
  request.method = "GET";
  request.bucket = true;
  request.query = "prefix=" + S3_EncodeValue(client_->object().key) + "&uploads=";
  request.tries = 2;
  request.seconds = 2;
  S3Response response;
  if (!client_->Perform(request, &response, S3StopTest()).ok()) return;
  std::string_view body = response.body;
  for (;;) {
    const std::size_t begin = body.find("<Upload>");
    if (begin == std::string_view::npos) return;
    const std::size_t end = body.find("</Upload>", begin);
    if (end == std::string_view::npos) return;  // cut short: the rest stays
    const std::string_view upload = body.substr(begin, end - begin);
    body.remove_prefix(end);
    // The prefix matches longer keys too: only this key's are ours.
    const std::string key = XmlText(ElementIn(upload, "Key"));
    const std::string id = XmlText(ElementIn(upload, "UploadId"));
    if (key == client_->object().key && !id.empty() && id != keep) AbortUpload(client_, id);
  }
}

Status ObjectUpload::Confirm(Status failed, const S3Response& response) {
  if (response.tries < 2) return failed;
  // The run writes each object once, under If-None-Match, where none was:
  // an object with the key and the very size is this upload's.
  S3Request request;
  request.method = "HEAD";
  S3Response head;
  const Status status = client_->Perform(request, &head, [this] { return Stopping(); });
  if (status.ok() && head.length >= 0 && static_cast<std::uint64_t>(head.length) == bytes_) {
    return Status::Ok();
  }
  return failed;
}

Status ObjectUpload::SendPart() {
  if (uploadId_.empty()) {
    Status status = Create();
    if (!status.ok()) return status;
  }
  // Room for one more in flight: the oldest must end first.
  if (inFlight_.size() >= static_cast<std::size_t>(kPartsInFlight)) {
    Status status = WaitForPart(0);
    if (!status.ok()) return status;
  }
  auto part = std::make_unique<Part>();
  part->number = nextNumber_++;
  part->data = std::move(filling_);
  filling_.clear();
  if (!spare_.empty()) {
    filling_ = std::move(spare_.back());
    spare_.pop_back();
    filling_.clear();
  }
  Part* p = part.get();
  const std::string query =
      "partNumber=" + std::to_string(p->number) + "&uploadId=" + S3_EncodeValue(uploadId_);
  auto send = [this, p, query] {
    S3Request request;
    request.method = "PUT";
    request.query = query;
    request.body = p->data;
    S3Response response;
    Status status = client_->Perform(request, &response, [this] { return Stopping(); });
    if (status.ok() && response.etag.empty()) {
      status = Status::IoError(client_->name(), "the store's answer to a part has no ETag");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    p->status = std::move(status);
    p->etag = std::move(response.etag);
    p->done = true;
    partDone_.notify_all();
  };
  try {
    p->thread = Store_StartThread(send);
  } catch (const std::system_error&) {
    // No thread to be had: the part goes up from here, and the next part
    // fills when it is done. Slower, never a failure.
    send();
  }
  inFlight_.push_back(std::move(part));
  return Status::Ok();
}

Status ObjectUpload::WaitForPart(std::size_t i) {
  Part* p = inFlight_[i].get();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // The stop test is polled while waiting: a transfer that stalls in
    // connecting polls nothing itself.
    while (!p->done) {
      if (stop_ && stop_()) cancel_ = true;
      partDone_.wait_for(lock, std::chrono::milliseconds(20));
    }
  }
  if (p->thread.joinable()) p->thread.join();
  Status status = std::move(p->status);
  if (status.ok()) {
    if (etags_.size() < static_cast<std::size_t>(p->number)) etags_.resize(p->number);
    etags_[p->number - 1] = std::move(p->etag);
    spare_.push_back(std::move(p->data));
  }
  inFlight_.erase(inFlight_.begin() + static_cast<std::ptrdiff_t>(i));
  return status;
}

Status ObjectUpload::Complete() {
  std::string body = "<CompleteMultipartUpload>";
  for (std::size_t i = 0; i < etags_.size(); ++i) {
    body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" +
            XmlEscaped(etags_[i]) + "</ETag></Part>";
  }
  body += "</CompleteMultipartUpload>";
  S3Request request;
  request.method = "POST";
  request.query = "uploadId=" + S3_EncodeValue(uploadId_);
  request.body = body;
  request.headers = {"If-None-Match: *", "Content-Type: application/xml"};
  S3Response response;
  Status status = client_->Perform(request, &response, [this] { return Stopping(); });
  // A retried completion finds the upload gone (or the object there) when
  // the try whose answer was lost completed it.
  if (status == StatusCode::kAlreadyExists || S3_ErrorCode(response.body) == "NoSuchUpload") {
    return Confirm(std::move(status), response);
  }
  if (!status.ok()) return status;
  // A completion can fail after its 200 has begun: the error is in the body.
  if (response.body.find("<Error>") != std::string::npos) {
    const std::string code = S3_ErrorCode(response.body);
    return Status::IoError(client_->name(), "the multipart upload did not complete" +
                                                (code.empty() ? "" : ": " + code));
  }
  return Status::Ok();
}

Status ObjectUpload::Finish() {
  if (!failure_.ok()) return failure_;
  if (done_) return Status::InvalidArgument("an object finished twice");
  Status status;
  if (uploadId_.empty()) {
    S3Request request;
    request.method = "PUT";
    request.body = filling_;
    request.headers = {"If-None-Match: *"};
    S3Response response;
    status = client_->Perform(request, &response, [this] { return Stopping(); });
    if (status == StatusCode::kAlreadyExists) status = Confirm(std::move(status), response);
  } else {
    if (!filling_.empty()) status = SendPart();
    while (status.ok() && !inFlight_.empty()) status = WaitForPart(0);
    if (status.ok()) status = Complete();
  }
  if (!status.ok()) return Fail(std::move(status));
  done_ = true;
  filling_ = std::string();
  spare_.clear();
  return Status::Ok();
}

void ObjectUpload::Abort() {
  if (done_) return;
  done_ = true;  // nothing more goes up
  if (failure_.ok()) failure_ = Status::Stopped();
  cancel_ = true;
  while (!inFlight_.empty()) (void)WaitForPart(0);
  filling_ = std::string();
  spare_.clear();
  // Not stopped by a signal: the abort is what the signal waits for.
  const std::string id = std::move(uploadId_);
  uploadId_.clear();
  if (!id.empty()) AbortUpload(client_, id);
  if (createRetried_) Sweep(id);
}

}  // namespace zervgen
