#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "oauth/DpopKey.hpp"

namespace tervala {

/// The request a proof is made for.
struct DpopTarget {
  std::string_view method;  ///< "POST" for a token request
  std::string_view url;     ///< the request's URL; its query and fragment stay out of the proof
  /// The server's last DPoP-Nonce, when it asked for one.
  std::optional<std::string_view> nonce{};
  /// The access token a resource request presents (a secret): only its hash enters the proof.
  std::optional<std::string_view> accessToken{};
};

/// Why no proof was made; each names the part of the request at fault, never its value.
enum class DpopRefusal {
  Method,       // not an HTTP method token
  Url,          // no http(s) URL, user information, or a character beyond visible ASCII
  Nonce,        // empty, or a character a nonce may not hold
  AccessToken,  // empty, or not text a header can carry
  Signing,      // OpenSSL could not make the jti or the signature
};
std::string_view describe(DpopRefusal refusal) noexcept;

/// Whether a server's nonce may be sent back: one or more of %x21, %x23-5B and %x5D-7E, which
/// leaves out the blank, '"' and '\'.
[[nodiscard]] bool isDpopNonce(std::string_view text) noexcept;

/// A DPoP proof for one request: a compact JWS of type dpop+jwt carrying the key's public JWK,
/// signed over htm, htu, iat (whole seconds of `now`), a fresh random jti, and the nonce and the
/// token's hash (ath) when given.
std::variant<std::string, DpopRefusal> makeDpopProof(
    const DpopKey& key, const DpopTarget& target,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace tervala
