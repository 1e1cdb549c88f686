#include "AuthorizationServer.hpp"

#include "platform/FormEncoding.hpp"
#include "platform/PkceMaterial.hpp"

namespace tervala::test {
namespace {

std::string first(const std::multimap<std::string, std::string>& fields, const std::string& name) {
  const auto found = fields.find(name);
  return found == fields.end() ? std::string() : found->second;
}

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

void AuthorizationServer::setFallback(Fallback fallback) {
  const std::lock_guard lock(mutex_);
  fallback_ = std::move(fallback);
}

Reply AuthorizationServer::answer(const RecordedRequest& request) {
  const std::lock_guard lock(mutex_);
  if (request.method == "GET" && request.path == "/authorize") {
    return authorize(request);
  }
  if (request.method == "POST" && request.path == "/token") {
    return token(request);
  }
  // Metadata, device, revocation and introspection are the fallback's.
  return fallback_ ? fallback_(request) : Reply::answer(404, "", "text/plain");
}

Reply AuthorizationServer::authorize(const RecordedRequest& request) {
  const auto& query = request.query;
  const auto redirectUri = first(query, "redirect_uri");
  const auto challenge = first(query, "code_challenge");
  const bool loopback =
      redirectUri.starts_with("http://127.0.0.1:") || redirectUri.starts_with("http://[::1]:");
  if (!loopback || first(query, "response_type") != "code" ||
      first(query, "code_challenge_method") != "S256" || challenge.size() != 43) {
    return Reply::answer(400, "bad authorization request", "text/plain");
  }
  const std::string back = redirectUri + (redirectUri.find('?') == std::string::npos ? "?" : "&");
  const auto state = platform::formUrlEncode(first(query, "state"));
  const std::string stateField = "&state=" + std::string(state.begin(), state.end());
  if (denying_) {
    return Reply::answer(302, "", "text/plain")
        .withHeader("Location", back + "error=access_denied&error_description=The+user+said+no" + stateField);
  }
  const std::string code = "code-" + std::to_string(++serial_);
  codes_[code] = Grant{first(query, "client_id"), redirectUri, challenge};
  return Reply::answer(302, "", "text/plain").withHeader("Location", back + "code=" + code + stateField);
}

Reply AuthorizationServer::token(const RecordedRequest& request) {
  // The client: from HTTP Basic or from the form, never both.
  const auto basic = basicCredentials(request);
  if (basic && (request.field("client_secret") || request.field("client_id"))) {
    return refusal(400, "invalid_request", "more than one way of client authentication");
  }
  const std::string clientId = basic ? basic->first : request.field("client_id").value_or("");
  const auto secret = basic ? std::optional(basic->second) : request.field("client_secret");
  const auto registered = clientSecrets_.find(clientId);
  const bool confidential = registered != clientSecrets_.end();
  if ((confidential ? std::optional(registered->second) : std::nullopt) != secret) {
    return refusal(401, "invalid_client", "client authentication failed");
  }
  const auto grantType = request.field("grant_type").value_or("");
  if (grantType == "authorization_code") {
    const auto found = codes_.find(request.field("code").value_or(""));
    if (found == codes_.end()) {
      return refusal(400, "invalid_grant", "unknown or spent code");
    }
    const Grant grant = found->second;
    codes_.erase(found);  // a code is good once
    if (grant.clientId != clientId || grant.redirectUri != request.field("redirect_uri") ||
        platform::s256Challenge(request.field("code_verifier").value_or("")) != grant.challenge) {
      return refusal(400, "invalid_grant", "the code was issued to another client, redirect or verifier");
    }
    return issue(true);
  }
  if (grantType == "client_credentials") {
    return confidential ? issue(false)
                        : refusal(400, "unauthorized_client", "a public client has no credentials");
  }
  return fallback_ ? fallback_(request)
                   : refusal(400, "unsupported_grant_type", "only authorization_code and client_credentials");
}

// Client credentials get no refresh token, as RFC 6749 section 4.4.3 advises.
Reply AuthorizationServer::issue(bool withRefreshToken) {
  const std::string serial = std::to_string(++serial_);
  return Reply::answer(200, R"({"access_token":"access-)" + serial +
                                R"(","token_type":"bearer","expires_in":3600,)" +
                                (withRefreshToken ? R"("refresh_token":"refresh-)" + serial + R"(",)" : "") +
                                R"("scope":"read"})");
}

}  // namespace tervala::test
