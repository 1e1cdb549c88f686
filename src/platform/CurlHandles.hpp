#pragma once

#include <curl/curl.h>

#include <cstring>
#include <memory>

#include "platform/CurlLibrary.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::platform {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const noexcept { libcurl().easyCleanup(handle); }
};
// Each handle exists only once libcurl is loaded, so its deleter finds the functions there.
// A header line may carry credentials ("Authorization"), so every line is wiped before it goes.
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const noexcept {
    for (curl_slist* item = list; item != nullptr; item = item->next) {
      cleanse(item->data, std::strlen(item->data));
    }
    libcurl().slistFreeAll(list);
  }
};
struct CurlMultiDeleter {
  void operator()(CURLM* multi) const noexcept { libcurl().multiCleanup(multi); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* url) const noexcept { libcurl().urlCleanup(url); }
};
struct CurlFreeDeleter {
  void operator()(char* text) const noexcept { libcurl().free(text); }
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

/// Loads libcurl (platform/CurlLibrary) and initialises its global state once for the process,
/// thread-safe. It is never cleaned up: request threads may still be running while the process
/// exits. False when either failed; every use of libcurl comes after a true answer.
bool ensureCurlGlobalInit() noexcept;

}  // namespace tervala::platform
