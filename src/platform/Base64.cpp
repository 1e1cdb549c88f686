#include "platform/Base64.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace tervala::platform {
namespace {

bool isBase64Character(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

SecretText encodeBase64(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX / 4 * 3)) {
    return {};
  }
  SecretText text(4 * ((bytes.size() + 2) / 3) + 1);  // EVP_EncodeBlock writes a NUL after the text
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                      static_cast<int>(bytes.size()));
  text.resize(written < 0 ? 0 : static_cast<std::size_t>(written));
  return text;
}

std::optional<SecretBytes> decodeBase64(std::string_view text) {
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  if (padding > 0 && text.size() % 4 != 0) {
    return std::nullopt;  // padding, when written, fills the last group exactly
  }
  text.remove_suffix(padding);
  const std::size_t remainder = text.size() % 4;
  if (remainder == 1 || text.size() > static_cast<std::size_t>(INT_MAX / 2)) {
    return std::nullopt;
  }
  for (const char c : text) {
    if (!isBase64Character(c)) {
      return std::nullopt;
    }
  }
  // EVP_DecodeBlock wants whole groups; the padding it needs is put back here.
  SecretText padded(text.begin(), text.end());
  padded.resize(text.size() + (remainder == 0 ? 0 : 4 - remainder), '=');
  SecretBytes bytes(padded.size() / 4 * 3);
  const int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(padded.data()),
                                      static_cast<int>(padded.size()));
  if (decoded < 0) {
    return std::nullopt;
  }
  // EVP_DecodeBlock counts the padding as zero bytes; they are not data.
  bytes.resize(static_cast<std::size_t>(decoded) - (remainder == 0 ? 0 : 4 - remainder));
  return bytes;
}

SecretText encodeBase64Url(std::span<const std::uint8_t> bytes) {
  SecretText text = encodeBase64(bytes);
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  while (!text.empty() && text.back() == '=') {
    text.pop_back();
  }
  return text;
}

std::optional<SecretBytes> decodeBase64Url(std::string_view text) {
  SecretText standard(text.begin(), text.end());
  for (char& c : standard) {
    if (c == '-') {
      c = '+';
    } else if (c == '_') {
      c = '/';
    } else if (c == '+' || c == '/' || c == '=') {
      return std::nullopt;
    }
  }
  // A spelling whose unused trailing bits are set decodes to the same bytes as the canonical one.
  if (const std::size_t remainder = text.size() % 4; remainder >= 2) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const std::size_t last = alphabet.find(text.back());
    if (last == std::string_view::npos || (last & (remainder == 2 ? 0x0F : 0x03)) != 0) {
      return std::nullopt;
    }
  }
  return decodeBase64(view(standard));
}

}  // namespace tervala::platform
