#pragma once

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <string>

namespace tervala::platform {

/// libsecret and the GLib under it, loaded when the keyring is first reached rather than when the
/// process starts: they bring some ten shared libraries and GLib's type system along, which every
/// command that never touches the keyring (a code, a stored token) would otherwise pay for at
/// start-up. Loaded once per process and never unloaded: GLib's types and threads cannot be torn
/// down.
struct SecretServiceLibrary {
  decltype(&::g_object_unref) objectUnref = nullptr;
  decltype(&::g_error_free) errorFree = nullptr;
  decltype(&::g_hash_table_new) hashTableNew = nullptr;
  decltype(&::g_hash_table_insert) hashTableInsert = nullptr;
  decltype(&::g_hash_table_unref) hashTableUnref = nullptr;
  decltype(&::g_str_hash) strHash = nullptr;
  decltype(&::g_str_equal) strEqual = nullptr;
  decltype(&::g_cancellable_new) cancellableNew = nullptr;
  decltype(&::g_cancellable_cancel) cancellableCancel = nullptr;
  decltype(&::g_cancellable_is_cancelled) cancellableIsCancelled = nullptr;
  decltype(&::secret_value_new) valueNew = nullptr;
  decltype(&::secret_value_get) valueGet = nullptr;
  decltype(&::secret_value_unref) valueUnref = nullptr;
  decltype(&::secret_service_get_sync) serviceGetSync = nullptr;
  decltype(&::secret_collection_for_alias_sync) collectionForAliasSync = nullptr;
  decltype(&::secret_collection_get_locked) collectionGetLocked = nullptr;
  decltype(&::secret_service_store_sync) serviceStoreSync = nullptr;
  decltype(&::secret_service_lookup_sync) serviceLookupSync = nullptr;
  decltype(&::secret_service_clear_sync) serviceClearSync = nullptr;

  /// The loaded library, or null with `problem()` saying why it could not be loaded.
  static const SecretServiceLibrary* get() noexcept;
  /// Why `get()` gave null: a missing library or function, in one line.
  static const std::string& problem() noexcept;
};

}  // namespace tervala::platform
