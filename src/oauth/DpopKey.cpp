#include "oauth/DpopKey.hpp"

#include <openssl/evp.h>

#include <array>
#include <optional>

#include "platform/Base64.hpp"
#include "platform/JsonNesting.hpp"
#include "platform/SecretJson.hpp"

namespace tervala {
namespace {

using jose::JoseRefusal;
using jose::JwsAlgorithm;

constexpr std::size_t maximumJwkNesting = 2;

std::optional<JwsAlgorithm> algorithmOf(const jose::Jwk& key) {
  if (key.type() == jose::KeyType::Ec && key.curve() == "P-256") {
    return JwsAlgorithm::ES256;
  }
  if (key.type() == jose::KeyType::Okp && key.curve() == "Ed25519") {
    return JwsAlgorithm::EdDSA;
  }
  return std::nullopt;
}

}  // namespace

DpopKey::DpopKey(jose::Jwk key, JwsAlgorithm algorithm)
    : key_(std::move(key)), algorithm_(algorithm), publicJwk_(key_.toJson()), thumbprint_(key_.thumbprint()) {
  const auto header =
      nlohmann::json{{"typ", "dpop+jwt"}, {"alg", jose::nameOf(algorithm)}, {"jwk", publicJwk_}}.dump();
  const auto encoded =
      platform::encodeBase64Url({reinterpret_cast<const std::uint8_t*>(header.data()), header.size()});
  proofHeader_.assign(encoded.begin(), encoded.end());
}

std::variant<DpopKey, JoseRefusal> DpopKey::from(std::variant<jose::Jwk, JoseRefusal> made) {
  if (const auto* refusal = std::get_if<JoseRefusal>(&made)) {
    return *refusal;
  }
  auto& key = std::get<jose::Jwk>(made);
  const auto algorithm = algorithmOf(key);
  if (!algorithm) {
    return JoseRefusal::UnsupportedAlgorithm;
  }
  if (!key.hasPrivate()) {
    return JoseRefusal::BadKey;
  }
  return DpopKey(std::move(key), *algorithm);
}

std::variant<DpopKey, JoseRefusal> DpopKey::generate(JwsAlgorithm algorithm) {
  EVP_PKEY* made = nullptr;
  if (algorithm == JwsAlgorithm::ES256) {
    made = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  } else if (algorithm == JwsAlgorithm::EdDSA) {
    made = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  } else {
    return JoseRefusal::UnsupportedAlgorithm;
  }
  return from(jose::Jwk::fromKey(jose::PkeyHandle(made)));
}

std::variant<DpopKey, JoseRefusal> DpopKey::fromPrivateJwk(std::string_view text) {
  if (platform::jsonNestingExceeds(text, maximumJwkNesting) || platform::holdsNulByte(text)) {
    return JoseRefusal::Malformed;
  }
  const auto stored = platform::SecretJson::parse(text, nullptr, false);
  if (!stored.is_object()) {
    return JoseRefusal::Malformed;
  }
  // Only the key's members: whatever else the text holds says nothing the key may rely on.
  nlohmann::json members = nlohmann::json::object();
  for (const char* name : {"kty", "crv", "x", "y", "d"}) {
    if (const auto found = stored.find(name); found != stored.end() && found->is_string()) {
      const auto& value = found->get_ref<const platform::SecretString&>();
      members[name] = std::string(value.data(), value.size());
    }
  }
  auto made = from(jose::Jwk::fromJson(members));
  platform::cleanseStrings(members);
  return made;
}

platform::SecretText DpopKey::privateJwk() const {
  nlohmann::json members = key_.toJson(true);
  platform::SecretJson secret = platform::SecretJson::object();
  for (const auto& [name, value] : members.items()) {
    const auto& text = value.get_ref<const std::string&>();  // a key made here has text members only
    secret[platform::SecretString(name.data(), name.size())] =
        platform::SecretString(text.data(), text.size());
  }
  platform::cleanseStrings(members);
  const auto dumped = secret.dump();
  return {dumped.begin(), dumped.end()};
}

}  // namespace tervala
