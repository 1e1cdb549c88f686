#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/SecureMemory.hpp"

namespace tervala {

/// A secret's Base32 text in the one form the library writes: upper case, no blanks, no
/// padding. Accepts what the generators accept (any case, padding of 1, 3, 4 or 6 "=" or none)
/// and blanks between groups; absent otherwise, and for an empty secret. Writes no debug line.
std::optional<platform::SecretText> canonicalBase32(std::string_view text);

/// Why `canonicalBase32` refuses `text`: the position of the first character outside the
/// alphabet, a run of "=" it never ends in, or a length no Base32 text has. Never a character of
/// the text, which is a secret.
std::string base32Refusal(std::string_view text);

/// The bytes of Base32 text read as `fromBase32` reads it (which returns a copy of them): absent
/// for text it refuses. Writes its debug lines.
std::optional<platform::SecretBytes> decodeBase32(std::string_view text);

/// The decoded bytes of a canonical text.
platform::SecretBytes decodeCanonicalBase32(std::string_view canonical);

inline constexpr std::string_view base32Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

/// `bytes` as canonical Base32 text. Inline, so the tool (which sees only the library's exported
/// names when it is shared) writes keys with the same code.
inline platform::SecretText encodeBase32(std::span<const std::uint8_t> bytes) {
  platform::SecretText text;
  text.reserve((bytes.size() * 8 + 4) / 5);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const std::uint8_t byte : bytes) {
    buffer = ((buffer << 8U) | byte) & 0xFFFFU;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      text.push_back(base32Alphabet[(buffer >> static_cast<unsigned>(bits)) & 31U]);
    }
  }
  if (bits > 0) {
    text.push_back(base32Alphabet[(buffer << static_cast<unsigned>(5 - bits)) & 31U]);
  }
  platform::cleanse(&buffer, sizeof buffer);
  return text;
}

}  // namespace tervala
