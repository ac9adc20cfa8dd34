// store/s3_client.cpp: one S3 request through a libcurl easy handle.
#include "store/s3_client.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>

#include "store/curl_api.h"

namespace zervgen {

#if ZERVGEN_HAVE_CURL
namespace {

// What a transfer's callbacks share.
struct Transfer {
  const CurlApi* api;
  CURL* curl;
  const S3Request* request;
  S3Response* response;
  const S3StopTest* stop;
  std::size_t sent = 0;          // body bytes handed to curl
  std::uint64_t resumeFrom = 0;  // bytes already in the sink before this try
  bool sinkFailed = false;
  bool rangeIgnored = false;  // a resumed fetch answered from the start
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  long status = 0;
  t->api->easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  if (t->request->sink < 0 || status < 200 || status >= 300) {
    // An error body is kept in part only: its code is near its start.
    if (t->response->body.size() < (std::size_t{1} << 16)) t->response->body.append(data, n);
    return n;
  }
  if (t->resumeFrom > 0 && status != 206) {
    t->rangeIgnored = true;
    return 0;
  }
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(t->request->sink, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      t->sinkFailed = true;
      return 0;  // the reader went away: the transfer ends
    }
    done += static_cast<std::size_t>(w);
    t->response->sunk += static_cast<std::size_t>(w);
  }
  return n;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  const std::string_view line(data, n);
  if (line.size() > 5 && strncasecmp(line.data(), "etag:", 5) == 0) {
    std::string_view value = line.substr(5);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
      value.remove_suffix(1);
    t->response->etag = value;
  } else if (line.size() > 15 && strncasecmp(line.data(), "content-length:", 15) == 0) {
    std::int64_t length = 0;
    bool digits = false;
    for (const char c : line.substr(15)) {
      if (c >= '0' && c <= '9') {
        if (length > (INT64_MAX - 9) / 10) return n;  // not a length we take
        length = length * 10 + (c - '0');
        digits = true;
      } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
        return n;
      }
    }
    if (digits) t->response->length = length;
  }
  return n;
}

std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = std::min(size * count, t->request->body.size() - t->sent);
  std::memcpy(buffer, t->request->body.data() + t->sent, n);
  t->sent += n;
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* t = static_cast<Transfer*>(user);
  return *t->stop && (*t->stop)() ? 1 : 0;
}

bool TransientCurl(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

// Waits `wait`, polling the stop test; false when it says stop.
bool Wait(std::chrono::milliseconds wait, const S3StopTest& stop) {
  const auto end = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (stop && stop()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(20)));
  }
}

}  // namespace

Status S3Client::Once(const S3Request& request, S3Response* response,
                      const S3StopTest& stop) const {
  const std::uint64_t sunk = response->sunk;
  *response = S3Response{};
  response->sunk = sunk;
  CURL* curl = api_->easy_init();
  if (curl == nullptr) return Status::NoMemory();
  Transfer t{api_, curl, &request, response, &stop};
  t.resumeFrom = response->sunk;
  curl_slist* headers = nullptr;
  // libcurl signs with the value of this header as the payload's hash: the
  // body is sent unsigned, as S3 allows over any connection.
  headers = api_->slist_append(headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
  headers = api_->slist_append(headers, "Expect:");
  std::string token;
  if (!settings_.token.empty()) {
    token = "x-amz-security-token: " + settings_.token;
    headers = api_->slist_append(headers, token.c_str());
  }
  std::string range;
  if (request.sink >= 0 && response->sunk > 0) {
    range = "Range: bytes=" + std::to_string(response->sunk) + "-";
    headers = api_->slist_append(headers, range.c_str());
  }
  for (const std::string& header : request.headers) {
    headers = api_->slist_append(headers, header.c_str());
  }
  const std::string& base = request.bucket ? bucketUrl_ : url_;
  const std::string url = request.query.empty() ? base : base + "?" + request.query;
  const std::string sigv4 = "aws:amz:" + settings_.region + ":s3";
  auto set = [&](CURLoption option, auto value) { (void)api_->easy_setopt(curl, option, value); };
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_NOSIGNAL, 1L);
  // The key is the path as it is: "a/../b" names an object of its own.
  set(CURLOPT_PATH_AS_IS, 1L);
  if (request.seconds > 0) set(CURLOPT_TIMEOUT, request.seconds);
  set(CURLOPT_AWS_SIGV4, sigv4.c_str());
  set(CURLOPT_USERNAME, settings_.accessKey.c_str());
  set(CURLOPT_PASSWORD, settings_.secretKey.c_str());
  set(CURLOPT_HTTPHEADER, headers);
  set(CURLOPT_CONNECTTIMEOUT, patience_.connectSeconds);
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, patience_.stalledSeconds);
  set(CURLOPT_WRITEFUNCTION, &OnBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&t));
  set(CURLOPT_HEADERFUNCTION, &OnHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&t));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&t));
  const std::string_view method = request.method;
  if (method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
  } else if (method == "PUT") {
    set(CURLOPT_UPLOAD, 1L);
    set(CURLOPT_READFUNCTION, &OnRead);
    set(CURLOPT_READDATA, static_cast<void*>(&t));
    set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  } else if (method == "POST") {
    set(CURLOPT_POST, 1L);
    // Never null: a null body would have libcurl read standard input.
    set(CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  } else if (method != "GET") {
    set(CURLOPT_CUSTOMREQUEST, request.method);
  }
  const CURLcode code = api_->easy_perform(curl);
  long status = 0;
  api_->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  api_->easy_cleanup(curl);
  api_->slist_free_all(headers);
  response->status = status;
  if (code == CURLE_ABORTED_BY_CALLBACK || (code == CURLE_WRITE_ERROR && t.sinkFailed)) {
    return Status::Stopped();
  }
  if (t.rangeIgnored) {
    return Status::IoError(name_, "the store sent the whole object again when asked for the rest");
  }
  if (code != CURLE_OK) {
    const std::string what = api_->easy_strerror(code);
    if (TransientCurl(code)) return Status::Unavailable(name_, what);
    return Status::IoError(name_, what);
  }
  // Some answers fail after their 200 has begun: the error is in the body.
  // A GET's body is the object's own bytes, whatever they say.
  const bool errorBody = method != "GET" && method != "HEAD" && S3_IsErrorBody(response->body);
  if (status >= 200 && status < 300 && !errorBody) return Status::Ok();
  const std::string s3code = S3_ErrorCode(response->body);
  const std::string what = "HTTP " + std::to_string(status) + (s3code.empty() ? "" : " " + s3code);
  // A missing object; a missing bucket or upload is a fault to tell.
  if (status == 404 && (s3code.empty() || s3code == "NoSuchKey")) return Status::NotFound(name_);
  if (status == 412 || status == 409) {
    return Status::AlreadyExists(name_, "already exists (" + what + ")");
  }
  if (status == 500 || status == 502 || status == 503 || status == 504 || s3code == "SlowDown" ||
      s3code == "InternalError" || s3code == "ServiceUnavailable") {
    return Status::Unavailable(name_, what);
  }
  return Status::IoError(name_, what);
}

