#include "oauth/DpopProof.hpp"

#include <algorithm>

#include "jose/Jws.hpp"
#include "oauth/HeaderText.hpp"
#include "platform/EndpointUrl.hpp"
#include "platform/PkceMaterial.hpp"

namespace tervala {
namespace {

constexpr std::size_t jtiBytes = 16;  // 128 bits: unguessable, and never seen twice

}  // namespace

std::string_view describe(DpopRefusal refusal) noexcept {
  switch (refusal) {
    case DpopRefusal::Method:
      return "the request method is no HTTP method name";
    case DpopRefusal::Url:
      return "the request URL is no http or https URL without user information and hidden characters";
    case DpopRefusal::Nonce:
      return "the server's DPoP nonce holds characters a nonce may not";
    case DpopRefusal::AccessToken:
      return "the access token is empty or holds characters a header cannot carry";
    case DpopRefusal::Signing:
      return "the DPoP proof could not be signed";
  }
  return "the DPoP proof was refused";
}

bool isDpopNonce(std::string_view text) noexcept {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return c >= 0x21 && c <= 0x7E && c != '"' && c != '\\'; });
}

std::variant<std::string, DpopRefusal> makeDpopProof(const DpopKey& key, const DpopTarget& target,
                                                     std::chrono::system_clock::time_point now) {
  if (!HeaderText::isTokenType(target.method)) {
    return DpopRefusal::Method;
  }
  auto htu = platform::httpTargetWithoutQuery(target.url);
  if (!htu) {
    return DpopRefusal::Url;
  }
  if (target.nonce && !isDpopNonce(*target.nonce)) {
    return DpopRefusal::Nonce;
  }
  if (target.accessToken &&
      (target.accessToken->empty() || !HeaderText::isAccessToken(*target.accessToken))) {
    return DpopRefusal::AccessToken;
  }
  const auto jti = platform::randomUrlSafeText(jtiBytes);
  if (!jti) {
    return DpopRefusal::Signing;
  }
  // Written as text: the names are fixed and no value holds a character JSON escapes (a method
  // token, a target without '"' and '\', base64url, NQCHAR), so this is the JSON a serialiser
  // would write, made without one on every request.
  std::string claims;
  claims.reserve(192 + htu->size() + (target.nonce ? target.nonce->size() : 0));  // no regrown copies
  claims.append(R"({"htm":")").append(target.method).append(R"(","htu":")").append(*htu);
  claims.append(R"(","iat":)")
      .append(
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count()));
  claims.append(R"(,"jti":")").append(platform::view(*jti)).append("\"");
  if (target.nonce) {
    claims.append(R"(,"nonce":")").append(*target.nonce).append("\"");
  }
  if (target.accessToken) {
    claims.append(R"(,"ath":")").append(platform::s256Challenge(*target.accessToken)).append("\"");
  }
  claims += '}';
  auto proof = jose::signCompactEncoded(key.jwk(), key.algorithm(), key.proofHeader(), claims);
  if (auto* token = std::get_if<std::string>(&proof)) {
    return std::move(*token);
  }
  return DpopRefusal::Signing;
}

}  // namespace tervala
