#pragma once

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <memory>

namespace tervala::platform {

// Owners of the GLib and libsecret values the keyring calls hold, so every way out frees them.

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <class T>
using GObjectHandle = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};
using GErrorHandle = std::unique_ptr<GError, GErrorFree>;

struct GHashTableUnref {
  void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};
using GHashTableHandle = std::unique_ptr<GHashTable, GHashTableUnref>;

// libsecret keeps a value's bytes in its own wiped memory; the last unref clears them.
struct SecretValueUnref {
  void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};
using SecretValueHandle = std::unique_ptr<SecretValue, SecretValueUnref>;

}  // namespace tervala::platform
