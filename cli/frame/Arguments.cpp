#include "frame/Arguments.hpp"

namespace tervala::cli {

std::optional<std::string_view> Arguments::value(std::string_view name) const {
  const auto found = values_.find(name);
  if (found == values_.end() || found->second.empty()) {
    return std::nullopt;
  }
  return found->second.back();
}

std::vector<std::string> Arguments::values(std::string_view name) const {
  const auto found = values_.find(name);
  return found == values_.end() ? std::vector<std::string>{} : found->second;
}

const platform::SecretText* Arguments::secret(std::string_view name) const {
  const auto found = secrets_.find(name);
  return found == secrets_.end() ? nullptr : &found->second;
}

}  // namespace tervala::cli
