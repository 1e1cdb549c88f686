#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/Error.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// What a verified OpenID Connect ID token says of the person who logged in: the claims the
/// verification relied on, the common profile claims, and the whole claim set as JSON text.
struct TERVALA_EXPORT IdTokenClaims {
  std::string subject;
  std::string issuer;
  std::vector<std::string> audience;
  Date expiry;
  Date issuedAt;
  std::optional<std::string> email;
  std::optional<std::string> name;
  /// The payload's JSON object as the provider signed it.
  std::string json;
};

/// Verifies the ID token of a code exchange before anything of it is believed: its signature by
/// a key of the provider's JWK set (fetched from `jwksUri` through the library's transport,
/// cached per URL for its lifetime, fetched again for an unknown "kid" at most once a minute),
/// "iss", "aud", "azp", "exp" and "iat" with a bounded clock skew, the request's "nonce", and
/// "at_hash" when present. Refused always: "alg" none, HMAC algorithms, an "alg" the key does not
/// fit. Blocking, on the calling thread; safe from several threads at once.
class TERVALA_EXPORT IdTokenVerifier {
 public:
  /// What the token must match.
  struct Expected {
    std::string issuer;
    std::string clientId;
    std::string jwksUri;
    /// The nonce the authorization request sent; absent when it sent none.
    std::optional<std::string> nonce;
    /// The access token issued with it, for "at_hash"; absent: "at_hash" is not checked.
    std::optional<std::string> accessToken;
  };
  using Result = std::variant<IdTokenClaims, Error>;

  /// Clock skew allowed on "exp" and "iat", in seconds.
  static constexpr int allowedSkewSeconds = 60;

  /// The verified claims, or an error whose reason names the check that failed.
  static Result verify(std::string_view idToken, const Expected& expected);
  static Result verify(std::string_view idToken, const Expected& expected, Date now);
};

}  // namespace tervala
