#include "frame/VisibleText.hpp"

#include <algorithm>
#include <cctype>

#include "platform/VisibleText.hpp"

namespace tervala::cli {

std::string visible(std::string_view text) {
  return platform::visibleText(text);
}

std::string shownMessage(std::string_view message) {
  return platform::visibleText(message, platform::Backslash::kept);
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
