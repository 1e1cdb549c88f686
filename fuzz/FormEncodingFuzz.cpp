// The form encoder: its output holds only letters, digits, '*', '-', '.', '_', '+' and "%XX" with
// upper-case hex, never encodes a byte that may stand as it is, and decodes back to the input.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "platform/FormEncoding.hpp"

namespace {

using tervala::fuzz::require;

bool standsAsItIs(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
         c == '.' || c == '_';
}

std::optional<int> upperHexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return std::nullopt;
}

// An independent decoder that also enforces the canonical form: absent when the text holds
// anything the encoder must not write.
std::optional<std::string> strictDecode(std::string_view encoded) {
  std::string decoded;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '+') {
      decoded.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= encoded.size()) {
        return std::nullopt;
      }
      const auto high = upperHexValue(encoded[i + 1]);
      const auto low = upperHexValue(encoded[i + 2]);
      if (!high || !low) {
        return std::nullopt;
      }
      const auto byte = static_cast<unsigned char>(*high * 16 + *low);
      if (standsAsItIs(byte) || byte == ' ') {
        return std::nullopt;  // encoded although it had a shorter form
      }
      decoded.push_back(static_cast<char>(byte));
      i += 2;
    } else if (standsAsItIs(static_cast<unsigned char>(c))) {
      decoded.push_back(c);
    } else {
      return std::nullopt;
    }
  }
  return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string encoded(tervala::platform::view(tervala::platform::formUrlEncode(input)));
  const std::optional<std::string> decoded = strictDecode(encoded);
  require(decoded.has_value(), "only unreserved characters, '+' and canonical %XX are written");
  require(*decoded == input, "the encoded text decodes back to the input bytes");
  return 0;
}
