#include "jose/JoseRefusal.hpp"

namespace tervala::jose {

std::string_view describe(JoseRefusal refusal) noexcept {
  switch (refusal) {
    case JoseRefusal::Malformed:
      return "the token or key is malformed";
    case JoseRefusal::TooLarge:
      return "the token or key set is too large";
    case JoseRefusal::AlgorithmNone:
      return "an unsigned token (alg none) is never accepted";
    case JoseRefusal::AlgorithmConfusion:
      return "an HMAC algorithm is never accepted with a public key";
    case JoseRefusal::UnsupportedAlgorithm:
      return "the signing algorithm is not supported";
    case JoseRefusal::AlgorithmKeyMismatch:
      return "the signing algorithm does not fit the key";
    case JoseRefusal::KeyUseForbidden:
      return "the key's use or key_ops forbid this operation";
    case JoseRefusal::UnknownCritical:
      return "the token names a critical extension that is not understood";
    case JoseRefusal::NoMatchingKey:
      return "no key fits the token's key id and algorithm";
    case JoseRefusal::BadKey:
      return "the key is not a valid key";
    case JoseRefusal::BadSignature:
      return "the signature does not verify";
    case JoseRefusal::SigningFailed:
      return "the signature could not be made";
  }
  return "the token was refused";
}

}  // namespace tervala::jose
