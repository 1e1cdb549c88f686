#include "jose/JwkSet.hpp"

#include "platform/JsonNesting.hpp"

namespace tervala::jose {
namespace {

constexpr std::size_t maximumNesting = 8;  // {"keys":[{"key_ops":[...]}]} needs four

}  // namespace

std::variant<JwkSet, JoseRefusal> JwkSet::parse(std::string_view text) {
  if (text.size() > maximumBytes) {
    return JoseRefusal::TooLarge;
  }
  if (platform::jsonNestingExceeds(text, maximumNesting) || platform::holdsNulByte(text)) {
    return JoseRefusal::Malformed;
  }
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object() || !document.contains("keys") || !document["keys"].is_array()) {
    return JoseRefusal::Malformed;
  }
  const auto& members = document["keys"];
  if (members.size() > maximumKeys) {
    return JoseRefusal::TooLarge;
  }
  std::vector<Jwk> keys;
  for (const auto& member : members) {
    if (!member.is_object()) {
      return JoseRefusal::Malformed;
    }
    if (auto key = Jwk::fromJson(member); std::holds_alternative<Jwk>(key)) {
      keys.push_back(std::get<Jwk>(std::move(key)));
    }
  }
  return JwkSet(std::move(keys));
}

std::variant<const Jwk*, JoseRefusal> JwkSet::select(const std::optional<std::string>& kid,
                                                     JwsAlgorithm algorithm) const {
  const Jwk* chosen = nullptr;
  bool namedButUnfit = false;
  for (const auto& key : keys_) {
    if (kid && key.kid() != kid) {
      continue;
    }
    if (!fits(algorithm, key)) {
      namedButUnfit = namedButUnfit || kid.has_value();
      continue;
    }
    if (chosen != nullptr) {
      return JoseRefusal::NoMatchingKey;  // two keys fit and nothing tells them apart
    }
    chosen = &key;
  }
  if (chosen == nullptr) {
    return namedButUnfit ? JoseRefusal::AlgorithmKeyMismatch : JoseRefusal::NoMatchingKey;
  }
  return chosen;
}

}  // namespace tervala::jose
