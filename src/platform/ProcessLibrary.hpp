#pragma once

#include <dlfcn.h>

#include <string>
#include <string_view>

namespace tervala::platform {

// A shared library loaded when it is first needed, for the rest of the process (never unloaded:
// its threads and state may outlive any owner), and its functions looked up by name.

/// Opens `file` (RTLD_NOW: every function resolves now or the load fails; RTLD_LOCAL: its symbols
/// stay out of the global scope, where a host's own copy may be). Null with `problem` set to one
/// line naming the library, its `role` ("network", "keyring") and the Debian `package` to install.
inline void* openForProcess(const char* file, std::string_view role, std::string_view package,
                            std::string& problem) {
  void* handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    problem = "the " + std::string(role) + " library " + file + " cannot be loaded" +
              (reason != nullptr ? std::string(": ") + reason : std::string()) + " (Debian: apt install " +
              std::string(package) + ")";
  }
  return handle;
}

/// Sets `slot` to the function `name` of `handle` (or of the libraries it depends on); false, and
/// `problem` naming the first missing one, when there is none.
template <class Function>
bool bindFunction(void* handle, const char* name, Function& slot, std::string_view library,
                  std::string& problem) {
  slot = reinterpret_cast<Function>(::dlsym(handle, name));
  if (slot == nullptr && problem.empty()) {
    problem = std::string(library) + " lacks " + name;
  }
  return slot != nullptr;
}

}  // namespace tervala::platform
