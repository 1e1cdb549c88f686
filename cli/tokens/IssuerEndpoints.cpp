#include "tokens/IssuerEndpoints.hpp"

#include <ostream>

#include "frame/Arguments.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/TokenGrant.hpp"

namespace tervala::cli {
namespace {

const std::optional<std::string>& field(const AuthorizationServerMetadata& metadata, Endpoint endpoint) {
  switch (endpoint) {
    case Endpoint::authorization:
      return metadata.authorizationEndpoint;
    case Endpoint::deviceAuthorization:
      return metadata.deviceAuthorizationEndpoint;
    case Endpoint::revocation:
      return metadata.revocationEndpoint;
    case Endpoint::introspection:
      return metadata.introspectionEndpoint;
    case Endpoint::userinfo:
      return metadata.userinfoEndpoint;
    case Endpoint::token:
      break;
  }
  return metadata.tokenEndpoint;
}

std::string_view field(Endpoint endpoint) {
  switch (endpoint) {
    case Endpoint::authorization:
      return "authorization_endpoint";
    case Endpoint::deviceAuthorization:
      return "device_authorization_endpoint";
    case Endpoint::revocation:
      return "revocation_endpoint";
    case Endpoint::introspection:
      return "introspection_endpoint";
    case Endpoint::userinfo:
      return "userinfo_endpoint";
    case Endpoint::token:
      break;
  }
  return "token_endpoint";
}

}  // namespace

int report(const Io& io, const EndpointProblem& problem) {
  io.err << "tervala: " << shownMessage(problem.message) << '\n';
  return problem.status;
}

std::variant<std::string, EndpointProblem> IssuerEndpoints::url(std::string_view option, Endpoint endpoint) {
  if (const auto given = arguments_.value(option)) {
    return std::string(*given);
  }
  const auto issuer = arguments_.value("issuer");
  if (!issuer) {
    return EndpointProblem{"needs --" + std::string(option) + " or --issuer"};
  }
  if (!discovered_) {
    discovered_ = OAuthDiscovery::discover(*issuer);
  }
  if (const auto* error = std::get_if<Error>(&*discovered_)) {
    const auto reason = error->localizedFailureReason();
    return EndpointProblem{"no endpoints from issuer '" + visible(*issuer) +
                               "': " + visible(error->localizedDescription()) +
                               (reason ? " (" + visible(*reason) + ")" : ""),
                           failure};
  }
  const auto& found = field(std::get<AuthorizationServerMetadata>(*discovered_), endpoint);
  if (!found) {
    return EndpointProblem{
        "the issuer names no " + std::string(field(endpoint)) + "; give --" + std::string(option), failure};
  }
  return *found;
}

const AuthorizationServerMetadata* IssuerEndpoints::metadata() {
  const auto issuer = arguments_.value("issuer");
  if (!issuer) {
    return nullptr;
  }
  if (!discovered_) {
    discovered_ = OAuthDiscovery::discover(*issuer);
  }
  return std::get_if<AuthorizationServerMetadata>(&*discovered_);
}

std::variant<std::string, EndpointProblem> configuredEndpoint(const Arguments& arguments,
                                                              std::string_view option, Endpoint endpoint,
                                                              std::string_view sent, std::ostream& warnings) {
  if (auto error = configure(OAuthContext::sharedInstance(), arguments, warnings)) {
    return EndpointProblem{std::move(error->message)};
  }
  auto url = IssuerEndpoints(arguments).url(option, endpoint);
  if (const auto* found = std::get_if<std::string>(&url);
      found != nullptr && !arguments.has("allow-http") && isCleartextToAnotherHost(*found)) {
    return EndpointProblem{cleartextRefusal(sent)};
  }
  return url;
}

}  // namespace tervala::cli
