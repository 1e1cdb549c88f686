#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "frame/Commands.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::cli {

/// The most a secret read from standard input or a file may hold.
constexpr std::size_t maxSecretInput = std::size_t{64} * 1024;

/// Standard input without one trailing line break ("\n" or "\r\n"); absent when it holds more
/// than `maxSecretInput` bytes.
std::optional<platform::SecretText> readStandardInput(std::istream& in);

/// The file at `path` without one trailing line break. A file that its group or others may read
/// is still read, with a one-line warning on `warnings`: the secret may already have leaked.
std::variant<platform::SecretText, UsageError> readSecretFile(const std::string& path,
                                                              std::ostream& warnings);

/// A whole decimal number of type `Number`, nothing before or after it; floating-point numbers
/// must be finite.
template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  const auto* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc{} || at != end) {
    return std::nullopt;
  }
  if constexpr (std::is_floating_point_v<Number>) {
    if (!std::isfinite(value)) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace tervala::cli
