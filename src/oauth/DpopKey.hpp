#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <variant>

#include "jose/JoseRefusal.hpp"
#include "jose/Jwk.hpp"
#include "jose/JwsAlgorithm.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {

/// The key a sender-constrained token is bound to: ES256 (P-256) or EdDSA (Ed25519), made by
/// OpenSSL. Its private half lives inside OpenSSL's key; exported, only in wiped buffers, to be
/// kept with the token it is bound to and never shown.
class DpopKey {
 public:
  /// A new key from OpenSSL's generator. UnsupportedAlgorithm for any algorithm but ES256 and
  /// EdDSA; BadKey when OpenSSL could not make one.
  static std::variant<DpopKey, jose::JoseRefusal> generate(
      jose::JwsAlgorithm algorithm = jose::JwsAlgorithm::ES256);

  /// The key again from the text `privateJwk` wrote. Only the key's own members are read; a
  /// public key, or a key of another type or curve, is refused.
  static std::variant<DpopKey, jose::JoseRefusal> fromPrivateJwk(std::string_view text);

  /// The private JWK as JSON text: a secret, kept with the token.
  [[nodiscard]] platform::SecretText privateJwk() const;

  /// The public JWK, the proof's "jwk" header: the public members and nothing else.
  [[nodiscard]] const nlohmann::json& publicJwk() const noexcept { return publicJwk_; }
  /// Its RFC 7638 thumbprint, the authorization request's dpop_jkt and a bound token's jkt.
  [[nodiscard]] const std::string& thumbprint() const noexcept { return thumbprint_; }
  /// The protected header of every proof this key signs (typ, alg, the public jwk), encoded once.
  [[nodiscard]] const std::string& proofHeader() const noexcept { return proofHeader_; }
  [[nodiscard]] jose::JwsAlgorithm algorithm() const noexcept { return algorithm_; }
  [[nodiscard]] const jose::Jwk& jwk() const noexcept { return key_; }

 private:
  DpopKey(jose::Jwk key, jose::JwsAlgorithm algorithm);
  static std::variant<DpopKey, jose::JoseRefusal> from(std::variant<jose::Jwk, jose::JoseRefusal> made);

  jose::Jwk key_;
  jose::JwsAlgorithm algorithm_;
  nlohmann::json publicJwk_;
  std::string thumbprint_;
  std::string proofHeader_;
};

}  // namespace tervala
