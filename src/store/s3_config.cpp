// store/s3_config.cpp: object names and the store's settings.
#include "store/s3_config.h"

#include <cstdlib>

namespace zervgen {
namespace {

constexpr std::string_view kScheme = "s3://";

bool IsLowerOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool IsUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string Encode(std::string_view text, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (IsUnreserved(c) || (keepSlash && c == '/')) {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

bool S3_IsObjectName(std::string_view path) { return path.substr(0, kScheme.size()) == kScheme; }

Status S3_ParseName(std::string_view name, S3Object* object) {
  if (!S3_IsObjectName(name)) return Status::InvalidArgument("an object name begins with s3://");
  const std::string_view rest = name.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  const std::string_view bucket = rest.substr(0, slash);
  const std::string_view key = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
  bool valid = bucket.size() >= 3 && bucket.size() <= 63 && IsLowerOrDigit(bucket.front()) &&
               IsLowerOrDigit(bucket.back()) && bucket.find("..") == std::string_view::npos;
  for (const char c : bucket) valid = valid && (IsLowerOrDigit(c) || c == '.' || c == '-');
  if (!valid) {
    return Status::InvalidArgument(
        "the bucket of an s3:// name is 3 to 63 lowercase letters, digits, '.' and '-', "
        "beginning and ending with a letter or digit");
  }
  if (key.empty() || key.size() > 1024) {
    return Status::InvalidArgument(
        "an s3:// name needs an object key of 1 to 1024 bytes after the bucket");
  }
  object->bucket = bucket;
  object->key = key;
  return Status::Ok();
}

Status S3_SettingsFromEnvironment(S3Settings* settings) {
  S3Settings s;
  s.accessKey = Variable("AWS_ACCESS_KEY_ID");
  s.secretKey = Variable("AWS_SECRET_ACCESS_KEY");
  s.token = Variable("AWS_SESSION_TOKEN");
  s.region = Variable("AWS_REGION");
  if (s.region.empty()) s.region = Variable("AWS_DEFAULT_REGION");
  if (s.region.empty()) s.region = "us-east-1";
  s.endpoint = Variable("AWS_ENDPOINT_URL");
  while (!s.endpoint.empty() && s.endpoint.back() == '/') s.endpoint.pop_back();
  if (s.accessKey.empty()) {
    return Status::InvalidArgument(
        "object storage needs credentials: AWS_ACCESS_KEY_ID is not set");
  }
  if (s.secretKey.empty()) {
    return Status::InvalidArgument(
        "object storage needs credentials: AWS_SECRET_ACCESS_KEY is not set");
  }
  for (const char c : s.region) {
    if (!IsLowerOrDigit(c) && c != '-') {
      return Status::InvalidArgument("AWS_REGION is not a region's name");
    }
  }
  *settings = std::move(s);
  return Status::Ok();
}

std::string S3_EncodeKey(std::string_view key) { return Encode(key, true); }
std::string S3_EncodeValue(std::string_view value) { return Encode(value, false); }

std::string S3_ObjectUrl(const S3Settings& settings, const S3Object& object) {
  if (!settings.endpoint.empty()) {
    return settings.endpoint + "/" + object.bucket + "/" + S3_EncodeKey(object.key);
  }
  return "https://" + object.bucket + ".s3." + settings.region + ".amazonaws.com/" +
         S3_EncodeKey(object.key);
}

std::string S3_BucketUrl(const S3Settings& settings, const S3Object& object) {
  if (!settings.endpoint.empty()) return settings.endpoint + "/" + object.bucket;
  return "https://" + object.bucket + ".s3." + settings.region + ".amazonaws.com/";
}

}  // namespace zervgen
