#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Checked.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The key a DPoP-bound token is bound to (RFC 9449): ES256 (P-256, the default) or EdDSA
/// (Ed25519), made by OpenSSL, which holds the private half and wipes it when the last copy of
/// this value goes; copies share it. Given to `OAuthContext::setProofKey`, every token request
/// carries a proof signed with it, and the token granted is bound to it.
class TERVALA_EXPORT ProofKey {
 public:
  enum class Algorithm { es256, eddsa };

  /// A new key from OpenSSL's generator.
  static Checked<ProofKey> generate(Algorithm algorithm = Algorithm::es256);
  /// The key again from the text `privateJwk` wrote; a public key, or a key of another type or
  /// curve, is refused. The reason never quotes the text.
  static Checked<ProofKey> fromPrivateJwk(std::string_view text);

  /// The private JWK as JSON text: a secret, to be kept with the token it is bound to and wiped
  /// by the caller once stored.
  [[nodiscard]] std::string privateJwk() const;
  /// The RFC 7638 thumbprint of the public key (base64url): the authorization request's
  /// "dpop_jkt", and the "jkt" a server binds the token to.
  [[nodiscard]] const std::string& thumbprint() const noexcept;
  /// "ES256" or "EdDSA".
  [[nodiscard]] std::string_view algorithm() const noexcept;
  /// A proof for one request: `method` and `url` (its query and fragment left out), the server's
  /// nonce when it asked for one, and the hash of `accessToken` for a resource request. Each call
  /// makes a new proof (a fresh "jti" and the current "iat").
  [[nodiscard]] Checked<std::string> proof(std::string_view method, std::string_view url,
                                           std::optional<std::string_view> nonce = std::nullopt,
                                           std::optional<std::string_view> accessToken = std::nullopt) const;

  struct Held;  ///< the key as the library signs with it

 private:
  friend struct ProofKeyMaker;
  explicit ProofKey(std::shared_ptr<const Held> held) : held_(std::move(held)) {}
  std::shared_ptr<const Held> held_;
};

/// The two header values of a request made with a DPoP-bound token: "Authorization" ("DPoP "
/// and the token) and "DPoP" (the proof). Both hold secrets and are wiped when the value goes.
struct TERVALA_EXPORT ProofHeaders {
  std::string authorization;
  std::string dpop;

  ProofHeaders() = default;
  ProofHeaders(std::string authorizationValue, std::string dpopValue)
      : authorization(std::move(authorizationValue)), dpop(std::move(dpopValue)) {}
  ProofHeaders(const ProofHeaders&) = default;
  ProofHeaders& operator=(const ProofHeaders&) = default;
  ProofHeaders(ProofHeaders&&) = default;
  ProofHeaders& operator=(ProofHeaders&&) = default;
  ~ProofHeaders();
};

}  // namespace tervala
