#include "platform/FormEncoding.hpp"

namespace tervala::platform {
namespace {

constexpr bool keptAsIs(unsigned char byte) noexcept {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
         byte == '*' || byte == '-' || byte == '.' || byte == '_';
}

}  // namespace

std::string formUrlEncode(std::string_view text) {
  constexpr std::string_view hexDigits = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size() + text.size() / 2);
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
