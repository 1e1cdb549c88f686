#include "codes/SharedLibrary.hpp"

#include <dlfcn.h>

namespace tervala::cli {

std::variant<SharedLibrary, std::string> SharedLibrary::open(const std::string& name) {
  // Bound now, so a library missing one of its own dependencies fails here and not at a call;
  // local, so its symbols resolve nothing else's.
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();  // NOLINT(concurrency-mt-unsafe): the tool loads on one thread
    return std::string(reason != nullptr ? reason : "not loaded");
  }
  return SharedLibrary(handle);
}

void SharedLibrary::Close::operator()(void* handle) const noexcept {
  dlclose(handle);
}

void* SharedLibrary::address(const char* name) const noexcept {
  return dlsym(handle_.get(), name);
}

}  // namespace tervala::cli
