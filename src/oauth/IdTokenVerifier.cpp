#include <openssl/evp.h>

#include <array>
#include <cmath>
#include <tervala/IdTokenClaims.hpp>

#include "jose/Jws.hpp"
#include "oauth/JwksCache.hpp"
#include "platform/Base64.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/PkceMaterial.hpp"

namespace tervala {
namespace {

using Json = nlohmann::json;

Error refused(std::string_view reason) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, "The ID token was refused.", reason);
}

std::optional<std::string> textClaim(const Json& claims, std::string_view name) {
  const auto found = claims.find(name);
  if (found == claims.end() || !found->is_string()) {
    return std::nullopt;
  }
  return found->get<std::string>();
}

std::optional<Date> timeClaim(const Json& claims, std::string_view name) {
  const auto found = claims.find(name);
  if (found == claims.end() || !found->is_number()) {
    return std::nullopt;
  }
  const double seconds = found->get<double>();
  // Beyond a few thousand years either way is no time a provider means.
  if (!std::isfinite(seconds) || std::abs(seconds) > 1e11) {
    return std::nullopt;
  }
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

// "at_hash": the left half of the access token's hash under the signature's hash, base64url
// (OpenID Connect Core section 3.1.3.6); Ed25519 signs with SHA-512.
std::string accessTokenHash(std::string_view accessToken, jose::JwsAlgorithm algorithm) {
  const EVP_MD* digest = algorithm == jose::JwsAlgorithm::ES384   ? EVP_sha384()
                         : algorithm == jose::JwsAlgorithm::EdDSA ? EVP_sha512()
                                                                  : EVP_sha256();
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> hash{};
  unsigned int length = 0;
  if (EVP_Digest(accessToken.data(), accessToken.size(), hash.data(), &length, digest, nullptr) != 1) {
    return {};
  }
  const auto encoded = platform::encodeBase64Url(std::span(hash.data(), length / 2));
  return {encoded.begin(), encoded.end()};
}

std::variant<IdTokenClaims, Error> checkClaims(const jose::VerifiedJws& token,
                                               const IdTokenVerifier::Expected& expected, Date now) {
  const Json& claims = token.payload;
  if (!claims.is_object()) {
    return refused("its payload is no JSON object");
  }
  IdTokenClaims result;
  const auto issuer = textClaim(claims, "iss");
  if (!issuer || *issuer != expected.issuer) {
    return refused("\"iss\" is not the issuer");
  }
  result.issuer = *issuer;
  const auto subject = textClaim(claims, "sub");
  if (!subject || subject->empty()) {
    return refused("\"sub\" is missing");
  }
  result.subject = *subject;
  const auto audience = claims.find("aud");
  if (audience != claims.end() && audience->is_string()) {
    result.audience.push_back(audience->get<std::string>());
  } else if (audience != claims.end() && audience->is_array()) {
    for (const auto& item : *audience) {
      if (!item.is_string()) {
        return refused("\"aud\" holds a value that is no text");
      }
      result.audience.push_back(item.get<std::string>());
    }
  }
  if (std::find(result.audience.begin(), result.audience.end(), expected.clientId) == result.audience.end()) {
    return refused("\"aud\" does not name this client");
  }
  const auto authorizedParty = textClaim(claims, "azp");
  if (claims.contains("azp") ? authorizedParty != expected.clientId : result.audience.size() > 1) {
    return refused("\"azp\" is not this client");
  }
  const auto skew = std::chrono::seconds(IdTokenVerifier::allowedSkewSeconds);
  const auto expiry = timeClaim(claims, "exp");
  const auto issuedAt = timeClaim(claims, "iat");
  if (!expiry || !issuedAt) {
    return refused("\"exp\" or \"iat\" is missing");
  }
  if (now > *expiry + skew) {
    return refused("it has expired");
  }
  if (*issuedAt > now + skew) {
    return refused("it was issued in the future");
  }
  result.expiry = *expiry;
  result.issuedAt = *issuedAt;
  if (expected.nonce) {
    const auto nonce = textClaim(claims, "nonce");
    if (!nonce || !platform::equalInConstantTime(*nonce, *expected.nonce)) {
      return refused("\"nonce\" is not the request's");
    }
  }
  if (claims.contains("at_hash") && expected.accessToken) {
    const auto atHash = textClaim(claims, "at_hash");
    if (!atHash || *atHash != accessTokenHash(*expected.accessToken, token.algorithm)) {
      return refused("\"at_hash\" does not match the access token");
    }
  }
  result.email = textClaim(claims, "email");
  result.name = textClaim(claims, "name");
  result.json = claims.dump(-1, ' ', false, Json::error_handler_t::replace);
  return result;
}

}  // namespace

IdTokenVerifier::Result IdTokenVerifier::verify(std::string_view idToken, const Expected& expected) {
  return verify(idToken, expected, std::chrono::system_clock::now());
}

IdTokenVerifier::Result IdTokenVerifier::verify(std::string_view idToken, const Expected& expected,
                                                Date now) {
  platform::debugLine("Tervala.IdTokenVerifier", "verify(_:)");
  try {
    auto& cache = JwksCache::shared();
    auto keys = cache.keys(expected.jwksUri);
    if (auto* const error = std::get_if<Error>(&keys)) {
      return *error;
    }
    auto verified = jose::verifyCompact(idToken, *std::get<JwksCache::Keys>(keys));
    if (std::get_if<jose::JoseRefusal>(&verified) != nullptr &&
        std::get<jose::JoseRefusal>(verified) == jose::JoseRefusal::NoMatchingKey) {
      // The provider may have rotated its keys since the set was kept.
      keys = cache.refetch(expected.jwksUri);
      if (auto* const error = std::get_if<Error>(&keys)) {
        return *error;
      }
      if (const auto& fresh = std::get<JwksCache::Keys>(keys)) {
        verified = jose::verifyCompact(idToken, *fresh);
      }
    }
    if (const auto* refusal = std::get_if<jose::JoseRefusal>(&verified)) {
      return refused(jose::describe(*refusal));
    }
    return checkClaims(std::get<jose::VerifiedJws>(verified), expected, now);
  } catch (const std::exception& failure) {
    return refused(failure.what());
  }
}

}  // namespace tervala
