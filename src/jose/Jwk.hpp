#pragma once

#include <openssl/evp.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "jose/JoseRefusal.hpp"

namespace tervala::jose {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
/// OpenSSL's key, freed (and its private parts wiped by OpenSSL) when the holder goes.
using PkeyHandle = std::unique_ptr<EVP_PKEY, PkeyFree>;

enum class KeyType { Rsa, Ec, Okp };
enum class KeyOperation { Sign, Verify };

/// One JSON Web Key (RFC 7517) held as an OpenSSL key: RSA, EC P-256/P-384 or OKP Ed25519,
/// public or private. Its private members live only inside OpenSSL's key, never in this object.
class Jwk {
 public:
  /// Reads a JWK object; refuses unknown key types and curves, members that are not unpadded
  /// base64url of the right length, RSA moduli under 2048 bits and points off the curve.
  static std::variant<Jwk, JoseRefusal> fromJson(const nlohmann::json& member);

  /// Wraps a key OpenSSL made (a generated DPoP key, a PEM file's key).
  static std::variant<Jwk, JoseRefusal> fromKey(PkeyHandle key);

  /// The JWK object with the public members, and the private ones too when asked and held
  /// (the caller wipes such a result); kid, use, key_ops and alg as read.
  nlohmann::json toJson(bool withPrivate = false) const;

  /// RFC 7638: SHA-256 over the required public members in lexicographic order, base64url.
  std::string thumbprint() const;

  /// Whether "use" and "key_ops" allow `operation` (absent members allow it).
  bool permits(KeyOperation operation) const;

  KeyType type() const noexcept { return type_; }
  const std::string& curve() const noexcept { return curve_; }  // empty for RSA
  bool hasPrivate() const noexcept { return private_; }
  const std::optional<std::string>& kid() const noexcept { return kid_; }
  const std::optional<std::string>& alg() const noexcept { return alg_; }
  EVP_PKEY* key() const noexcept { return key_.get(); }

  Jwk(Jwk&&) noexcept = default;
  Jwk& operator=(Jwk&&) noexcept = default;

 private:
  Jwk(PkeyHandle key, KeyType type, std::string curve, bool isPrivate);

  std::vector<std::pair<std::string, std::string>> publicMembers() const;

  PkeyHandle key_;
  KeyType type_;
  std::string curve_;
  bool private_;
  std::optional<std::string> kid_;
  std::optional<std::string> use_;
  std::optional<std::vector<std::string>> keyOps_;
  std::optional<std::string> alg_;
};

}  // namespace tervala::jose
