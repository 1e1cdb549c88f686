#include "platform/FormEncoding.hpp"

namespace tervala::platform {
namespace {

constexpr bool keptAsIs(unsigned char byte) noexcept {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
         byte == '*' || byte == '-' || byte == '.' || byte == '_';
}

}  // namespace

SecretText formUrlEncode(std::string_view text) {
  constexpr std::string_view hexDigits = "0123456789ABCDEF";
  SecretText encoded;
  encoded.reserve(3 * text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (keptAsIs(byte)) {
      encoded.push_back(c);
    } else if (byte == ' ') {
      encoded.push_back('+');
    } else {
      encoded.push_back('%');
      encoded.push_back(hexDigits[byte >> 4U]);
      encoded.push_back(hexDigits[byte & 0x0FU]);
    }
  }
  return encoded;
}

}  // namespace tervala::platform
