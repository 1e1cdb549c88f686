#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tervala/AuthorizationRequest.hpp>
#include <tervala/IdTokenClaims.hpp>
#include <tervala/OAuthContext.hpp>

#include "tokens/IssuerEndpoints.hpp"

namespace tervala::cli {

class Arguments;

/// What a login adds for an OpenID provider: the request pushed to the provider (RFC 9126) when
/// its metadata names the endpoint or --par asks, and the ID token of the exchange verified when
/// the scope holds "openid".
class OpenIdLogin {
 public:
  /// Settled before the browser opens: a contradiction of --par and --no-par, --par without an
  /// endpoint, or "openid" without an issuer whose key set verifies the ID token is refused here.
  static std::variant<OpenIdLogin, EndpointProblem> prepare(const Arguments& arguments,
                                                            IssuerEndpoints& issuer,
                                                            const AuthorizationRequest& request);

  /// The URL the browser is sent to: the request's own, or the pushed request's reference.
  [[nodiscard]] std::variant<std::string, Error> browserUrl(std::string_view authorizationUrl,
                                                            std::string_view clientId) const;

  /// The exchange's result, or an error result when its ID token does not verify; `claims`
  /// receives the verified claims.
  [[nodiscard]] OAuthContext::Result verify(OAuthContext::Result result, std::string_view clientId,
                                            std::string& claims) const;

 private:
  explicit OpenIdLogin(const AuthorizationRequest& request) : request_(request) {}

  const AuthorizationRequest& request_;
  std::optional<IdTokenVerifier::Expected> expected_;
  std::optional<std::string> pushedEndpoint_;
};

}  // namespace tervala::cli
