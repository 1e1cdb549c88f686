#include "text/Base32Secret.hpp"

#include <tervala/OtpSecret.hpp>

#include <array>
#include <cstdint>

namespace tervala {
namespace {

constexpr std::string_view alphabet = base32Alphabet;
constexpr int notInAlphabet = -1;

int valueOf(char c) noexcept {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a';
  }
  if (c >= '2' && c <= '7') {
    return c - '2' + 26;
  }
  return notInAlphabet;
}

std::string_view trimBlanks(std::string_view text) noexcept {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::optional<platform::SecretText> canonicalBase32(std::string_view text) {
  text = trimBlanks(text);
  std::size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  if (padding == 2 || padding == 5 || padding > 6) {
    return std::nullopt;  // the run lengths the generators refuse
  }
  text.remove_suffix(padding);
  platform::SecretText canonical;
  canonical.reserve(text.size());
  for (const char c : text) {
    if (c == ' ') {
      continue;
    }
    const int value = valueOf(c);
    if (value == notInAlphabet) {
      return std::nullopt;
    }
    canonical.push_back(alphabet[static_cast<std::size_t>(value)]);
  }
  const std::size_t remainder = canonical.size() % 8;
  if (canonical.empty() || remainder == 1 || remainder == 3 || remainder == 6) {
    return std::nullopt;
  }
  return canonical;
}

std::string base32Refusal(std::string_view text) {
  const std::size_t last = text.find_last_not_of(' ');
  std::size_t padding = 0;
  while (last != std::string_view::npos && padding <= last && text[last - padding] == '=') {
    ++padding;
  }
  // Positions count from 1 in the text as given, blanks included.
  const std::size_t body = last == std::string_view::npos ? 0 : last + 1 - padding;
  std::size_t letters = 0;
  for (std::size_t at = 0; at < body; ++at) {
    if (text[at] == ' ') {
      continue;
    }
    if (valueOf(text[at]) == notInAlphabet) {
      return "character " + std::to_string(at + 1) + " is none of A-Z and 2-7";
    }
    ++letters;
  }
  if (padding == 2 || padding == 5 || padding > 6) {
    return "it ends in " + std::to_string(padding) + " '=', which Base32 never does";
  }
  if (letters == 0) {
    return "it is empty";
  }
  return "no Base32 text is " + std::to_string(letters) + " characters long (blanks and '=' aside)";
}

platform::SecretBytes decodeCanonicalBase32(std::string_view canonical) {
  platform::SecretBytes bytes;
  bytes.reserve(canonical.size() * 5 / 8);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const char c : canonical) {
    buffer = (buffer << 5U) | static_cast<std::uint32_t>(valueOf(c));
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>(buffer >> static_cast<unsigned>(bits)));
      buffer &= (1U << static_cast<unsigned>(bits)) - 1U;
    }
  }
  return bytes;
}

std::optional<std::string> base32WithoutBlanks(std::string_view text) {
  std::string result;
  result.reserve(text.size());  // one block, so no partial copy is left behind by growing
  for (const char c : text) {
    if (c != ' ') {
      result.push_back(c);
    }
  }
  if (result.empty()) {
    return std::nullopt;
  }
  return result;
}

std::optional<SecretStrength> secretStrength(std::string_view base32) {
  const auto canonical = canonicalBase32(base32);
  if (!canonical) {
    return std::nullopt;
  }
  return SecretStrength{decodeCanonicalBase32(platform::view(*canonical)).size() * 8};
}

}  // namespace tervala
