#include "platform/CurlLibrary.hpp"

#include "platform/ProcessLibrary.hpp"

namespace tervala::platform {
namespace {

constexpr const char* libraryName = "libcurl.so.4";

struct Loaded {
  CurlLibrary functions;
  std::string problem;
  bool usable = false;
};

Loaded load() {
  Loaded loaded;
  void* handle = openForProcess(libraryName, "network", "libcurl4", loaded.problem);
  if (handle == nullptr) {
    return loaded;
  }
  const auto bind = [handle, &p = loaded.problem](const char* name, auto& slot) {
    return bindFunction(handle, name, slot, "the network library libcurl.so.4", p);
  };
  auto& f = loaded.functions;
  loaded.usable =
      bind("curl_global_init", f.globalInit) & bind("curl_easy_init", f.easyInit) &
      bind("curl_easy_cleanup", f.easyCleanup) & bind("curl_easy_setopt", f.easySetopt) &
      bind("curl_easy_getinfo", f.easyGetinfo) & bind("curl_easy_strerror", f.easyStrerror) &
      bind("curl_multi_init", f.multiInit) & bind("curl_multi_cleanup", f.multiCleanup) &
      bind("curl_multi_add_handle", f.multiAddHandle) &
      bind("curl_multi_remove_handle", f.multiRemoveHandle) & bind("curl_multi_setopt", f.multiSetopt) &
      bind("curl_multi_socket_action", f.multiSocketAction) & bind("curl_multi_info_read", f.multiInfoRead) &
      bind("curl_slist_append", f.slistAppend) & bind("curl_slist_free_all", f.slistFreeAll) &
      bind("curl_url", f.url) & bind("curl_url_cleanup", f.urlCleanup) & bind("curl_url_set", f.urlSet) &
      bind("curl_url_get", f.urlGet) & bind("curl_free", f.free) & bind("curl_version_info", f.versionInfo);
  return loaded;  // the handle stays open for the life of the process, loaded or not
}

const Loaded& loaded() noexcept {
  static const Loaded once = load();
  return once;
}

}  // namespace

const CurlLibrary* CurlLibrary::get() noexcept {
  return loaded().usable ? &loaded().functions : nullptr;
}

const std::string& CurlLibrary::problem() noexcept {
  return loaded().problem;
}

}  // namespace tervala::platform
