#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tervala/ClientKey.hpp>

#include "jose/Jwk.hpp"
#include "jose/JwsAlgorithm.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {

/// The key as assertions are signed with it: OpenSSL's key, its algorithm, and the protected
/// header every assertion of this key sends, encoded once.
struct ClientKey::Held {
  jose::Jwk key;
  jose::JwsAlgorithm algorithm;
  std::optional<std::string> keyId;
  std::string encodedHeader;
};

/// The library's side door to a host's key.
struct ClientKeyAccess {
  static const ClientKey::Held& held(const ClientKey& key) noexcept { return *key.held_; }
  static ClientKey make(std::shared_ptr<const ClientKey::Held> held) { return ClientKey(std::move(held)); }
};

/// The "client_assertion_type" of a JWT client assertion.
inline constexpr std::string_view jwtBearerAssertionType =
    "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
/// How long an assertion is good for: long enough for a slow request, short enough that a copy
/// seen on the way is soon worth nothing.
inline constexpr std::chrono::seconds assertionLifetime{60};
/// HS256 keys shorter than the hash are refused: a short secret is guessable offline from any
/// one assertion.
inline constexpr std::size_t minimumHmacSecretBytes = 32;

/// Who an assertion speaks for and to: iss and sub are the client id, aud the server.
struct AssertionParty {
  std::string_view clientId;
  std::string_view audience;
  /// The "sub" when it is not the client id (a JWT bearer grant's service account).
  std::string_view subject = {};
  std::chrono::seconds lifetime = assertionLifetime;
};

/// A client assertion signed with `key`: iss, sub, aud, a fresh random jti, iat (whole seconds of
/// `now`) and exp an `assertionLifetime` later. On failure, a one-line reason naming no secret.
std::variant<platform::SecretText, std::string> keyAssertion(
    const ClientKey& key, const AssertionParty& party,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

/// The same claims MACed with HS256 under the client secret (client_secret_jwt); refused for a
/// secret shorter than `minimumHmacSecretBytes`.
std::variant<platform::SecretText, std::string> secretAssertion(
    std::string_view secret, const AssertionParty& party,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace tervala
