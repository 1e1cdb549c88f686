#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Checked.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The private key a client signs its client assertions with (`ClientAuthentication::privateKeyJwt`):
/// RSA of 2048 bits or more, EC P-256 or P-384, or Ed25519, read from an unencrypted PEM private
/// key (PKCS #8, or the traditional RSA and EC forms). The key lives inside OpenSSL, which wipes
/// it when the last copy of this value goes; copies share it.
class TERVALA_EXPORT ClientKey {
 public:
  /// How an RSA key signs: RS256 (PKCS #1 v1.5, the default) or PS256 (PSS).
  enum class RsaSignature { rs256, ps256 };

  /// The key of `pem`, with `keyId` sent as the assertion's "kid" when given. The reason of a
  /// refusal says what the text is instead (no PEM, an encrypted key, a public key or
  /// certificate, a curve or key type that cannot sign assertions, a short RSA key) and never
  /// quotes it.
  static Checked<ClientKey> fromPem(std::string_view pem, std::optional<std::string> keyId = std::nullopt,
                                    RsaSignature rsa = RsaSignature::rs256);
  /// The same, read from the file at `path`; the text read is wiped once the key is made.
  static Checked<ClientKey> fromPemFile(const std::string& path,
                                        std::optional<std::string> keyId = std::nullopt,
                                        RsaSignature rsa = RsaSignature::rs256);

  /// The signature algorithm the key's assertions name: "RS256", "PS256", "ES256", "ES384" or
  /// "EdDSA".
  [[nodiscard]] std::string_view algorithm() const noexcept;
  /// The "kid" the assertions carry, when one was given.
  [[nodiscard]] const std::optional<std::string>& keyId() const noexcept;
  /// The public half as a JWK object in JSON text, for registering the client with its server.
  [[nodiscard]] std::string publicJwk() const;

  struct Held;  ///< the key as the library signs with it

 private:
  friend struct ClientKeyAccess;
  explicit ClientKey(std::shared_ptr<const Held> held) : held_(std::move(held)) {}
  std::shared_ptr<const Held> held_;
};

}  // namespace tervala
