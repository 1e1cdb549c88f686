#include "platform/SecretServiceLibrary.hpp"

#include "platform/ProcessLibrary.hpp"

namespace tervala::platform {
namespace {

constexpr const char* libraryName = "libsecret-1.so.0";

struct Loaded {
  SecretServiceLibrary functions;
  std::string problem;
  bool usable = false;
};

Loaded load() {
  Loaded loaded;
  void* handle = openForProcess(libraryName, "keyring", "libsecret-1-0", loaded.problem);
  if (handle == nullptr) {
    return loaded;
  }
  const auto bind = [handle, &p = loaded.problem](const char* name, auto& slot) {
    return bindFunction(handle, name, slot, "the keyring library libsecret-1.so.0", p);
  };
  auto& f = loaded.functions;
  loaded.usable = bind("g_object_unref", f.objectUnref) & bind("g_error_free", f.errorFree) &
                  bind("g_hash_table_new", f.hashTableNew) & bind("g_hash_table_insert", f.hashTableInsert) &
                  bind("g_hash_table_unref", f.hashTableUnref) & bind("g_str_hash", f.strHash) &
                  bind("g_str_equal", f.strEqual) & bind("g_cancellable_new", f.cancellableNew) &
                  bind("g_cancellable_cancel", f.cancellableCancel) &
                  bind("g_cancellable_is_cancelled", f.cancellableIsCancelled) &
                  bind("secret_value_new", f.valueNew) & bind("secret_value_get", f.valueGet) &
                  bind("secret_value_unref", f.valueUnref) &
                  bind("secret_service_get_sync", f.serviceGetSync) &
                  bind("secret_collection_for_alias_sync", f.collectionForAliasSync) &
                  bind("secret_collection_get_locked", f.collectionGetLocked) &
                  bind("secret_service_store_sync", f.serviceStoreSync) &
                  bind("secret_service_lookup_sync", f.serviceLookupSync) &
                  bind("secret_service_clear_sync", f.serviceClearSync);
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
