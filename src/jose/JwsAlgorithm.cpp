#include "jose/JwsAlgorithm.hpp"

#include <array>
#include <utility>

namespace tervala::jose {
namespace {

struct AlgorithmRow {
  JwsAlgorithm algorithm;
  std::string_view name;
  KeyType type;
  std::string_view curve;  // empty: any (RSA has none)
};
constexpr std::array<AlgorithmRow, 5> algorithms{{
    {JwsAlgorithm::ES256, "ES256", KeyType::Ec, "P-256"},
    {JwsAlgorithm::ES384, "ES384", KeyType::Ec, "P-384"},
    {JwsAlgorithm::PS256, "PS256", KeyType::Rsa, ""},
    {JwsAlgorithm::RS256, "RS256", KeyType::Rsa, ""},
    {JwsAlgorithm::EdDSA, "EdDSA", KeyType::Okp, "Ed25519"},
}};

const AlgorithmRow& rowOf(JwsAlgorithm algorithm) noexcept {
  return algorithms[static_cast<std::size_t>(algorithm)];
}

}  // namespace

std::optional<JwsAlgorithm> algorithmNamed(std::string_view name) noexcept {
  for (const auto& row : algorithms) {
    if (row.name == name) {
      return row.algorithm;
    }
  }
  return std::nullopt;
}

std::string_view nameOf(JwsAlgorithm algorithm) noexcept {
  return rowOf(algorithm).name;
}

bool fits(JwsAlgorithm algorithm, const Jwk& key) {
  const auto& row = rowOf(algorithm);
  return row.type == key.type() && row.curve == key.curve() && (!key.alg() || *key.alg() == row.name);
}

}  // namespace tervala::jose
