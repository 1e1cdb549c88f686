#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervala::platform {

/// Reads the well-formed UTF-8 sequence that starts at `at` (no overlong forms, no surrogates,
/// nothing above U+10FFFF): its code point and its length, or absent.
struct CodePoint {
  char32_t value;
  std::size_t length;
};
std::optional<CodePoint> readCodePoint(std::string_view text, std::size_t at) noexcept;

/// True when every byte of `text` belongs to a well-formed UTF-8 sequence.
bool isWellFormedUtf8(std::string_view text) noexcept;

/// `bytes` as UTF-8 text, with U+FFFD for each byte that starts no well-formed sequence.
std::string decodeUtf8Leniently(std::string_view bytes);

}  // namespace tervala::platform
