#include "AuthorizationServer.hpp"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <chrono>

#include "jose/Jws.hpp"
#include "platform/Base64.hpp"
#include "platform/FormEncoding.hpp"
#include "platform/PkceMaterial.hpp"

namespace tervala::test {
namespace {

Reply refusal(int status, const std::string& error, const std::string& description) {
  return Reply::answer(status,
                       R"({"error":")" + error + R"(","error_description":")" + description + R"("})");
}

}  // namespace

AuthorizationServer::AuthorizationServer() {
  endpoint_.setHandler([this](const RecordedRequest& request) { return answer(request); });
}

void AuthorizationServer::setClientSecret(const std::string& clientId, std::string secret) {
  const std::lock_guard lock(mutex_);
  clientSecrets_.insert_or_assign(clientId, std::move(secret));
}

void AuthorizationServer::setDenying(bool denying) {
  const std::lock_guard lock(mutex_);
  denying_ = denying;
}

Reply AuthorizationServer::answer(const RecordedRequest& request) {
  const std::lock_guard lock(mutex_);
  if (request.path == "/authorize") {
    return authorize(request);
  }
  if (request.path == "/token") {
    // A request with a DPoP proof gets a token bound to it, as a server that binds tokens answers
    // (the proof itself is the library tests' to check).
    auto reply = this->token(request);
    if (reply.status == 200 && request.header("DPoP")) {
      if (const auto at = reply.body.find(R"("token_type":"bearer")"); at != std::string::npos) {
        reply.body.replace(at, 21, R"("token_type":"DPoP")");
      }
    }
    return reply;
  }
  const std::string base = endpoint_.url("");
  const std::string token = request.field("token").value_or("");
  if (request.path == "/.well-known/oauth-authorization-server") {
    std::string document = R"({"issuer":")" + base + R"(","response_types_supported":["code"])";
    for (const auto& [name, path] : {std::pair{"authorization", "/authorize"},
                                     {"token", "/token"},
                                     {"device_authorization", "/device"},
                                     {"revocation", "/revoke"},
                                     {"introspection", "/introspect"},
                                     {"userinfo", "/userinfo"}}) {
      document.append(",\"").append(name).append("_endpoint\":\"").append(base + path).append("\"");
    }
    document.append(R"(,"jwks_uri":")").append(base + "/jwks\"");
    return Reply::answer(200, document + "}");
  }
  if (request.path == "/jwks") {
    idToken({}, {});  // makes the key
    nlohmann::json published = signingKey_->toJson();
    return Reply::answer(200, nlohmann::json{{"keys", {published}}}.dump());
  }
  if (request.path == "/userinfo") {
    const auto authorization = request.header("authorization").value_or("");
    return authorization.starts_with("Bearer access-") && !revoked_.contains(authorization.substr(7))
               ? Reply::answer(200, R"({"sub":"demo-user","name":"Demo User"})")
               : refusal(401, "invalid_token", "no valid access token");
  }
  if (request.path == "/device") {
    const std::string serial = std::to_string(++devices_);
    devicePolls_["device-" + serial] = 0;
    return Reply::answer(
        200, R"({"device_code":"device-)" + serial + R"(","user_code":"DEMO-)" + serial +
                 R"(","verification_uri":")" + base + R"(/activate","verification_uri_complete":")" + base +
                 "/activate?user_code=DEMO-" + serial + R"(","expires_in":300,"interval":1})");
  }
  if (request.path == "/revoke") {
    revoked_.insert(token);
    return Reply::answer(200, "");
  }
  if (request.path == "/introspect") {
    const bool active = token.starts_with("access-") && !revoked_.contains(token);
    return Reply::answer(
        200, active ? R"({"active":true,"scope":"demo","token_type":"Bearer"})" : R"({"active":false})");
  }
  return Reply::answer(404, "", "text/plain");
}

Reply AuthorizationServer::authorize(const RecordedRequest& request) {
  const auto query = [&](std::string_view name) { return request.queryField(name).value_or(""); };
  const auto redirectUri = query("redirect_uri");
  const auto challenge = query("code_challenge");
  const bool loopback =
      redirectUri.starts_with("http://127.0.0.1:") || redirectUri.starts_with("http://[::1]:");
  if (!loopback || query("response_type") != "code" || query("code_challenge_method") != "S256" ||
      challenge.size() != 43) {
    return Reply::answer(400, "bad authorization request", "text/plain");
  }
  const std::string back = redirectUri + (redirectUri.find('?') == std::string::npos ? "?" : "&");
  const auto state = platform::formUrlEncode(query("state"));
  const std::string stateField = "&state=" + std::string(state.begin(), state.end());
  if (denying_) {
    return Reply::answer(302, "", "text/plain")
        .withHeader("Location", back + "error=access_denied&error_description=The+user+said+no" + stateField);
  }
  const std::string code = "code-" + std::to_string(++serial_);
  codes_[code] = Grant{query("client_id"), redirectUri, challenge, query("nonce")};
  return Reply::answer(302, "", "text/plain").withHeader("Location", back + "code=" + code + stateField);
}

