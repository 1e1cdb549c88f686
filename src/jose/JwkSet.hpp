#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "jose/JoseRefusal.hpp"
#include "jose/Jwk.hpp"
#include "jose/JwsAlgorithm.hpp"

namespace tervala::jose {

/// A JWK set (RFC 7517 section 5) as a provider's jwks_uri serves it. Members this code cannot
/// use (other key types, encryption-only curves) are left out rather than failing the set.
class JwkSet {
 public:
  static constexpr std::size_t maximumBytes = std::size_t{1024} * 1024;
  static constexpr std::size_t maximumKeys = 100;

  /// Refuses text over 1 MiB, more than 100 members, and anything but {"keys": [objects...]}.
  static std::variant<JwkSet, JoseRefusal> parse(std::string_view text);

  explicit JwkSet(std::vector<Jwk> keys) : keys_(std::move(keys)) {}

  /// The key for a token: the one with `kid` when the token names one, else the only key that
  /// fits `algorithm`. AlgorithmKeyMismatch when the named key does not fit the algorithm.
  std::variant<const Jwk*, JoseRefusal> select(const std::optional<std::string>& kid,
                                               JwsAlgorithm algorithm) const;

  const std::vector<Jwk>& keys() const noexcept { return keys_; }

 private:
  std::vector<Jwk> keys_;
};

}  // namespace tervala::jose
