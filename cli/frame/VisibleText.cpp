#include "frame/VisibleText.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace tervala::cli {

std::string visible(std::string_view text) {
  constexpr std::array<char, 16> hex{'0', '1', '2', '3', '4', '5', '6', '7',
                                     '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      shown += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      shown.push_back(c);
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      shown += "\\x";
      shown.push_back(hex[byte >> 4U]);
      shown.push_back(hex[byte & 0xfU]);
    }
  }
  return shown;
}

std::string lowered(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string visibleWord(std::string_view word) {
  const std::string lower = lowered(word.substr(0, 8));
  if (lower == "otpauth:" || lower == "otpauth-" || word.find("secret=") != std::string_view::npos ||
      word.find("data=") != std::string_view::npos) {
    return "(a URI, not shown: it may hold a secret)";
  }
  return visible(word);
}

}  // namespace tervala::cli
