#pragma once

#include <memory>
#include <string>
#include <variant>

namespace tervala::cli {

/// A shared library loaded while the program runs (dlopen), unloaded when this goes: for a
/// library only one command calls, so that no other command maps it or its chain of libraries.
class SharedLibrary {
 public:
  /// The library of the file name `name` ("libzbar.so.0"), or the loader's reason in one line.
  static std::variant<SharedLibrary, std::string> open(const std::string& name);

  /// The function `name` as a pointer of the type `Function` (take it from the library's header:
  /// `decltype(&zbar_scan_image)`), or null when the library has no such symbol.
  template <class Function>
  [[nodiscard]] Function function(const char* name) const noexcept {
    // A symbol's address from dlsym is a function's where the name is one: POSIX guarantees the
    // conversion.
    return reinterpret_cast<Function>(address(name));  // NOLINT(*-reinterpret-cast)
  }

 private:
  struct Close {
    void operator()(void* handle) const noexcept;
  };
  explicit SharedLibrary(void* handle) noexcept : handle_(handle) {}
  [[nodiscard]] void* address(const char* name) const noexcept;

  std::unique_ptr<void, Close> handle_;
};

}  // namespace tervala::cli
