// store/curl_api.h: libcurl, loaded when the first object is named. The
// program links no part of it: a run that names no object keeps the image,
// start-up and address space it has without object storage. The functions
// the store calls are looked up once and kept in a table.
#ifndef ZERVGEN_SRC_STORE_CURL_API_H_
#define ZERVGEN_SRC_STORE_CURL_API_H_

#include "base/status.h"

#if ZERVGEN_HAVE_CURL
#include <curl/curl.h>
#endif

namespace zervgen {

#if ZERVGEN_HAVE_CURL
// The libcurl functions the store uses.
struct CurlApi {
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_perform)(CURL*);
  void (*easy_cleanup)(CURL*);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  const char* (*easy_strerror)(CURLcode);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};
#else
struct CurlApi;
#endif

// Loads libcurl on first use (thread-safe) and hands back its table. Fails
// with one line a user can act on: a program built without object storage,
// or a library that cannot be loaded (Debian's libcurl4 package).
Status Curl_Api(const CurlApi** api);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_STORE_CURL_API_H_
