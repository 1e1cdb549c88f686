#include "oauth/ClientAssertion.hpp"

#include <nlohmann/json.hpp>

#include <span>

#include "jose/Jws.hpp"
#include "platform/Base64.hpp"
#include "platform/HmacKey.hpp"
#include "platform/PkceMaterial.hpp"

namespace tervala {
namespace {

constexpr std::size_t jtiBytes = 16;  // 128 bits: a server that remembers jti never sees one twice

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// The claims of RFC 7523 section 3 as JSON text, or why there are none.
Checked<std::string> claimsText(const AssertionParty& party, std::chrono::system_clock::time_point now) {
  const auto jti = platform::randomUrlSafeText(jtiBytes);
  if (!jti) {
    return Checked<std::string>::refuse("no random jti could be made");
  }
  const auto issuedAt = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  const nlohmann::json claims{
      {"iss", party.clientId}, {"sub", party.subject.empty() ? party.clientId : party.subject},
      {"aud", party.audience}, {"jti", platform::view(*jti)},
      {"iat", issuedAt},       {"exp", issuedAt + party.lifetime.count()}};
  try {
    return Checked<std::string>::accept(claims.dump());
  } catch (const nlohmann::json::type_error&) {
    return Checked<std::string>::refuse("the client id, subject or audience is not UTF-8 text");
  }
}

platform::SecretText wiped(std::string& token) {
  platform::SecretText kept(token.begin(), token.end());
  platform::cleanse(token);
  return kept;
}

}  // namespace

std::variant<platform::SecretText, std::string> keyAssertion(const ClientKey& key,
                                                             const AssertionParty& party,
                                                             std::chrono::system_clock::time_point now) {
  const auto claims = claimsText(party, now);
  if (!claims) {
    return claims.reason();
  }
  const auto& held = ClientKeyAccess::held(key);
  auto token = jose::signCompactEncoded(held.key, held.algorithm, held.encodedHeader, *claims);
  if (auto* signed_ = std::get_if<std::string>(&token)) {
    return wiped(*signed_);
  }
  return "the client assertion could not be signed: " +
         std::string(jose::describe(std::get<jose::JoseRefusal>(token)));
}

std::variant<platform::SecretText, std::string> secretAssertion(std::string_view secret,
                                                                const AssertionParty& party,
                                                                std::chrono::system_clock::time_point now) {
  // RFC 7518 section 3.2: a key of at least the hash's size.
  if (secret.size() < minimumHmacSecretBytes) {
    return "client_secret_jwt needs a client secret of at least " + std::to_string(minimumHmacSecretBytes) +
           " bytes";
  }
  const auto claims = claimsText(party, now);
  if (!claims) {
    return claims.reason();
  }
  const auto header = platform::encodeBase64Url(bytesOf(R"({"alg":"HS256"})"));
  const auto payload = platform::encodeBase64Url(bytesOf(*claims));
  platform::SecretText token(header.begin(), header.end());
  token.push_back('.');
  token.insert(token.end(), payload.begin(), payload.end());
  const auto mac = platform::HmacKey::make(HmacAlgorithm::SHA256, bytesOf(secret));
  platform::HmacKey::Digest digest{};
  const std::size_t length = mac ? mac->sign(bytesOf(platform::view(token)), digest) : 0;
  if (length == 0) {
    return std::string("the client assertion could not be signed");
  }
  const auto signature = platform::encodeBase64Url(std::span(digest.data(), length));
  platform::cleanse(digest.data(), digest.size());
  token.push_back('.');
  token.insert(token.end(), signature.begin(), signature.end());
  return token;
}

}  // namespace tervala