Status S3Client::Perform(const S3Request& request, S3Response* response,
                         const S3StopTest& stop) const {
  thread_local std::minstd_rand jitter(
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  *response = S3Response{};
  std::chrono::milliseconds wait = patience_.firstWait;
  const int tries = request.tries > 0 ? request.tries : patience_.tries;
  for (int attempt = 1;; ++attempt) {
    Status status = Once(request, response, stop);
    response->tries = attempt;
    if (attempt > 1 && status == StatusCode::kAlreadyExists) {
      // A conditional write whose earlier answer was lost may have been
      // the one that wrote the object: said, since no one can tell here.
      return Status::AlreadyExists(
          name_, status.what() + " after a try whose answer was lost, which may have written it");
    }
    if (!status.IsRetryable() || attempt >= tries) {
      if (status.IsRetryable() && tries > 1) {
        return Status::Unavailable(name_,
                                   status.what() + " (tried " + std::to_string(tries) + " times)");
      }
      return status;
    }
    // Full jitter: somewhere between half the wait and the whole.
    const auto half = wait.count() / 2;
    const std::chrono::milliseconds pause(
        half + (half > 0 ? static_cast<long>(jitter() % (half + 1)) : 0));
    if (!Wait(pause, stop)) return Status::Stopped();
    wait *= 2;
  }
}

#else

Status S3Client::Once(const S3Request&, S3Response*, const S3StopTest&) const {
  return Status::InvalidArgument("this zervgen was built without object storage");
}
Status S3Client::Perform(const S3Request& request, S3Response* response,
                         const S3StopTest& stop) const {
  return Once(request, response, stop);
}

#endif

S3Client::S3Client(const CurlApi* api, S3Settings settings, S3Object object)
    : api_(api),
      settings_(std::move(settings)),
      object_(std::move(object)),
      name_("s3://" + object_.bucket + "/" + object_.key),
      url_(S3_ObjectUrl(settings_, object_)),
      bucketUrl_(S3_BucketUrl(settings_, object_)) {}

Status S3_ClientFor(std::string_view name, std::unique_ptr<S3Client>* client) {
  S3Object object;
  Status status = S3_ParseName(name, &object);
  if (!status.ok()) return std::move(status).WithFile(name);
  // A build or a machine without libcurl is told first: no setting helps.
  const CurlApi* api = nullptr;
  status = Curl_Api(&api);
  if (!status.ok()) return status;
  S3Settings settings;
  status = S3_SettingsFromEnvironment(&settings);
  if (!status.ok()) return status;
  *client = std::make_unique<S3Client>(api, std::move(settings), std::move(object));
  return Status::Ok();
}

bool S3_IsErrorBody(std::string_view body) {
  auto skipSpace = [&body] {
    while (!body.empty() && (body.front() == ' ' || body.front() == '\t' || body.front() == '\r' ||
                             body.front() == '\n')) {
      body.remove_prefix(1);
    }
  };
  skipSpace();
  if (body.substr(0, 5) == "<?xml") {
    const std::size_t end = body.find("?>");
    if (end == std::string_view::npos) return false;
    body.remove_prefix(end + 2);
    skipSpace();
  }
  return body.substr(0, 7) == "<Error>";
}

std::string S3_ErrorCode(std::string_view body) {
  const std::size_t begin = body.find("<Code>");
  if (begin == std::string_view::npos) return {};
  const std::size_t end = body.find("</Code>", begin);
  if (end == std::string_view::npos) return {};
  std::string code(body.substr(begin + 6, end - begin - 6));
  // Only a code's own characters: the body is the server's, not ours.
  const bool plain =
      !code.empty() && code.size() <= 64 && std::all_of(code.begin(), code.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.';
      });
  return plain ? code : std::string();
}

}  // namespace zervgen
