#pragma once

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <memory>

#include "platform/SecretServiceLibrary.hpp"

namespace tervala::platform {

// Owners of the GLib and libsecret values the keyring calls hold, so every way out frees them.
// Such a value exists only once the library is loaded, so its deleter finds the functions there.

inline const SecretServiceLibrary& glib() noexcept {
  return *SecretServiceLibrary::get();
}

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { glib().objectUnref(object); }
};
template <class T>
using GObjectHandle = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* error) const noexcept { glib().errorFree(error); }
};
using GErrorHandle = std::unique_ptr<GError, GErrorFree>;

struct GHashTableUnref {
  void operator()(GHashTable* table) const noexcept { glib().hashTableUnref(table); }
};
using GHashTableHandle = std::unique_ptr<GHashTable, GHashTableUnref>;

// libsecret keeps a value's bytes in its own wiped memory; the last unref clears them.
struct SecretValueUnref {
  void operator()(SecretValue* value) const noexcept { glib().valueUnref(value); }
};
using SecretValueHandle = std::unique_ptr<SecretValue, SecretValueUnref>;

}  // namespace tervala::platform
