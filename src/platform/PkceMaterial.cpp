#include "platform/PkceMaterial.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <climits>
#include <span>

#include "platform/Base64.hpp"

namespace tervala::platform {
std::optional<SecretText> randomUrlSafeText(std::size_t byteCount) {
  if (byteCount > INT_MAX) {
    return std::nullopt;
  }
  SecretBytes bytes(byteCount);
  if (RAND_bytes(bytes.data(), static_cast<int>(byteCount)) != 1) {
    return std::nullopt;
  }
  return encodeBase64Url(bytes);
}

std::string s256Challenge(std::string_view verifier) {
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(verifier.data(), verifier.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    return {};  // an empty challenge matches no verifier
  }
  const SecretText text = encodeBase64Url(std::span(digest.data(), length));
  return {text.begin(), text.end()};
}

bool equalInConstantTime(std::string_view left, std::string_view right) noexcept {
  // The lengths are no secret; the contents are compared whole.
  return left.size() == right.size() && CRYPTO_memcmp(left.data(), right.data(), left.size()) == 0;
}

}  // namespace tervala::platform