Reply AuthorizationServer::token(const RecordedRequest& request) {
  const auto field = [&](std::string_view name) { return request.field(name).value_or(""); };
  // The client: from HTTP Basic or from the form, never both.
  const auto basic = basicCredentials(request);
  if (basic && (request.field("client_secret") || request.field("client_id"))) {
    return refusal(400, "invalid_request", "more than one way of client authentication");
  }
  const std::string clientId = basic ? basic->first : field("client_id");
  const auto secret = basic ? std::optional(basic->second) : request.field("client_secret");
  const auto registered = clientSecrets_.find(clientId);
  const bool confidential = registered != clientSecrets_.end();
  if ((confidential ? std::optional(registered->second) : std::nullopt) != secret) {
    return refusal(401, "invalid_client", "client authentication failed");
  }
  const auto grantType = field("grant_type");
  if (grantType == "authorization_code") {
    const auto found = codes_.find(field("code"));
    if (found == codes_.end()) {
      return refusal(400, "invalid_grant", "unknown or spent code");
    }
    const Grant grant = found->second;
    codes_.erase(found);  // a code is good once
    if (grant.clientId != clientId || grant.redirectUri != field("redirect_uri") ||
        platform::s256Challenge(field("code_verifier")) != grant.challenge) {
      return refusal(400, "invalid_grant", "the code was issued to another client, redirect or verifier");
    }
    return issue(true, grant.nonce.empty() ? nullptr : &grant);
  }
  if (grantType == "client_credentials") {
    return confidential ? issue(false)
                        : refusal(400, "unauthorized_client", "a public client has no credentials");
  }
  if (grantType == "password") {
    return field("username").empty() || field("password").empty()
               ? refusal(400, "invalid_request", "username and password are required")
               : issue(true);
  }
  if (grantType == "refresh_token") {
    return refreshTokens_.erase(field("refresh_token")) == 1
               ? issue(true)
               : refusal(400, "invalid_grant", "unknown refresh token");
  }
  if (grantType == "urn:ietf:params:oauth:grant-type:device_code") {
    const auto found = devicePolls_.find(field("device_code"));
    if (found == devicePolls_.end()) {
      return refusal(400, "expired_token", "unknown device code");
    }
    if (found->second++ == 0) {
      return refusal(400, "authorization_pending", "not yet approved");
    }
    devicePolls_.erase(found);
    return issue(true);
  }
  return refusal(400, "unsupported_grant_type", "not served here");
}

// Client credentials get no refresh token, as RFC 6749 section 4.4.3 advises.
Reply AuthorizationServer::issue(bool withRefreshToken, const Grant* openId) {
  const std::string serial = std::to_string(++serial_);
  if (withRefreshToken) {
    refreshTokens_.insert("refresh-" + serial);
  }
  return Reply::answer(
      200, R"({"access_token":"access-)" + serial + R"(","token_type":"bearer","expires_in":3600,)" +
               (withRefreshToken ? R"("refresh_token":"refresh-)" + serial + R"(",)" : "") +
               (openId != nullptr ? R"("id_token":")" + idToken(*openId, "access-" + serial) + R"(",)" : "") +
               R"("scope":"read"})");
}

std::string AuthorizationServer::idToken(const Grant& grant, const std::string& accessToken) {
  if (!signingKey_) {
    nlohmann::json key =
        std::get<jose::Jwk>(jose::Jwk::fromKey(jose::PkeyHandle(EVP_RSA_gen(2048)))).toJson(true);
    key["kid"] = "demo";
    signingKey_.emplace(std::get<jose::Jwk>(jose::Jwk::fromJson(key)));
  }
  if (grant.clientId.empty()) {
    return {};
  }
  std::array<unsigned char, SHA256_DIGEST_LENGTH> hash{};
  SHA256(reinterpret_cast<const unsigned char*>(accessToken.data()), accessToken.size(), hash.data());
  const auto atHash = platform::encodeBase64Url(std::span(hash.data(), hash.size() / 2));
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const nlohmann::json claims = {{"iss", endpoint_.url("")},
                                 {"sub", "demo-user"},
                                 {"aud", grant.clientId},
                                 {"exp", now + 3600},
                                 {"iat", now},
                                 {"nonce", grant.nonce},
                                 {"name", "Demo User"},
                                 {"at_hash", std::string(atHash.begin(), atHash.end())}};
  return std::get<std::string>(
      jose::signCompact(*signingKey_, jose::JwsAlgorithm::RS256, {{"kid", "demo"}}, claims.dump()));
}

}  // namespace tervala::test
