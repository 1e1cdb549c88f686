#include "codes/HexSecret.hpp"

#include <cstdint>

#include "otp/UriText.hpp"
#include "text/Base32Secret.hpp"

namespace tervala::cli {

std::optional<platform::SecretText> base32OfHex(std::string_view hex) {
  platform::SecretBytes bytes;
  bytes.reserve(hex.size() / 2);
  int high = -1;
  for (const char c : hex) {
    if (c == ' ' || c == '\t') {
      continue;
    }
    const int value = hexDigitValue(c);
    if (value < 0) {
      return std::nullopt;
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0 || bytes.empty()) {
    return std::nullopt;
  }
  return encodeBase32(bytes);
}

}  // namespace tervala::cli
