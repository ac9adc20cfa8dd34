// Tests of uploads whose answers were lost after the store acted, or that
// failed inside a 200: the upload finds out what its earlier tries did.
// Requests go to a scripted store on 127.0.0.1 that keeps its uploads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/curl_api.h"
#include "store/object_upload.h"
#include "store/s3_client.h"
#include "store_responder.h"

namespace zervgen {
namespace {

using zervgen_test::Recorded;
using zervgen_test::Reply;
using zervgen_test::Responder;
using zervgen_test::S3Error;

#if ZERVGEN_HAVE_CURL

std::unique_ptr<S3Client> ClientOf(const Responder& responder) {
  const CurlApi* api = nullptr;
  const Status loaded = Curl_Api(&api);
  EXPECT_TRUE(loaded.ok()) << loaded;
  S3Settings settings;
  settings.accessKey = "AKID";
  settings.secretKey = "SECRET";
  settings.region = "us-east-1";
  settings.endpoint = responder.endpoint();
  auto client = std::make_unique<S3Client>(api, settings, S3Object{"bench", "dir/obj"});
  S3Patience patience;
  patience.firstWait = std::chrono::milliseconds(2);
  patience.stalledSeconds = 2;
  client->set_patience(patience);
  return client;
}

TEST(ObjectUpload, FindsOutWhatATryWhoseAnswerWasLostDid) {
  const Reply lost = Reply::Drop();
  const Reply none;  // the write is not of this case
  struct Case {
    const char* name;
    std::size_t bytes;  // 32-byte parts: over 32, a multipart upload
    bool loseCreate;    // the first creation is made, its answer lost
    int failPart;       // refused with 403; 0: none
    Reply first;        // to the first PUT of the object or completion
    Reply retry;        // to the later ones
    std::size_t head;   // the size a HEAD finds
    StatusCode code;
    const char* told;                   // in the message, or null
    std::vector<std::string> sequence;  // methods and queries, parts left out
  };
  const std::string list = "GET prefix=dir%2Fobj&uploads=";
  const Case cases[] = {
      {"creation lost: the first upload aborted",
       80,
       true,
       0,
       none,
       none,
       0,
       StatusCode::kOk,
       nullptr,
       {"POST uploads=", "POST uploads=", list, "DELETE uploadId=up%2F0", "POST uploadId=up%2F1"}},
      {"creation lost, then a part refused: both aborted",
       150,
       true,
       2,
       none,
       none,
       0,
       StatusCode::kIoError,
       "AccessDenied",
       {"POST uploads=", "POST uploads=", list, "DELETE uploadId=up%2F0", "DELETE uploadId=up%2F1",
        list}},
      {"completion 200 InternalError, tried again",
       80,
       false,
       0,
       S3Error(200, "InternalError"),
       Reply{200, "<CompleteMultipartUploadResult/>"},
       0,
       StatusCode::kOk,
       nullptr,
       {"POST uploads=", "POST uploadId=up%2F0", "POST uploadId=up%2F0"}},
      {"completion 200 AccessDenied, not tried again",
       80,
       false,
       0,
       S3Error(200, "AccessDenied"),
       none,
       0,
       StatusCode::kIoError,
       "HTTP 200 AccessDenied",
       {"POST uploads=", "POST uploadId=up%2F0", "DELETE uploadId=up%2F0"}},
      {"completion lost, NoSuchUpload, the object whole",
       80,
       false,
       0,
       lost,
       S3Error(404, "NoSuchUpload"),
       80,
       StatusCode::kOk,
       nullptr,
       {"POST uploads=", "POST uploadId=up%2F0", "POST uploadId=up%2F0", "HEAD "}},
      {"completion lost, NoSuchUpload, another size",
       80,
       false,
       0,
       lost,
       S3Error(404, "NoSuchUpload"),
       79,
       StatusCode::kIoError,
       "HTTP 404 NoSuchUpload",
       {"POST uploads=", "POST uploadId=up%2F0", "POST uploadId=up%2F0", "HEAD ",
        "DELETE uploadId=up%2F0"}},
      {"PUT lost, 412, the object whole",
       20,
       false,
       0,
       lost,
       S3Error(412, "PreconditionFailed"),
       20,
       StatusCode::kOk,
       nullptr,
       {"PUT ", "PUT ", "HEAD "}},
      {"PUT lost, 412, another size",
       20,
       false,
       0,
       lost,
       S3Error(412, "PreconditionFailed"),
       21,
       StatusCode::kAlreadyExists,
       "after a try whose answer was lost",
       {"PUT ", "PUT ", "HEAD "}},
      {"PUT 412 at once: never looked at",
       20,
       false,
       0,
       S3Error(412, "PreconditionFailed"),
       none,
       20,
       StatusCode::kAlreadyExists,
       "already exists",
       {"PUT "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex mutex;
    std::vector<std::string> live;  // the uploads in progress on dir/obj
    int creates = 0;
    int writes = 0;
    Responder responder([&](const Recorded& r, int) {
      std::lock_guard<std::mutex> lock(mutex);
      const std::string query = r.Query();
      if (r.method == "POST" && query == "uploads=") {
        const int n = creates++;
        live.push_back("up/" + std::to_string(n));
        if (c.loseCreate && n == 0) return Reply::Drop();
        return Reply{200, "<InitiateMultipartUploadResult><UploadId>" + live.back() +
                              "</UploadId></InitiateMultipartUploadResult>"};
      }
      if (r.method == "GET") {
        // A longer key under the prefix is another object's.
        std::string body =
            "<ListMultipartUploadsResult><Upload><Key>dir/obj2</Key>"
            "<UploadId>up/0</UploadId></Upload>";
        for (const std::string& id : live) {
          body += "<Upload><Key>dir/obj</Key><UploadId>" + id + "</UploadId></Upload>";
        }
        return Reply{200, body + "</ListMultipartUploadsResult>"};
      }
      if (r.method == "HEAD") return Reply{200, std::string(c.head, 'x')};
      if (r.method == "DELETE" || (r.method == "POST" && writes == 0)) {
        const std::string id = query.substr(query.find("up%2F") + 5);
        live.erase(std::remove(live.begin(), live.end(), "up/" + id), live.end());
      }
      if (r.method == "DELETE") return Reply{204};
      if (r.method == "PUT" && query.rfind("partNumber=", 0) == 0) {
        const int number = std::atoi(query.c_str() + 11);
        if (number == c.failPart) return S3Error(403, "AccessDenied");
        return Reply{200, "", "ETag: \"e" + std::to_string(number) + "\"\r\n"};
      }
      return writes++ == 0 ? c.first : c.retry;
    });
    const std::unique_ptr<S3Client> client = ClientOf(responder);
    Status status;
    {
      ObjectUpload upload(client.get(), S3StopTest(), 32);
      const std::string bytes(c.bytes, 'x');
      status = upload.Write(bytes.data(), bytes.size());
      if (status.ok()) status = upload.Finish();
    }
    EXPECT_EQ(status.code(), c.code) << status;
    if (c.told != nullptr) {
      EXPECT_NE(status.message().find(c.told), std::string::npos) << status;
    }
    std::vector<std::string> sequence;
    for (const Recorded& r : responder.requests()) {
      if (r.Query().rfind("partNumber=", 0) == 0) continue;
      sequence.push_back(r.method + " " + r.Query());
      // The listing is the bucket's.
      if (r.method == "GET") {
        EXPECT_EQ(r.target.rfind("/bench?", 0), 0u) << r.target;
      }
    }
    EXPECT_EQ(sequence, c.sequence);
    // No upload of the object's is left behind, whatever happened.
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(live, std::vector<std::string>());
  }
}

#endif  // ZERVGEN_HAVE_CURL

}  // namespace
}  // namespace zervgen
