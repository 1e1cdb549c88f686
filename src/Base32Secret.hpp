#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "platform/SecureMemory.hpp"

namespace tervala {

/// A secret's Base32 text in the one form the library writes: upper case, no blanks, no
/// padding. Accepts what the generators accept (any case, padding of 1, 3, 4 or 6 "=" or none)
/// and blanks between groups; absent otherwise, and for an empty secret. Writes no debug line.
std::optional<platform::SecretText> canonicalBase32(std::string_view text);

/// The decoded bytes of a canonical text.
platform::SecretBytes decodeCanonicalBase32(std::string_view canonical);

/// `bytes` as canonical Base32 text.
platform::SecretText encodeBase32(std::span<const std::uint8_t> bytes);

}  // namespace tervala
