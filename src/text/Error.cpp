#include <tervala/Error.hpp>

namespace tervala {

Error Error::make(std::string_view domain, std::int64_t code, std::string_view description,
                  std::optional<std::string_view> failureReason) {
  Error error;
  error.domain = domain;
  error.code = code;
  error.userInfo.emplace(localizedDescriptionKey, description);
  if (failureReason) {
    error.userInfo.emplace(localizedFailureReasonKey, *failureReason);
  }
  return error;
}

std::string Error::localizedDescription() const {
  if (const auto found = userInfo.find(localizedDescriptionKey); found != userInfo.end()) {
    return found->second;
  }
  return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const {
  if (const auto found = userInfo.find(localizedFailureReasonKey); found != userInfo.end()) {
    return found->second;
  }
  return std::nullopt;
}

}  // namespace tervala
