// store/s3_config.h: what names an object and where it is: an s3://BUCKET/KEY
// name checked and taken apart, and the credentials, region and endpoint
// every S3 client reads from the environment.
#ifndef ZERVGEN_SRC_STORE_S3_CONFIG_H_
#define ZERVGEN_SRC_STORE_S3_CONFIG_H_

#include <string>
#include <string_view>

#include "base/status.h"

namespace zervgen {

// Whether `path` names an object ("s3://..."), not a file.
bool S3_IsObjectName(std::string_view path);

// An object: its bucket and key.
struct S3Object {
  std::string bucket;
  std::string key;
};

// Takes "s3://BUCKET/KEY" apart: a bucket of 3 to 63 lowercase letters,
// digits, '.' and '-' beginning and ending with a letter or digit, and a
// key of 1 to 1024 bytes. InvalidArgument, naming the rule, otherwise.
Status S3_ParseName(std::string_view name, S3Object* object);

// Where and as whom requests go.
struct S3Settings {
  std::string accessKey;  // AWS_ACCESS_KEY_ID
  std::string secretKey;  // AWS_SECRET_ACCESS_KEY; never in a message
  std::string token;      // AWS_SESSION_TOKEN, or empty; never in a message
  std::string region;     // AWS_REGION, else AWS_DEFAULT_REGION, else us-east-1
  std::string endpoint;   // AWS_ENDPOINT_URL without a trailing '/', or empty
};

// Reads the settings from the environment. InvalidArgument naming the
// variable when a credential is missing.
Status S3_SettingsFromEnvironment(S3Settings* settings);

// The key URL-encoded as S3 signs it: every byte but the unreserved ones
// (letters, digits, '-', '.', '_', '~') and '/' as %XX.
std::string S3_EncodeKey(std::string_view key);
// A query value encoded the same way, '/' too.
std::string S3_EncodeValue(std::string_view value);

// The object's URL: ENDPOINT/BUCKET/KEY with an endpoint (path style, as
// local servers want), else https://BUCKET.s3.REGION.amazonaws.com/KEY.
std::string S3_ObjectUrl(const S3Settings& settings, const S3Object& object);
// The URL of the object's bucket: ENDPOINT/BUCKET, else
// https://BUCKET.s3.REGION.amazonaws.com/.
std::string S3_BucketUrl(const S3Settings& settings, const S3Object& object);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_STORE_S3_CONFIG_H_
