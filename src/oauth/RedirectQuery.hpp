#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/SecureMemory.hpp"

namespace tervala {

/// The fields of a redirect's query (the text after "?" up to any "#"), form-decoded: "+" is a
/// blank and "%XX" a byte. The values may hold codes, so they live in wiped memory.
class RedirectQuery {
 public:
  /// Absent when the text has no query or a "%" not followed by two hex digits.
  static std::optional<RedirectQuery> parse(std::string_view redirect);

  /// How often field `name` occurs.
  [[nodiscard]] std::size_t count(std::string_view name) const noexcept;
  /// The first value of field `name`, or absent.
  [[nodiscard]] const platform::SecretText* find(std::string_view name) const noexcept;

 private:
  std::vector<std::pair<std::string, platform::SecretText>> fields_;
};

}  // namespace tervala
