#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "platform/SecureMemory.hpp"

namespace tervala::platform {

/// Standard Base64 (RFC 4648 section 4) with "=" padding.
SecretText encodeBase64(std::span<const std::uint8_t> bytes);

/// Decodes standard Base64; the padding may be left out. Absent for any other character, a
/// misplaced "=", or a length no encoding has.
std::optional<SecretBytes> decodeBase64(std::string_view text);

/// Base64url without padding (RFC 4648 section 5), as JOSE and PKCE write it.
SecretText encodeBase64Url(std::span<const std::uint8_t> bytes);

/// Decodes unpadded Base64url; absent for padding, the standard alphabet's "+" and "/", or unused
/// trailing bits that are not zero, so that each value has exactly one spelling.
std::optional<SecretBytes> decodeBase64Url(std::string_view text);

}  // namespace tervala::platform
