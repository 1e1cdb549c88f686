#include <optional>
#include <ostream>
#include <string>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthRevocation.hpp>
#include <tervala/OAuthToken.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/IssuerEndpoints.hpp"
#include "tokens/Profile.hpp"
#include "tokens/TokenGrant.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {
namespace {

// Revocation at the server (RFC 7009) before the token is forgotten, when the command names the
// revocation endpoint (--revoke-url, or --issuer's metadata). The refresh token goes when there is
// one: revoking it ends the access tokens granted with it too (RFC 7009 section 2.1). Absent when
// nothing was asked; otherwise whether it was revoked, and why not.
std::optional<std::string> revokeAtServer(const Arguments& arguments, const Profile::Account& account,
                                          const OAuthToken* token, bool& revoked, std::ostream& warnings) {
  if (!arguments.value("revoke-url") && !arguments.value("issuer")) {
    return std::nullopt;
  }
  if (token == nullptr) {
    return std::string("the stored token could not be read");
  }
  const ClientSecretScope secretScope(OAuthContext::sharedInstance());
  auto url = configuredEndpoint(arguments, "revoke-url", Endpoint::revocation, "the token", warnings);
  std::optional<std::string> problem;
  if (const auto* unknown = std::get_if<EndpointProblem>(&url)) {
    problem = unknown->message;
  } else {
    const auto refresh = token->refreshToken();
    const bool byRefresh = refresh && !refresh->empty();
    const std::string remembered = account.clientId.value_or("");
    const std::string_view clientId = arguments.value("client-id").value_or(remembered);
    const auto error = OAuthRevocation::revoke(std::get<std::string>(url), clientId,
                                               byRefresh ? *refresh : token->accessToken(),
                                               byRefresh ? "refresh_token" : "access_token");
    if (error) {
      problem = visible(error->localizedFailureReason().value_or(error->localizedDescription()));
    } else {
      revoked = true;
    }
  }
  return problem;
}

}  // namespace

int runTokenLogout(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  auto chosen = Profile::of(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  Profile& profile = std::get<Profile>(chosen);
  auto& place = profile.tokenPlace();
  auto read = place.retrieveToken(io);
  // A token that can no longer be read is forgotten all the same.
  if (!place.heldToken()) {
    io.err << "tervala: " << shownMessage(std::get<std::string>(read)) << '\n';
    return failure;
  }
  const auto* token = std::get_if<std::shared_ptr<OAuthToken>>(&read);
  bool revoked = false;
  const auto notRevoked = revokeAtServer(arguments, profile.account(),
                                         token != nullptr ? token->get() : nullptr, revoked, io.err);
  // The token is forgotten here whatever the server said: a logout that keeps it would surprise.
  if (const auto problem = place.removeToken()) {
    io.err << "tervala: the token could not be forgotten: " << shownMessage(*problem) << '\n';
    return failure;
  }
  if (notRevoked) {
    io.err << "tervala: the stored token is forgotten from " << place.description()
           << ", but the server did not revoke it: " << shownMessage(*notRevoked) << '\n';
    return failure;
  }
  if (!revoked) {
    io.err << "tervala: the stored token is forgotten from " << place.description()
           << "; it was not revoked at the server (no --revoke-url or --issuer)\n";
  }
  return success;
}

}  // namespace tervala::cli
