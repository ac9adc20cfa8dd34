// store/curl_api.cpp: libcurl loaded with dlopen on first use.
#include "store/curl_api.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

namespace zervgen {

#if ZERVGEN_HAVE_CURL
namespace {

struct Loaded {
  CurlApi api{};
  std::string failure;  // empty when loaded
};

template <typename F>
bool Find(void* lib, const char* name, F* fn) {
  *fn = reinterpret_cast<F>(::dlsym(lib, name));
  return *fn != nullptr;
}

Loaded Load() {
  Loaded loaded;
  void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    loaded.failure =
        "object storage needs libcurl, which cannot be loaded (Debian: install the libcurl4 "
        "package)";
    return loaded;
  }
  CurlApi& a = loaded.api;
  CURLcode (*global_init)(long) = nullptr;
  if (!Find(lib, "curl_global_init", &global_init) || !Find(lib, "curl_easy_init", &a.easy_init) ||
      !Find(lib, "curl_easy_setopt", &a.easy_setopt) ||
      !Find(lib, "curl_easy_perform", &a.easy_perform) ||
      !Find(lib, "curl_easy_cleanup", &a.easy_cleanup) ||
      !Find(lib, "curl_easy_getinfo", &a.easy_getinfo) ||
      !Find(lib, "curl_easy_strerror", &a.easy_strerror) ||
      !Find(lib, "curl_slist_append", &a.slist_append) ||
      !Find(lib, "curl_slist_free_all", &a.slist_free_all)) {
    loaded.failure = "object storage needs libcurl 7.75 or later (Debian: the libcurl4 package)";
    return loaded;
  }
  // Once, before any handle, while no other thread uses the library. The
  // library stays loaded to the process's end.
  if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    loaded.failure = "libcurl could not be initialized";
  }
  return loaded;
}

}  // namespace

Status Curl_Api(const CurlApi** api) {
  static std::once_flag once;
  static Loaded* loaded = nullptr;
  std::call_once(once, [] { loaded = new Loaded(Load()); });
  if (!loaded->failure.empty()) return Status::IoError({}, loaded->failure);
  *api = &loaded->api;
  return Status::Ok();
}

#else

Status Curl_Api(const CurlApi** api) {
  *api = nullptr;
  return Status::InvalidArgument(
      "this zervgen was built without object storage (s3:// names need libcurl4-openssl-dev when "
      "it is built)");
}

#endif

}  // namespace zervgen
