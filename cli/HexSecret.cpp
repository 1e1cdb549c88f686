#include "HexSecret.hpp"

#include <cstdint>

namespace tervala::cli {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::optional<platform::SecretText> base32OfHex(std::string_view hex) {
  platform::SecretBytes bytes;
  bytes.reserve(hex.size() / 2);
  int high = -1;
  for (const char c : hex) {
    if (c == ' ' || c == '\t') {
      continue;
    }
    const int value = hexValue(c);
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
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  platform::SecretText text;
  text.reserve((bytes.size() * 8 + 4) / 5);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const auto byte : bytes) {
    buffer = (buffer << 8U) | byte;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      text.push_back(alphabet[(buffer >> static_cast<unsigned>(bits)) & 0x1fU]);
    }
  }
  if (bits > 0) {
    text.push_back(alphabet[(buffer << static_cast<unsigned>(5 - bits)) & 0x1fU]);
  }
  platform::cleanse(&buffer, sizeof buffer);
  return text;
}

}  // namespace tervala::cli
