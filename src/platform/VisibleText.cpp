#include "platform/VisibleText.hpp"

#include <array>
#include <cstdint>
#include <utility>

#include "platform/Utf8.hpp"

namespace tervala::platform {
namespace {

// The format characters (general category Cf) and separators (Zl, Zp) above U+009F, as of
// Unicode 15.1, with the unassigned rest of the tag block; C0, DEL and C1 are tested apart.
constexpr std::array<std::pair<char32_t, char32_t>, 20> hiddenRanges{{
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE007F},
}};

constexpr std::string_view hexDigits = "0123456789abcdef";

void appendHex(std::string& out, std::uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out.push_back(hexDigits[(value >> static_cast<unsigned>(shift)) & 0xFU]);
  }
}

}  // namespace

bool isHiddenCharacter(char32_t value) noexcept {
  if (value < 0x20 || (value >= 0x7F && value <= 0x9F)) {
    return true;
  }
  for (const auto& [first, last] : hiddenRanges) {
    if (value < first) {
      return false;
    }
    if (value <= last) {
      return true;
    }
  }
  return false;
}

std::string visibleText(std::string_view text, Backslash backslash) {
  std::string shown;
  shown.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const auto point = readCodePoint(text, at);
    if (!point) {
      shown += "\\x";
      appendHex(shown, static_cast<unsigned char>(text[at]), 2);
      ++at;
      continue;
    }
    const char32_t value = point->value;
    if (value == '\\') {
      shown += backslash == Backslash::doubled ? "\\\\" : "\\";
    } else if (value == '\r') {
      shown += "\\r";
    } else if (value == '\n') {
      shown += "\\n";
    } else if (value == '\t') {
      shown += "\\t";
    } else if (value < 0x20 || value == 0x7F) {
      shown += "\\x";
      appendHex(shown, value, 2);
    } else if (isHiddenCharacter(value)) {
      shown += value > 0xFFFF ? "\\U" : "\\u";
      appendHex(shown, value, value > 0xFFFF ? 8 : 4);
    } else {
      shown.append(text.substr(at, point->length));
    }
    at += point->length;
  }
  return shown;
}

std::string visibleJson(std::string_view json) {
  std::string shown;
  shown.reserve(json.size());
  std::size_t at = 0;
  while (at < json.size()) {
    const auto point = readCodePoint(json, at);
    if (point && !isHiddenCharacter(point->value)) {
      shown.append(json.substr(at, point->length));
      at += point->length;
      continue;
    }
    const char32_t value = point ? point->value : 0xFFFD;
    if (value > 0xFFFF) {
      const char32_t offset = value - 0x10000;
      shown += "\\u";
      appendHex(shown, 0xD800 + (offset >> 10U), 4);
      shown += "\\u";
      appendHex(shown, 0xDC00 + (offset & 0x3FFU), 4);
    } else {
      shown += "\\u";
      appendHex(shown, value, 4);
    }
    at += point ? point->length : 1;
  }
  return shown;
}

}  // namespace tervala::platform
