#pragma once

#include <string_view>

namespace tervala::jose {

/// Why a key, key set or signed token was not accepted. Each is final: none is retried with
/// another algorithm or key than the one the token and the key agree on.
enum class JoseRefusal {
  Malformed,             // not base64url, not three segments, a header that is no JSON object
  TooLarge,              // a token over 64 KiB, a key set over 1 MiB or over 100 keys
  AlgorithmNone,         // the unsecured "none"
  AlgorithmConfusion,    // an HMAC algorithm offered against a public key
  UnsupportedAlgorithm,  // any other algorithm than ES256, ES384, PS256, RS256 and EdDSA
  AlgorithmKeyMismatch,  // an algorithm the key's type, curve or own "alg" does not allow
  KeyUseForbidden,       // the key's "use" or "key_ops" forbids this operation
  UnknownCritical,       // "crit" names an extension this code does not understand
  NoMatchingKey,         // no key of the set fits the token's kid and algorithm
  BadKey,                // a key whose members are missing, malformed or not a valid key
  BadSignature,          // the signature does not verify
  SigningFailed,         // OpenSSL could not sign
};

/// One line saying what was refused, for errors and debug lines; names no key material.
std::string_view describe(JoseRefusal refusal) noexcept;

}  // namespace tervala::jose
