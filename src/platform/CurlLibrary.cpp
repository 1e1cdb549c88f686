#include "platform/CurlLibrary.hpp"

#include <dlfcn.h>

namespace tervala::platform {
namespace {

constexpr const char* libraryName = "libcurl.so.4";

struct Loaded {
  CurlLibrary functions;
  std::string problem;
  bool usable = false;
};

template <class Function>
bool bind(void* handle, const char* name, Function& slot, std::string& problem) {
  slot = reinterpret_cast<Function>(::dlsym(handle, name));
  if (slot == nullptr && problem.empty()) {
    problem = std::string("the network library ") + libraryName + " lacks " + name;
  }
  return slot != nullptr;
}

Loaded load() {
  Loaded loaded;
  // Local: its symbols stay out of the global scope, where a host's own libcurl may be.
  void* handle = ::dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    loaded.problem = std::string("the network library ") + libraryName + " cannot be loaded" +
                     (reason != nullptr ? std::string(": ") + reason : std::string()) +
                     " (Debian: apt install libcurl4)";
    return loaded;
  }
  auto& f = loaded.functions;
  auto& p = loaded.problem;
  loaded.usable = bind(handle, "curl_global_init", f.globalInit, p) &
                  bind(handle, "curl_easy_init", f.easyInit, p) &
                  bind(handle, "curl_easy_cleanup", f.easyCleanup, p) &
                  bind(handle, "curl_easy_setopt", f.easySetopt, p) &
                  bind(handle, "curl_easy_getinfo", f.easyGetinfo, p) &
                  bind(handle, "curl_easy_strerror", f.easyStrerror, p) &
                  bind(handle, "curl_multi_init", f.multiInit, p) &
                  bind(handle, "curl_multi_cleanup", f.multiCleanup, p) &
                  bind(handle, "curl_multi_add_handle", f.multiAddHandle, p) &
                  bind(handle, "curl_multi_remove_handle", f.multiRemoveHandle, p) &
                  bind(handle, "curl_multi_setopt", f.multiSetopt, p) &
                  bind(handle, "curl_multi_socket_action", f.multiSocketAction, p) &
                  bind(handle, "curl_multi_info_read", f.multiInfoRead, p) &
                  bind(handle, "curl_slist_append", f.slistAppend, p) &
                  bind(handle, "curl_slist_free_all", f.slistFreeAll, p) &
                  bind(handle, "curl_url", f.url, p) & bind(handle, "curl_url_cleanup", f.urlCleanup, p) &
                  bind(handle, "curl_url_set", f.urlSet, p) & bind(handle, "curl_url_get", f.urlGet, p) &
                  bind(handle, "curl_free", f.free, p) & bind(handle, "curl_version_info", f.versionInfo, p);
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
