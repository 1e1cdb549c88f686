#include <tervala/AuthorizationRequest.hpp>

#include <algorithm>
#include <utility>

#include <tervala/OAuthContext.hpp>

#include "oauth/RedirectQuery.hpp"
#include "platform/EndpointUrl.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/FormEncoding.hpp"
#include "platform/PkceMaterial.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {
namespace {

// 256 bits: 43 unreserved characters, the shortest verifier RFC 7636 allows, and a state well
// beyond guessing.
constexpr std::size_t randomBytes = 32;

std::shared_ptr<const OAuthResult> redirectError(std::string_view description) {
  return errors::errorResult(Error::oauthErrorDomain, errors::oauth, description, "invalid_redirect");
}

// The URL's parameters, kept as pairs too for a pushed request.
struct Fields {
  std::string& url;
  std::vector<std::pair<std::string, std::string>> pairs;

  void append(std::string_view name, std::string_view value) {
    const platform::SecretText encoded = platform::formUrlEncode(value);
    url.append(pairs.empty() ? "" : "&").append(name).append("=").append(platform::view(encoded));
    pairs.emplace_back(name, value);
  }
};

}  // namespace

// Beside the verifier, behind the one pointer the class's fixed layout has room for.
struct AuthorizationRequest::Verifier {
  platform::SecretText text;
  std::string nonce;
  std::vector<std::pair<std::string, std::string>> parameters;
};

AuthorizationRequest::AuthorizationRequest(Key /*key*/, std::string url, std::string state,
                                           std::string redirectUri, std::unique_ptr<Verifier> verifier)
    : url_(std::move(url)),
      state_(std::move(state)),
      redirectUri_(std::move(redirectUri)),
      verifier_(std::move(verifier)) {}

AuthorizationRequest::~AuthorizationRequest() = default;

std::shared_ptr<const AuthorizationRequest> AuthorizationRequest::make(
    std::string_view authorizationUrl, std::string_view clientId, std::string_view redirectUri,
    const std::vector<std::string>& scope) {
  try {
    // The endpoint's own query stays (RFC 6749 section 3.1); a fragment is not allowed there.
    if (authorizationUrl.find('#') != std::string_view::npos ||
        !platform::parseEndpointUrl(authorizationUrl)) {
      return nullptr;
    }
    auto verifier = std::make_unique<Verifier>();
    auto verifierText = platform::randomUrlSafeText(randomBytes);
    const auto stateText = platform::randomUrlSafeText(randomBytes);
    if (!verifierText || !stateText) {
      return nullptr;
    }
    verifier->text = std::move(*verifierText);
    std::string state(platform::view(*stateText));

    std::string url(authorizationUrl);
    const std::size_t question = url.find('?');
    if (question == std::string::npos) {
      url.push_back('?');
    } else if (url.back() != '?' && url.back() != '&') {
      url.push_back('&');
    }
    Fields fields{url, {}};
    fields.append("response_type", "code");
    fields.append("client_id", clientId);
    if (!redirectUri.empty()) {
      fields.append("redirect_uri", redirectUri);
    }
    if (!scope.empty()) {
      std::string joined;
      for (const auto& item : scope) {
        joined.append(joined.empty() ? "" : " ").append(item);
      }
      fields.append("scope", joined);
    }
    fields.append("state", state);
    fields.append("code_challenge", challengeOf(platform::view(verifier->text)));
    fields.append("code_challenge_method", "S256");
    // The code may then be exchanged only with proofs of this key (RFC 9449 section 10).
    if (const auto key = OAuthContext::sharedInstance().proofKey()) {
      fields.append("dpop_jkt", key->thumbprint());
    }
    // The ID token must echo it: a token injected from another login carries another.
    std::string nonce;
    if (std::find(scope.begin(), scope.end(), "openid") != scope.end()) {
      const auto nonceText = platform::randomUrlSafeText(randomBytes);
      if (!nonceText) {
        return nullptr;
      }
      nonce.assign(platform::view(*nonceText));
      fields.append("nonce", nonce);
    }
    verifier->nonce = std::move(nonce);
    verifier->parameters = std::move(fields.pairs);
    return std::make_shared<const AuthorizationRequest>(Key{}, std::move(url), std::move(state),
                                                        std::string(redirectUri), std::move(verifier));
  } catch (const std::exception&) {
    return nullptr;  // only allocation can fail
  }
}

const std::string& AuthorizationRequest::nonce() const noexcept {
  return verifier_->nonce;
}

const std::vector<std::pair<std::string, std::string>>& AuthorizationRequest::parameters() const noexcept {
  return verifier_->parameters;
}

OAuthContext::Params AuthorizationRequest::exchangeParams() const {
  OAuthContext::Params params{{"code_verifier", std::string(platform::view(verifier_->text))}};
  if (!redirectUri_.empty()) {
    params.emplace("redirect_uri", redirectUri_);
  }
  return params;
}

AuthorizationRequest::Redirect AuthorizationRequest::parseRedirect(std::string_view redirect) const {
  try {
    const auto query = RedirectQuery::parse(redirect);
    if (!query) {
      return {std::nullopt, redirectError("The redirect holds no readable query.")};
    }
    for (const std::string_view name : {"state", "code", "error", "error_description", "error_uri"}) {
      if (query->count(name) > 1) {
        return {std::nullopt, redirectError("The redirect repeats a field.")};
      }
    }
    // Nothing of a reply to another request, or of a forged one, is believed: not even its error.
    const platform::SecretText* const state = query->find("state");
    if (state == nullptr || !platform::equalInConstantTime(platform::view(*state), state_)) {
      return {std::nullopt, redirectError("The redirect's state does not match the request's.")};
    }
    if (const platform::SecretText* const error = query->find("error")) {
      const platform::SecretText* const description = query->find("error_description");
      return {std::nullopt,
              errors::errorResult(Error::oauthErrorDomain, errors::oauth,
                                  platform::view(description != nullptr ? *description : *error),
                                  platform::view(*error)),
              true};
    }
    const platform::SecretText* const code = query->find("code");
    if (code == nullptr || code->empty()) {
      return {std::nullopt, redirectError("The redirect holds no code."), true};
    }
    return {std::string(platform::view(*code)), nullptr, true};
  } catch (const std::exception& failure) {
    return {std::nullopt, errors::errorResult(Error::oauthErrorDomain, errors::oauth,
                                              "The redirect could not be read", failure.what())};
  }
}

std::string AuthorizationRequest::challengeOf(std::string_view verifier) {
  return platform::s256Challenge(verifier);
}

}  // namespace tervala
