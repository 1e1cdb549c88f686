#include <tervala/ProofKey.hpp>

#include <variant>

#include "jose/JwsAlgorithm.hpp"
#include "oauth/DpopKey.hpp"
#include "oauth/DpopProof.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {

struct ProofKey::Held {
  DpopKey key;
};

namespace {

Checked<ProofKey> refusedKey(jose::JoseRefusal refusal, std::string_view what) {
  const std::string reason = refusal == jose::JoseRefusal::UnsupportedAlgorithm
                                 ? " is no ES256 (P-256) or EdDSA (Ed25519) key"
                                 : " is not a private key OpenSSL can use";
  return Checked<ProofKey>::refuse(std::string(what) + reason);
}

}  // namespace

// Held only by the friend below: ProofKey's constructor stays private to hosts.
struct ProofKeyMaker {
  static Checked<ProofKey> from(std::variant<DpopKey, jose::JoseRefusal> made, std::string_view what) {
    if (auto* refusal = std::get_if<jose::JoseRefusal>(&made)) {
      return refusedKey(*refusal, what);
    }
    return Checked<ProofKey>::accept(
        ProofKey(std::make_shared<const ProofKey::Held>(ProofKey::Held{std::get<DpopKey>(std::move(made))})));
  }
};

Checked<ProofKey> ProofKey::generate(Algorithm algorithm) {
  return ProofKeyMaker::from(DpopKey::generate(algorithm == Algorithm::eddsa ? jose::JwsAlgorithm::EdDSA
                                                                             : jose::JwsAlgorithm::ES256),
                             "the generated key");
}

Checked<ProofKey> ProofKey::fromPrivateJwk(std::string_view text) {
  return ProofKeyMaker::from(DpopKey::fromPrivateJwk(text), "the DPoP key");
}

std::string ProofKey::privateJwk() const {
  platform::SecretText text = held_->key.privateJwk();
  return {text.begin(), text.end()};
}

const std::string& ProofKey::thumbprint() const noexcept {
  return held_->key.thumbprint();
}

std::string_view ProofKey::algorithm() const noexcept {
  return jose::nameOf(held_->key.algorithm());
}

Checked<std::string> ProofKey::proof(std::string_view method, std::string_view url,
                                     std::optional<std::string_view> nonce,
                                     std::optional<std::string_view> accessToken) const {
  auto made = makeDpopProof(held_->key, DpopTarget{method, url, nonce, accessToken});
  if (auto* refusal = std::get_if<DpopRefusal>(&made)) {
    return Checked<std::string>::refuse(std::string(describe(*refusal)));
  }
  return Checked<std::string>::accept(std::get<std::string>(std::move(made)));
}

ProofHeaders::~ProofHeaders() {
  platform::cleanseEach(authorization, dpop);
}

}  // namespace tervala
