#include "platform/SecretServiceLibrary.hpp"

#include <dlfcn.h>

namespace tervala::platform {
namespace {

constexpr const char* libraryName = "libsecret-1.so.0";

struct Loaded {
  SecretServiceLibrary functions;
  std::string problem;
  bool usable = false;
};

// Each function by name from libsecret or the GLib libraries it depends on (a handle's lookups
// search those too).
template <class Function>
bool bind(void* handle, const char* name, Function& slot, std::string& problem) {
  slot = reinterpret_cast<Function>(::dlsym(handle, name));
  if (slot == nullptr && problem.empty()) {
    problem = std::string("the keyring library ") + libraryName + " lacks " + name;
  }
  return slot != nullptr;
}

Loaded load() {
  Loaded loaded;
  // Local: its symbols stay out of the global scope, where they could satisfy a host's own
  // references to another GLib.
  void* handle = ::dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    loaded.problem = std::string("the keyring library ") + libraryName + " cannot be loaded" +
                     (reason != nullptr ? std::string(": ") + reason : std::string()) +
                     " (Debian: apt install libsecret-1-0)";
    return loaded;
  }
  auto& f = loaded.functions;
  auto& p = loaded.problem;
  loaded.usable =
      bind(handle, "g_object_unref", f.objectUnref, p) & bind(handle, "g_error_free", f.errorFree, p) &
      bind(handle, "g_hash_table_new", f.hashTableNew, p) &
      bind(handle, "g_hash_table_insert", f.hashTableInsert, p) &
      bind(handle, "g_hash_table_unref", f.hashTableUnref, p) & bind(handle, "g_str_hash", f.strHash, p) &
      bind(handle, "g_str_equal", f.strEqual, p) & bind(handle, "g_cancellable_new", f.cancellableNew, p) &
      bind(handle, "g_cancellable_cancel", f.cancellableCancel, p) &
      bind(handle, "g_cancellable_is_cancelled", f.cancellableIsCancelled, p) &
      bind(handle, "secret_value_new", f.valueNew, p) & bind(handle, "secret_value_get", f.valueGet, p) &
      bind(handle, "secret_value_unref", f.valueUnref, p) &
      bind(handle, "secret_service_get_sync", f.serviceGetSync, p) &
      bind(handle, "secret_collection_for_alias_sync", f.collectionForAliasSync, p) &
      bind(handle, "secret_collection_get_locked", f.collectionGetLocked, p) &
      bind(handle, "secret_service_store_sync", f.serviceStoreSync, p) &
      bind(handle, "secret_service_lookup_sync", f.serviceLookupSync, p) &
      bind(handle, "secret_service_clear_sync", f.serviceClearSync, p);
  // The handle stays open for the life of the process, loaded or not: see the header.
  return loaded;
}

const Loaded& loaded() noexcept {
  static const Loaded once = [] {
    try {
      return load();
    } catch (...) {
      Loaded failed;
      failed.problem = "cannot load the keyring library: out of memory";
      return failed;
    }
  }();
  return once;
}

}  // namespace

const SecretServiceLibrary* SecretServiceLibrary::get() noexcept {
  return loaded().usable ? &loaded().functions : nullptr;
}

const std::string& SecretServiceLibrary::problem() noexcept {
  return loaded().problem;
}

}  // namespace tervala::platform
