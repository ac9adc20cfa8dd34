// store/s3_client.h: one S3 request on one object, made through libcurl and
// signed by it (AWS Signature Version 4), retried when the failure is
// transient. Any thread may make requests; a request never prints.
#ifndef ZERVGEN_SRC_STORE_S3_CLIENT_H_
#define ZERVGEN_SRC_STORE_S3_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "store/s3_config.h"

namespace zervgen {

struct CurlApi;

// Polled during transfers and waits: true stops the request at once, which
// then hands back Status::Stopped(). Called on the thread making the
// request. May be empty.
using S3StopTest = std::function<bool()>;

struct S3Request {
  const char* method = "GET";        // HEAD, GET, PUT, POST or DELETE
  std::string query;                 // encoded, its parameters in sorted order; no '?'
  std::string_view body;             // PUT and POST: the bytes sent
  std::vector<std::string> headers;  // further headers, "Name: value"
  // GET: the body of a successful answer goes to this descriptor (blocking
  // writes) instead of into the response; a write that fails stops the
  // request (Stopped). A retry asks for the bytes not yet written.
  int sink = -1;
  int tries = 0;        // tries in all; 0: the client's patience
  long seconds = 0;     // > 0: each try ends after this long
  bool bucket = false;  // on the object's bucket (ENDPOINT/BUCKET), not the object
};

struct S3Response {
  long status = 0;           // the HTTP status
  std::string body;          // the body (but what went to a sink)
  std::string etag;          // the ETag header, quotes kept
  std::uint64_t sunk = 0;    // bytes written to the sink
  std::int64_t length = -1;  // the Content-Length header; -1 when none came
  int tries = 0;             // tries made; > 1: an earlier try may have acted unseen
};

// How often and how patiently a request is tried.
struct S3Patience {
  int tries = 5;                             // in all, the first one included
  std::chrono::milliseconds firstWait{200};  // before the second try; doubled each time
  long connectSeconds = 10;                  // connecting, at most
  long stalledSeconds = 30;                  // a transfer with no byte for this long ends
};

class S3Client {
 public:
  S3Client(const CurlApi* api, S3Settings settings, S3Object object);

  // The object's name in messages: s3://BUCKET/KEY.
  const std::string& name() const { return name_; }
  const S3Object& object() const { return object_; }
  void set_patience(const S3Patience& patience) { patience_ = patience; }

  // Makes the request, again while it fails transiently (a connection
  // refused, reset or timed out; HTTP 500, 502, 503, 504, or an error code
  // InternalError, ServiceUnavailable or SlowDown, even in the body of a
  // 200, which some answers carry when they fail after it began),
  // waiting ever longer with jitter in between, at most patience().tries
  // times. Ok for a 2xx answer. Otherwise: NotFound for 404 (what: the S3
  // error code, when the body names one), AlreadyExists for 412 and 409,
  // Unavailable for a transient failure that remained, IoError for any
  // other; each names the object, the HTTP status and the S3 error code,
  // never a credential.
  Status Perform(const S3Request& request, S3Response* response, const S3StopTest& stop) const;

 private:
  Status Once(const S3Request& request, S3Response* response, const S3StopTest& stop) const;

  const CurlApi* api_;
  S3Settings settings_;
  S3Object object_;
  std::string name_;
  std::string url_;
  std::string bucketUrl_;
  S3Patience patience_;
};

// A client for the object named "s3://BUCKET/KEY": the name checked, the
// settings read from the environment, libcurl loaded. InvalidArgument or
// IoError with one line a user can act on otherwise.
Status S3_ClientFor(std::string_view name, std::unique_ptr<S3Client>* client);

// Whether a body is an S3 error document (its root element is Error).
bool S3_IsErrorBody(std::string_view body);

// The S3 error code in an error body ("<Code>NoSuchBucket</Code>"), or empty.
std::string S3_ErrorCode(std::string_view body);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_STORE_S3_CLIENT_H_
