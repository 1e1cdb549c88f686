#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "jose/JoseRefusal.hpp"
#include "jose/Jwk.hpp"
#include "jose/JwkSet.hpp"
#include "jose/JwsAlgorithm.hpp"

namespace tervala::jose {

constexpr std::size_t maximumTokenBytes = std::size_t{64} * 1024;

/// A compact JWS whose signature verified.
struct VerifiedJws {
  nlohmann::json header;   // the protected header, a JSON object
  nlohmann::json payload;  // the payload parsed as JSON, or null when it is not JSON
  std::string payloadBytes;
  JwsAlgorithm algorithm;
};

struct VerifyOptions {
  /// The algorithms accepted; empty accepts all of JwsAlgorithm.
  std::vector<JwsAlgorithm> algorithms;
  /// Header parameters the caller processes itself and so may be listed in "crit".
  std::vector<std::string> understoodCritical;
};

/// Signs `payload` as a compact JWS (RFC 7515 section 7.1) with `header` (a JSON object whose
/// "alg" is set here). Refuses a public key, a key that does not fit `algorithm`, and a key
/// whose use or key_ops forbid signing.
std::variant<std::string, JoseRefusal> signCompact(const Jwk& key, JwsAlgorithm algorithm,
                                                   nlohmann::json header, std::string_view payload);

/// The same for a signer that sends one header every time (a DPoP key's): `encodedHeader` is
/// the base64url text of a JSON object whose "alg" names `algorithm`, encoded once.
std::variant<std::string, JoseRefusal> signCompactEncoded(const Jwk& key, JwsAlgorithm algorithm,
                                                          std::string_view encodedHeader,
                                                          std::string_view payload);

/// Verifies a compact JWS with the key of `keys` its header selects.
std::variant<VerifiedJws, JoseRefusal> verifyCompact(std::string_view token, const JwkSet& keys,
                                                     const VerifyOptions& options = {});

/// Verifies a compact JWS with one given key (a DPoP proof's own jwk, a configured key).
std::variant<VerifiedJws, JoseRefusal> verifyCompact(std::string_view token, const Jwk& key,
                                                     const VerifyOptions& options = {});

}  // namespace tervala::jose
