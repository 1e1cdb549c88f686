#include <tervala/HmacAlgorithm.hpp>

#include <array>
#include <string>

#include "platform/Utf8.hpp"

namespace tervala {
namespace {

// The full upper-case forms of every non-ASCII code point whose upper case is pure ASCII. Any
// other non-ASCII code point upper-cases to text with a non-ASCII character, so a name holding
// one can never equal an algorithm name.
struct AsciiUpperCase {
  char32_t codePoint;
  std::string_view upper;
};
constexpr std::array<AsciiUpperCase, 10> asciiUpperCases{{
    {U'\u00DF', "SS"},  // sharp s
    {U'\u0131', "I"},   // dotless i
    {U'\u017F', "S"},   // long s
    {U'\uFB00', "FF"},
    {U'\uFB01', "FI"},
    {U'\uFB02', "FL"},
    {U'\uFB03', "FFI"},
    {U'\uFB04', "FFL"},
    {U'\uFB05', "ST"},
    {U'\uFB06', "ST"},
}};

constexpr std::size_t longestName = 6;

// The upper case of `name` when it is pure ASCII and short enough to be a name; else absent.
std::optional<std::string> asciiUpperCase(std::string_view name) {
  std::string upper;
  std::size_t at = 0;
  while (at < name.size()) {
    const auto point = platform::readCodePoint(name, at);
    if (!point) {
      return std::nullopt;
    }
    at += point->length;
    if (point->value < 0x80) {
      const auto c = static_cast<char>(point->value);
      upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    } else {
      bool found = false;
      for (const auto& entry : asciiUpperCases) {
        if (entry.codePoint == point->value) {
          upper.append(entry.upper);
          found = true;
          break;
        }
      }
      if (!found) {
        return std::nullopt;
      }
    }
    if (upper.size() > longestName) {
      return std::nullopt;
    }
  }
  return upper;
}

}  // namespace

std::optional<HmacAlgorithm> hmacAlgorithmFromName(std::string_view name) {
  try {
    const auto upper = asciiUpperCase(name);
    if (!upper) {
      return std::nullopt;
    }
    if (*upper == "SHA1") {
      return hmacAlgorithmFromRawValue(0);
    }
    if (*upper == "SHA256") {
      return hmacAlgorithmFromRawValue(1);
    }
    if (*upper == "SHA512") {
      return hmacAlgorithmFromRawValue(2);
    }
  } catch (...) {
  }
  return std::nullopt;
}

std::optional<HmacAlgorithm> hmacAlgorithmFromRawValue(std::int64_t rawValue) noexcept {
  switch (rawValue) {
    case 0:
      return HmacAlgorithm::SHA1;
    case 1:
      return HmacAlgorithm::SHA256;
    case 2:
      return HmacAlgorithm::SHA512;
    default:
      return std::nullopt;
  }
}

HmacAlgorithmInfo getCCHmacAlgorithmInfo(HmacAlgorithm algorithm) noexcept {
  switch (algorithm) {
    case HmacAlgorithm::SHA256:
      return {2, 32};
    case HmacAlgorithm::SHA512:
      return {4, 64};
    case HmacAlgorithm::SHA1:
    default:
      return {0, 20};
  }
}

}  // namespace tervala
