#include "AuthorizationServer.hpp"

#include <httplib.h>

#include <cstdlib>
#include <iostream>

#include "BasicCredentials.hpp"
#include "platform/FormEncoding.hpp"
#include "platform/PkceMaterial.hpp"

namespace tervala::test {
namespace {

std::string formValue(std::string_view text) {
  const auto encoded = platform::formUrlEncode(text);
  return {encoded.begin(), encoded.end()};
}

std::optional<std::string> first(const std::multimap<std::string, std::string>& fields,
                                 const std::string& name) {
  const auto found = fields.find(name);
  return found == fields.end() ? std::nullopt : std::optional(found->second);
}

Reply refusal(int status, const std::string& error, const std::string& description) {
  return Reply::answer(status,
                       R"({"error":")" + error + R"(","error_description":")" + description + R"("})");
}

bool isLoopbackRedirect(std::string_view uri) {
  return uri.starts_with("http://127.0.0.1:") || uri.starts_with("http://[::1]:");
}

RecordedRequest recorded(const httplib::Request& request) {
  RecordedRequest recorded{request.method, request.path, {}, request.body};
  for (const auto& [name, value] : request.headers) {
    std::string lower(name);
    for (char& c : lower) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    recorded.headers.emplace(lower, value);
  }
  return recorded;
}

void answer(const Reply& reply, httplib::Response& response) {
  response.status = reply.status;
  for (const auto& [name, value] : reply.headers) {
    response.set_header(name, value);
  }
  response.set_content(reply.body, reply.contentType);
}

}  // namespace

AuthorizationServer::AuthorizationServer() : server_(std::make_unique<httplib::Server>()) {
  server_->Get("/authorize", [this](const httplib::Request& request, httplib::Response& response) {
    const std::multimap<std::string, std::string> query(request.params.begin(), request.params.end());
    answer(authorize(query), response);
  });
  server_->Post("/token", [this](const httplib::Request& request, httplib::Response& response) {
    answer(token(recorded(request)), response);
  });
  // Every other path (metadata, device, revocation, introspection) is the fallback's.
  const auto other = [this](const httplib::Request& request, httplib::Response& response) {
    Fallback fallback;
    {
      const std::lock_guard lock(mutex_);
      fallback = fallback_;
    }
    answer(fallback ? fallback(recorded(request)) : Reply::answer(404, "", "text/plain"), response);
  };
  server_->Get(".*", other);
  server_->Post(".*", other);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) {
    std::cerr << "AuthorizationServer: cannot listen on 127.0.0.1\n";
    std::abort();
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

AuthorizationServer::~AuthorizationServer() {
  server_->stop();
  thread_.join();
}

std::string AuthorizationServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
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

std::vector<RecordedRequest> AuthorizationServer::tokenRequests() const {
  const std::lock_guard lock(mutex_);
  return tokenRequests_;
}

Reply AuthorizationServer::authorize(const std::multimap<std::string, std::string>& query) {
  const auto redirectUri = first(query, "redirect_uri").value_or("");
  const auto challenge = first(query, "code_challenge").value_or("");
  if (!isLoopbackRedirect(redirectUri) || first(query, "response_type") != "code" ||
      first(query, "code_challenge_method") != "S256" || challenge.size() != 43) {
    return Reply::answer(400, "bad authorization request", "text/plain");
  }
  const std::string back = redirectUri + (redirectUri.find('?') == std::string::npos ? "?" : "&");
  const std::string state = "&state=" + formValue(first(query, "state").value_or(""));
  const std::lock_guard lock(mutex_);
  if (denying_) {
    return Reply::answer(302, "", "text/plain")
        .withHeader("Location", back + "error=access_denied&error_description=The+user+said+no" + state);
  }
  const std::string code = "code-" + std::to_string(++serial_);
  codes_[code] = Grant{first(query, "client_id").value_or(""), redirectUri, challenge};
  return Reply::answer(302, "", "text/plain").withHeader("Location", back + "code=" + code + state);
}

Reply AuthorizationServer::token(const RecordedRequest& request) {
  const std::lock_guard lock(mutex_);
  tokenRequests_.push_back(request);
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
    const auto verifier = request.field("code_verifier").value_or("");
    if (grant.clientId != clientId || grant.redirectUri != request.field("redirect_uri") ||
        platform::s256Challenge(verifier) != grant.challenge) {
      return refusal(400, "invalid_grant", "the code was issued to another client, redirect or verifier");
    }
    return issue();
  }
  if (grantType == "client_credentials") {
    if (!confidential) {
      return refusal(400, "unauthorized_client", "a public client has no credentials of its own");
    }
    return issue(false);
  }
  if (fallback_) {
    return fallback_(request);
  }
  return refusal(400, "unsupported_grant_type", "only authorization_code and client_credentials are served");
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
