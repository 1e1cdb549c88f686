#pragma once

#include <optional>
#include <string_view>

#include "platform/SecureMemory.hpp"

namespace tervala {

class OAuthToken;

/// The DPoP keys of bound tokens, as the private JWK text each was stored with, held beside the
/// tokens (whose layout the binary interface fixes) and wiped when the token goes. Only text is
/// kept here, so a program that reads and prints stored tokens never loads the signing code.
class TokenKeyBinding {
 public:
  static void bind(const OAuthToken& token, std::optional<std::string_view> privateJwk);
  [[nodiscard]] static std::optional<platform::SecretText> of(const OAuthToken& token);
  /// Gives `to` the key of `from` (none when `from` has none).
  static void copy(const OAuthToken& from, const OAuthToken& to);
  static void unbind(const OAuthToken& token) noexcept;
};

/// The archive key under which a bound token keeps its key.
inline constexpr std::string_view proofKeyArchiveKey = "proofKey";

}  // namespace tervala
