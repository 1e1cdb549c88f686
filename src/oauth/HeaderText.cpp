#include "oauth/HeaderText.hpp"

#include <algorithm>

namespace tervala {
namespace {

bool isVisibleOrBlank(char c) noexcept {
  return c >= 0x20 && c <= 0x7E;
}

bool isTokenCharacter(char c) noexcept {
  constexpr std::string_view marks = "!#$%&'*+-.^_`|~";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         marks.find(c) != std::string_view::npos;
}

}  // namespace

bool HeaderText::isAccessToken(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(), isVisibleOrBlank);
}

bool HeaderText::isTokenType(std::string_view text) noexcept {
  return !text.empty() && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

bool HeaderText::isHeaderSafe(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(), isVisibleOrBlank);
}

bool HeaderText::isDpopType(std::string_view text) noexcept {
  constexpr std::string_view dpop = "dpop";
  return text.size() == dpop.size() && std::equal(text.begin(), text.end(), dpop.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a + 32) : a) == b;
         });
}

}  // namespace tervala
