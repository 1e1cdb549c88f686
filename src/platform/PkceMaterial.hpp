#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SecureMemory.hpp"

namespace tervala::platform {

/// `byteCount` bytes from OpenSSL's CSPRNG as unpadded Base64url text (RFC 4648 section 5), so
/// every character is an unreserved one of RFC 3986; absent when the generator fails.
std::optional<SecretText> randomUrlSafeText(std::size_t byteCount);

/// The PKCE S256 challenge of `verifier` (RFC 7636 section 4.2): unpadded Base64url of its
/// SHA-256.
std::string s256Challenge(std::string_view verifier);

/// True when both texts are equal, compared in time that does not depend on where they differ.
bool equalInConstantTime(std::string_view left, std::string_view right) noexcept;

}  // namespace tervala::platform
