#include "otp/UriText.hpp"

#include "platform/Utf8.hpp"

namespace tervala {
namespace {

char lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text, bool plusIsBlank) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) {
        return std::nullopt;
      }
      const int high = hexDigitValue(text[i + 1]);
      const int low = hexDigitValue(text[i + 2]);
      if (high < 0 || low < 0) {
        return std::nullopt;
      }
      decoded.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      decoded.push_back(plusIsBlank && c == '+' ? ' ' : c);
    }
  }
  return decoded;
}

std::string percentEncode(std::string_view text) {
  static constexpr std::string_view hex = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size() * 3);  // room for every byte escaped: no regrowth leaves a copy behind
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(hex[byte >> 4U]);
      encoded.push_back(hex[byte & 0x0FU]);
    }
  }
  return encoded;
}

std::vector<std::pair<std::string_view, std::string_view>> splitQuery(std::string_view query) {
  std::vector<std::pair<std::string_view, std::string_view>> parts;
  while (!query.empty()) {
    const std::size_t end = query.find('&');
    const std::string_view part = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
    const std::size_t equals = part.find('=');
    parts.emplace_back(part.substr(0, equals),
                       equals == std::string_view::npos ? std::string_view{} : part.substr(equals + 1));
  }
  return parts;
}

bool isPrintableText(std::string_view text) noexcept {
  for (std::size_t at = 0; at < text.size();) {
    const auto point = platform::readCodePoint(text, at);
    if (!point || point->value < 0x20 || (point->value >= 0x7F && point->value <= 0x9F)) {
      return false;
    }
    at += point->length;
  }
  return true;
}

bool equalsIgnoringCase(std::string_view left, std::string_view right) noexcept {
  if (left.size() != right.size()) {
    return false;
  }
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (lower(left[i]) != lower(right[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace tervala
