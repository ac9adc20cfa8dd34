// Tests of the object store: names, settings and URLs; requests, their
// retries and their messages; uploads in one PUT or in parts; reads into a
// pipe. Requests go to a scripted responder on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "store/curl_api.h"
#include "store/object_reader.h"
#include "store/object_upload.h"
#include "store/s3_client.h"
#include "store/s3_config.h"
#include "store_responder.h"

namespace zervgen {
namespace {

using zervgen_test::Recorded;
using zervgen_test::Reply;
using zervgen_test::Responder;
using zervgen_test::S3Error;

constexpr const char* kSecret = "SECRET/kq9+zz";
constexpr const char* kToken = "TOKEN-77x";

TEST(S3Names, ParsedAndChecked) {
  struct Case {
    const char* name;
    bool ok;
    const char* bucket;
    const char* key;
  };
  const Case cases[] = {
      {"s3://bench/run", true, "bench", "run"},
      {"s3://my.bucket-1/a/b c.hun.3.zst", true, "my.bucket-1", "a/b c.hun.3.zst"},
      {"s3://ab/run", false, "", ""},       // too short
      {"s3://Bench/run", false, "", ""},    // uppercase
      {"s3://-bench/run", false, "", ""},   // begins with '-'
      {"s3://be..nch/run", false, "", ""},  // two dots
      {"s3://bench", false, "", ""},        // no key
      {"s3://bench/", false, "", ""},       // empty key
      {"s3:/bench/run", false, "", ""},     // not an object name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S3Object object;
    const Status status = S3_ParseName(c.name, &object);
    EXPECT_EQ(status.ok(), c.ok) << status;
    if (c.ok) {
      EXPECT_EQ(object.bucket, c.bucket);
      EXPECT_EQ(object.key, c.key);
    } else {
      EXPECT_EQ(status.code(), StatusCode::kInvalidArgument);
    }
  }
  EXPECT_TRUE(S3_IsObjectName("s3://b"));
  EXPECT_FALSE(S3_IsObjectName("s3:/b"));
  EXPECT_FALSE(S3_IsObjectName("./s3://b"));
}

TEST(S3Names, UrlsPathStyleWithEndpointElseVirtualHosted) {
  S3Settings withEndpoint;
  withEndpoint.region = "eu-west-3";
  withEndpoint.endpoint = "http://127.0.0.1:9000";
  S3Settings aws;
  aws.region = "eu-west-3";
  const S3Object object{"bench", "dir/a b+c~%.hun"};
  EXPECT_EQ(S3_ObjectUrl(withEndpoint, object),
            "http://127.0.0.1:9000/bench/dir/a%20b%2Bc~%25.hun");
  EXPECT_EQ(S3_ObjectUrl(aws, object),
            "https://bench.s3.eu-west-3.amazonaws.com/dir/a%20b%2Bc~%25.hun");
  EXPECT_EQ(S3_BucketUrl(withEndpoint, object), "http://127.0.0.1:9000/bench");
  EXPECT_EQ(S3_BucketUrl(aws, object), "https://bench.s3.eu-west-3.amazonaws.com/");
  EXPECT_EQ(S3_EncodeValue("a/b=c"), "a%2Fb%3Dc");
  EXPECT_EQ(S3_EncodeKey("\xc3\xa9/x"), "%C3%A9/x");
}

// Sets (or, for null, unsets) the variables; the tests name no store
// otherwise, so they are left unset after.
void SetEnvironment(const std::vector<std::pair<const char*, const char*>>& values) {
  for (const auto& [name, value] : values)
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

TEST(S3Settings, FromTheEnvironment) {
  struct Case {
    const char* name;
    const char *key, *secret, *region, *defaultRegion, *endpoint;
    const char* failureNames;  // the variable a failure names, or null
    const char* region_;
    const char* endpoint_;
  };
  const Case cases[] = {
      {"defaults", "AK", kSecret, nullptr, nullptr, nullptr, nullptr, "us-east-1", ""},
      {"region", "AK", kSecret, "eu-west-1", "us-west-2", nullptr, nullptr, "eu-west-1", ""},
      {"default region", "AK", kSecret, nullptr, "us-west-2", nullptr, nullptr, "us-west-2", ""},
      {"endpoint slash", "AK", kSecret, nullptr, nullptr, "http://h:1/", nullptr, "us-east-1",
       "http://h:1"},
      {"no key", nullptr, kSecret, nullptr, nullptr, nullptr, "AWS_ACCESS_KEY_ID", "", ""},
      {"no secret", "AK", nullptr, nullptr, nullptr, nullptr, "AWS_SECRET_ACCESS_KEY", "", ""},
      {"bad region", "AK", kSecret, "eu:west", nullptr, nullptr, "AWS_REGION", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetEnvironment({{"AWS_ACCESS_KEY_ID", c.key},
                    {"AWS_SECRET_ACCESS_KEY", c.secret},
                    {"AWS_REGION", c.region},
                    {"AWS_DEFAULT_REGION", c.defaultRegion},
                    {"AWS_ENDPOINT_URL", c.endpoint}});
    S3Settings settings;
    const Status status = S3_SettingsFromEnvironment(&settings);
    if (c.failureNames != nullptr) {
      EXPECT_EQ(status.code(), StatusCode::kInvalidArgument);
      EXPECT_NE(status.message().find(c.failureNames), std::string::npos) << status;
      continue;
    }
    ASSERT_TRUE(status.ok()) << status;
    EXPECT_EQ(settings.region, c.region_);
    EXPECT_EQ(settings.endpoint, c.endpoint_);
    EXPECT_EQ(settings.secretKey, kSecret);
  }
  SetEnvironment({{"AWS_ACCESS_KEY_ID", nullptr},
                  {"AWS_SECRET_ACCESS_KEY", nullptr},
                  {"AWS_REGION", nullptr},
                  {"AWS_DEFAULT_REGION", nullptr},
                  {"AWS_ENDPOINT_URL", nullptr}});
}

#if ZERVGEN_HAVE_CURL

// A client of s3://bench/dir/obj on the responder, patient for a test.
std::unique_ptr<S3Client> ClientOn(const Responder& responder, const std::string& key = "dir/obj") {
  const CurlApi* api = nullptr;
  const Status loaded = Curl_Api(&api);
  EXPECT_TRUE(loaded.ok()) << loaded;
  S3Settings settings;
  settings.accessKey = "AKID";
  settings.secretKey = kSecret;
  settings.token = kToken;
  settings.region = "us-east-1";
  settings.endpoint = responder.endpoint();
  auto client = std::make_unique<S3Client>(api, settings, S3Object{"bench", key});
  S3Patience patience;
  patience.firstWait = std::chrono::milliseconds(2);
  patience.stalledSeconds = 2;
  client->set_patience(patience);
  return client;
}

void ExpectNoSecret(const Status& status) {
  EXPECT_EQ(status.message().find(kSecret), std::string::npos) << status;
  EXPECT_EQ(status.message().find(kToken), std::string::npos) << status;
  EXPECT_EQ(status.message().find("AWS4-HMAC"), std::string::npos) << status;
}

TEST(S3Client, RetriesTransientFailuresOnly) {
  struct Case {
    const char* name;
    std::vector<Reply> replies;  // in order; the last repeats
    const char* method;
    StatusCode code;
    int requests;
    const char* told;  // in the message, or null
  };
  const Case cases[] = {
      {"503 then 200",
       {S3Error(503, "ServiceUnavailable"), Reply{}},
       "GET",
       StatusCode::kOk,
       2,
       nullptr},
      {"reset then 200", {Reply::Drop(), Reply{}}, "PUT", StatusCode::kOk, 2, nullptr},
      {"SlowDown then 200",
       {S3Error(503, "SlowDown"), Reply{}},
       "PUT",
       StatusCode::kOk,
       2,
       nullptr},
      {"500 502 504 then 200",
       {S3Error(500, "InternalError"), Reply{502}, Reply{504}, Reply{}},
       "GET",
       StatusCode::kOk,
       4,
       nullptr},
      {"503 five times",
       {S3Error(503, "ServiceUnavailable")},
       "PUT",
       StatusCode::kUnavailable,
       5,
       "s3://bench/dir/obj: HTTP 503 ServiceUnavailable (tried 5 times)"},
      {"403 signature",
       {S3Error(403, "SignatureDoesNotMatch")},
       "PUT",
       StatusCode::kIoError,
       1,
       "s3://bench/dir/obj: HTTP 403 SignatureDoesNotMatch"},
      {"404 bucket",
       {S3Error(404, "NoSuchBucket")},
       "PUT",
       StatusCode::kIoError,
       1,
       "s3://bench/dir/obj: HTTP 404 NoSuchBucket"},
      {"404 head", {Reply{404}}, "HEAD", StatusCode::kNotFound, 1, "s3://bench/dir/obj: missing"},
      {"412 exists",
       {S3Error(412, "PreconditionFailed")},
       "PUT",
       StatusCode::kAlreadyExists,
       1,
       "already exists"},
      {"200 InternalError in the body then 200",
       {S3Error(200, "InternalError"), Reply{}},
       "POST",
       StatusCode::kOk,
       2,
       nullptr},
      {"200 AccessDenied in the body",
       {S3Error(200, "AccessDenied")},
       "POST",
       StatusCode::kIoError,
       1,
       "s3://bench/dir/obj: HTTP 200 AccessDenied"},
      {"GET of an object that reads as an error",
       {S3Error(200, "InternalError")},
       "GET",
       StatusCode::kOk,
       1,
       nullptr},
      {"412 after a lost answer",
       {Reply::Drop(), S3Error(412, "PreconditionFailed")},
       "PUT",
       StatusCode::kAlreadyExists,
       2,
       "already exists (HTTP 412 PreconditionFailed) after a try whose answer was lost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Responder responder([&c](const Recorded&, int i) {
      return c.replies[std::min<std::size_t>(static_cast<std::size_t>(i), c.replies.size() - 1)];
    });
    const std::unique_ptr<S3Client> client = ClientOn(responder);
    S3Request request;
    request.method = c.method;
    request.body = "body";
    S3Response response;
    const Status status = client->Perform(request, &response, S3StopTest());
    EXPECT_EQ(status.code(), c.code) << status;
    if (c.told != nullptr) {
      EXPECT_NE(status.message().find(c.told), std::string::npos) << status;
    }
    ExpectNoSecret(status);
    const std::vector<Recorded> seen = responder.requests();
    EXPECT_EQ(static_cast<int>(seen.size()), c.requests);
    for (const Recorded& r : seen) {
      EXPECT_EQ(r.method, c.method);
      EXPECT_EQ(r.target, "/bench/dir/obj");
      EXPECT_EQ(r.Header("x-amz-content-sha256"), "UNSIGNED-PAYLOAD");
      EXPECT_EQ(r.Header("x-amz-security-token"), kToken);
      EXPECT_EQ(r.Header("authorization").rfind("AWS4-HMAC-SHA256 Credential=AKID/", 0), 0u);
      EXPECT_EQ(r.headers.find(kSecret), std::string::npos);
      if (std::string(c.method) == "PUT") {
        EXPECT_EQ(r.body, "body");
      }
    }
  }
}

TEST(S3Client, KeySentAsItIsEncodedOnce) {
  Responder responder([](const Recorded&, int) { return Reply{}; });
  const std::unique_ptr<S3Client> client = ClientOn(responder, "a/../b c/./d+e");
  S3Request request;
  S3Response response;
  ASSERT_TRUE(client->Perform(request, &response, S3StopTest()).ok());
  ASSERT_EQ(responder.requests().size(), 1u);
  EXPECT_EQ(responder.requests()[0].target, "/bench/a/../b%20c/./d%2Be");
}

TEST(S3Client, StopEndsARequestAtOnce) {
  // The responder never answers in time; the stop test ends the wait.
  Responder responder([](const Recorded&, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return Reply{};
  });
  const std::unique_ptr<S3Client> client = ClientOn(responder);
  const auto start = std::chrono::steady_clock::now();
  S3Request request;
  S3Response response;
  const Status status = client->Perform(request, &response, [start] {
    return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(100);
  });
  EXPECT_TRUE(status.IsStopped()) << status;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
}

// A store that takes multipart uploads; part `failPart` (if any) is refused.
Reply MultipartStore(const Recorded& r, int failPart, bool completeExists) {
  const std::string query = r.Query();
  if (r.method == "POST" && query == "uploads=") {
    return Reply{200,
                 "<InitiateMultipartUploadResult><UploadId>up/1+x</UploadId>"
                 "</InitiateMultipartUploadResult>"};
  }
  if (r.method == "PUT" && query.rfind("partNumber=", 0) == 0) {
    const int number = std::atoi(query.c_str() + 11);
    if (number == failPart) return S3Error(403, "AccessDenied");
    return Reply{200, "", "ETag: \"e" + std::to_string(number) + "\"\r\n"};
  }
  if (r.method == "POST") {
    return completeExists ? S3Error(412, "PreconditionFailed")
                          : Reply{200, "<CompleteMultipartUploadResult/>"};
  }
  if (r.method == "DELETE") return Reply{204};
  return Reply{200};
}

TEST(ObjectUpload, OnePutOrPartsInOrderCompletedLastOrAborted) {
  struct Case {
    const char* name;
    std::size_t bytes;  // written, 7 at a time
    int failPart;       // 0: none; -1: the upload is destroyed unfinished
    bool exists;        // the store answers 412 to the PUT or the completion
    StatusCode code;
    std::vector<std::string> sequence;  // methods and queries, parts sorted
    int parts;
  };
  const Case cases[] = {
      {"small", 20, 0, false, StatusCode::kOk, {"PUT "}, 0},
      {"exactly one part", 32, 0, false, StatusCode::kOk, {"PUT "}, 0},
      {"empty", 0, 0, false, StatusCode::kOk, {"PUT "}, 0},
      {"small exists", 20, 0, true, StatusCode::kAlreadyExists, {"PUT "}, 0},
      {"three parts",
       80,
       0,
       false,
       StatusCode::kOk,
       {"POST uploads=", "PUT partNumber=1&uploadId=up%2F1%2Bx",
        "PUT partNumber=2&uploadId=up%2F1%2Bx", "PUT partNumber=3&uploadId=up%2F1%2Bx",
        "POST uploadId=up%2F1%2Bx"},
       3},
      {"a part refused",
       150,
       2,
       false,
       StatusCode::kIoError,
       {"POST uploads=", "DELETE uploadId=up%2F1%2Bx"},
       -1},
      {"completion refused",
       80,
       0,
       true,
       StatusCode::kAlreadyExists,
       {"POST uploads=", "PUT partNumber=1&uploadId=up%2F1%2Bx",
        "PUT partNumber=2&uploadId=up%2F1%2Bx", "PUT partNumber=3&uploadId=up%2F1%2Bx",
        "POST uploadId=up%2F1%2Bx", "DELETE uploadId=up%2F1%2Bx"},
       3},
      {"destroyed unfinished",
       80,
       -1,
       false,
       StatusCode::kOk,
       {"POST uploads=", "DELETE uploadId=up%2F1%2Bx"},
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Responder responder([&c](const Recorded& r, int) {
      if (r.method == "PUT" && r.Query().empty()) {
        return c.exists ? S3Error(412, "PreconditionFailed") : Reply{200, "", "ETag: \"x\"\r\n"};
      }
      return MultipartStore(r, c.failPart, c.exists);
    });
    const std::unique_ptr<S3Client> client = ClientOn(responder);
    std::string written;
    Status status;
    {
      ObjectUpload upload(client.get(), S3StopTest(), 32);
      for (std::size_t i = 0; i < c.bytes && status.ok(); i += 7) {
        std::string piece;
        for (std::size_t j = i; j < std::min(c.bytes, i + 7); ++j)
          piece.push_back(static_cast<char>('a' + j % 26));
        written += piece;
        status = upload.Write(piece.data(), piece.size());
      }
      if (status.ok() && c.failPart >= 0) status = upload.Finish();
    }
    EXPECT_EQ(status.code(), c.code) << status;
    ExpectNoSecret(status);
    std::vector<Recorded> seen = responder.requests();
    // Parts go up two at a time: compare them in part order.
    std::stable_sort(seen.begin(), seen.end(), [](const Recorded& a, const Recorded& b) {
      const bool ap = a.Query().rfind("partNumber=", 0) == 0;
      const bool bp = b.Query().rfind("partNumber=", 0) == 0;
      return ap && bp && a.Query() < b.Query();
    });
    std::vector<std::string> sequence;
    std::string parts;
    for (const Recorded& r : seen) {
      if (c.parts < 0 && r.method == "PUT") continue;  // which parts went before the refusal varies
      sequence.push_back(r.method + " " + r.Query());
      if (r.method == "PUT") parts += r.body;
      if (r.method == "PUT" || (r.method == "POST" && r.Query() != "uploads=")) {
        EXPECT_EQ(r.Header("if-none-match"), r.method == "PUT" && !r.Query().empty() ? "" : "*");
      }
    }
    EXPECT_EQ(sequence, c.sequence);
    if (c.parts >= 0) {
      EXPECT_EQ(parts, written);
    }
    if (c.parts > 0) {
      std::string complete;
      for (int n = 1; n <= c.parts; ++n) {
        complete += "<Part><PartNumber>" + std::to_string(n) + "</PartNumber><ETag>&quot;e" +
                    std::to_string(n) + "&quot;</ETag></Part>";
      }
      EXPECT_EQ(seen[static_cast<std::size_t>(c.parts) + 1].body,
                "<CompleteMultipartUpload>" + complete + "</CompleteMultipartUpload>");
    }
  }
}

TEST(ObjectUpload, PartsGrowTowardsTheLimit) {
  EXPECT_EQ(Store_PartBytes(1), kFirstPartBytes);
  EXPECT_EQ(Store_PartBytes(1000), kFirstPartBytes);
  EXPECT_EQ(Store_PartBytes(1001), 2 * kFirstPartBytes);
  EXPECT_EQ(Store_PartBytes(10000), kFirstPartBytes << 9);
  std::uint64_t total = 0;
  for (int n = 1; n <= 10000; ++n) total += Store_PartBytes(n);
  EXPECT_GE(total, std::uint64_t{5} << 40);  // S3's largest object fits
}

TEST(ObjectReader, FetchesIntoAPipeAndResumesWhereCut) {
  const std::string object(100000, 'q');
  struct Case {
    const char* name;
    bool cutFirst;
    int headStatus;
    StatusCode code;
    const char* range;  // of the second GET
  };
  const Case cases[] = {
      {"whole", false, 200, StatusCode::kOk, ""},
      {"cut then resumed", true, 200, StatusCode::kOk, "bytes=40000-"},
      {"missing", false, 404, StatusCode::kNotFound, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Responder responder([&](const Recorded& r, int) {
      if (c.headStatus != 200) return Reply{c.headStatus};
      const std::string range = r.Header("range");
      if (!range.empty()) return Reply{206, object.substr(40000)};
      Reply whole{200, object};
      if (c.cutFirst) whole.cut = 40000;
      return whole;
    });
    const std::unique_ptr<S3Client> client = ClientOn(responder);
    ObjectReader reader;
    const Status opened = reader.Open(client.get());
    EXPECT_EQ(opened.code(), c.code == StatusCode::kNotFound ? c.code : StatusCode::kOk);
    if (!opened.ok()) continue;
    std::string got;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(reader.fd(), buf, sizeof buf)) > 0)
      got.append(buf, static_cast<std::size_t>(n));
    EXPECT_TRUE(reader.Finish().ok());
    EXPECT_EQ(got, object);
    const std::vector<Recorded> seen = responder.requests();
    EXPECT_EQ(seen.back().Header("range"), c.range);
  }
}

TEST(ObjectReader, AReaderThatStopsEndsTheFetch) {
  signal(SIGPIPE, SIG_IGN);
  const std::string object(std::size_t{4} << 20, 'w');
  Responder responder([&](const Recorded&, int) { return Reply{200, object}; });
  const std::unique_ptr<S3Client> client = ClientOn(responder);
  ObjectReader reader;
  ASSERT_TRUE(reader.Open(client.get()).ok());
  char buf[100];
  ASSERT_EQ(::read(reader.fd(), buf, sizeof buf), 100);
  EXPECT_TRUE(reader.Finish().IsStopped());
}

#endif  // ZERVGEN_HAVE_CURL

}  // namespace
}  // namespace zervgen
