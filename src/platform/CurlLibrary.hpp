#pragma once

#include <curl/curl.h>

#include <string>

namespace tervala::platform {

/// libcurl, loaded when the first request (or URL reading) needs it rather than when the process
/// starts: with the libraries it depends on (some 27, TLS, Kerberos, LDAP and SSH among them) it
/// made up most of the start-up of every program that links Tervala, also of those that only
/// read a stored token or make a code. Loaded once per process and never unloaded: request
/// threads may use it while the process exits.
struct CurlLibrary {
  decltype(&::curl_global_init) globalInit = nullptr;
  decltype(&::curl_easy_init) easyInit = nullptr;
  decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&::curl_easy_setopt) easySetopt = nullptr;
  decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&::curl_easy_strerror) easyStrerror = nullptr;
  decltype(&::curl_multi_init) multiInit = nullptr;
  decltype(&::curl_multi_cleanup) multiCleanup = nullptr;
  decltype(&::curl_multi_add_handle) multiAddHandle = nullptr;
  decltype(&::curl_multi_remove_handle) multiRemoveHandle = nullptr;
  decltype(&::curl_multi_setopt) multiSetopt = nullptr;
  decltype(&::curl_multi_socket_action) multiSocketAction = nullptr;
  decltype(&::curl_multi_info_read) multiInfoRead = nullptr;
  decltype(&::curl_slist_append) slistAppend = nullptr;
  decltype(&::curl_slist_free_all) slistFreeAll = nullptr;
  decltype(&::curl_url) url = nullptr;
  decltype(&::curl_url_cleanup) urlCleanup = nullptr;
  decltype(&::curl_url_set) urlSet = nullptr;
  decltype(&::curl_url_get) urlGet = nullptr;
  decltype(&::curl_free) free = nullptr;
  decltype(&::curl_version_info) versionInfo = nullptr;

  /// The loaded library, or null with `problem()` saying why it could not be loaded.
  static const CurlLibrary* get() noexcept;
  /// Why `get()` gave null: a missing library or function, in one line.
  static const std::string& problem() noexcept;
};

/// The loaded library, for code that runs only after `ensureCurlGlobalInit()` said yes (a handle
/// or URL of libcurl exists only then).
inline const CurlLibrary& libcurl() noexcept {
  return *CurlLibrary::get();
}

}  // namespace tervala::platform
