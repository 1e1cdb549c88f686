#include "platform/Utf8.hpp"

namespace tervala::platform {

std::optional<CodePoint> readCodePoint(std::string_view text, std::size_t at) noexcept {
  if (at >= text.size()) {
    return std::nullopt;
  }
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return CodePoint{lead, 1};
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - at < length) {
    return std::nullopt;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) {
      return std::nullopt;
    }
    value = (value << 6) | (byte(i) & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return std::nullopt;
  }
  return CodePoint{value, length};
}

bool isWellFormedUtf8(std::string_view text) noexcept {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto point = readCodePoint(text, at);
    if (!point) {
      return false;
    }
    at += point->length;
  }
  return true;
}

std::string decodeUtf8Leniently(std::string_view bytes) {
  static constexpr std::string_view replacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (const auto point = readCodePoint(bytes, at)) {
      text.append(bytes.substr(at, point->length));
      at += point->length;
    } else {
      text.append(replacement);
      ++at;
    }
  }
  return text;
}

}  // namespace tervala::platform
