#include "tokens/OpenIdLogin.hpp"

#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/OpenIdRequests.hpp>

#include "frame/Arguments.hpp"

namespace tervala::cli {

std::variant<OpenIdLogin, EndpointProblem> OpenIdLogin::prepare(const Arguments& arguments,
                                                                IssuerEndpoints& issuer,
                                                                const AuthorizationRequest& request) {
  if (arguments.has("par") && arguments.has("no-par")) {
    return EndpointProblem{"give one of --par and --no-par"};
  }
  OpenIdLogin login(request);
  const AuthorizationServerMetadata* metadata = issuer.metadata();
  if (!arguments.has("no-par") && metadata != nullptr) {
    login.pushedEndpoint_ = metadata->pushedAuthorizationRequestEndpoint;
  }
  if (arguments.has("par") && !login.pushedEndpoint_) {
    return EndpointProblem{"--par needs an --issuer that names a pushed_authorization_request_endpoint"};
  }
  // The nonce is sent exactly when the scope holds "openid": then the ID token must verify.
  if (!request.nonce().empty()) {
    if (metadata == nullptr || !metadata->jwksUri) {
      return EndpointProblem{
          "the openid scope needs an --issuer whose metadata names a jwks_uri, to verify the ID token"};
    }
    login.expected_ =
        IdTokenVerifier::Expected{metadata->issuer, {}, *metadata->jwksUri, request.nonce(), {}};
  }
  return login;
}

std::variant<std::string, Error> OpenIdLogin::browserUrl(std::string_view authorizationUrl,
                                                         std::string_view clientId) const {
  if (!pushedEndpoint_) {
    return request_.url();
  }
  return OpenIdRequests::pushAuthorization(*pushedEndpoint_, authorizationUrl, clientId, request_);
}

OAuthContext::Result OpenIdLogin::verify(OAuthContext::Result result, std::string_view clientId,
                                         std::string& claims) const {
  if (!expected_ || !result || result->hasError()) {
    return result;
  }
  const auto token = result->serializeToToken();
  const auto fields = token ? token->additionalData() : OAuthToken::AdditionalData{};
  const auto idToken = fields.find("id_token");
  if (idToken == fields.end()) {
    return std::make_shared<const OAuthResult>(Error::make(Error::oauthErrorDomain, -1,
                                                           "The ID token was refused.",
                                                           std::string_view("the reply holds no id_token")));
  }
  auto expected = *expected_;
  expected.clientId = clientId;
  expected.accessToken = token->accessToken();
  auto verified = IdTokenVerifier::verify(idToken->second, expected);
  if (auto* const error = std::get_if<Error>(&verified)) {
    return std::make_shared<const OAuthResult>(std::move(*error));
  }
  claims = std::get<IdTokenClaims>(verified).json;
  return result;
}

}  // namespace tervala::cli
