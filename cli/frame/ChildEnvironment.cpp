#include "frame/ChildEnvironment.hpp"

#include <string_view>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace tervala::cli {

std::vector<char*> childEnvironment() {
  std::vector<char*> kept;
  for (char* const* entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with("TERVALA_")) {
      kept.push_back(*entry);
    }
  }
  kept.push_back(nullptr);
  return kept;
}

}  // namespace tervala::cli
