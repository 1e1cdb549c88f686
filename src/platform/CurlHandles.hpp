#pragma once

#include <curl/curl.h>

#include <cstring>
#include <memory>

#include "platform/SecureMemory.hpp"

namespace tervala::platform {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
// A header line may carry credentials ("Authorization"), so every line is wiped before it goes.
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const noexcept {
    for (curl_slist* item = list; item != nullptr; item = item->next) {
      cleanse(item->data, std::strlen(item->data));
    }
    curl_slist_free_all(list);
  }
};
struct CurlMultiDeleter {
  void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct CurlFreeDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};

/// One easy handle, used for one request only.
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
/// A multi handle that drives one easy handle at a time, so the wait for the socket can also
/// watch the process's exit.
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
/// A list of header lines.
using CurlHeaderList = std::unique_ptr<curl_slist, CurlSlistDeleter>;
/// A parsed URL.
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
/// A text libcurl allocated (a URL part).
using CurlText = std::unique_ptr<char, CurlFreeDeleter>;

/// Initialises libcurl's global state once for the process, thread-safe. It is never cleaned up:
/// request threads may still be running while the process exits. False when it failed.
bool ensureCurlGlobalInit() noexcept;

}  // namespace tervala::platform
