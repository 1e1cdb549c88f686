#pragma once

#include <optional>
#include <string_view>

#include "jose/Jwk.hpp"

namespace tervala::jose {

/// The signature algorithms (RFC 7518 section 3, RFC 8037 section 3.1) this code signs and
/// verifies with; there is deliberately no "none" and no HMAC.
enum class JwsAlgorithm { ES256, ES384, PS256, RS256, EdDSA };

std::optional<JwsAlgorithm> algorithmNamed(std::string_view name) noexcept;
std::string_view nameOf(JwsAlgorithm algorithm) noexcept;

/// Whether `key` may be used with `algorithm`: its type and curve, and its own "alg" when set.
bool fits(JwsAlgorithm algorithm, const Jwk& key);

}  // namespace tervala::jose
