#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tervala/OAuthDiscovery.hpp>

#include "frame/Commands.hpp"

namespace tervala::cli {

class Arguments;

/// The endpoints of the authorization server a command may reach.
enum class Endpoint { token, authorization, deviceAuthorization, revocation, introspection, userinfo };

/// Why a command has no URL for an endpoint: a one-line message and the exit status.
struct EndpointProblem {
  std::string message;
  int status = usage;
};

/// Prints "tervala: MESSAGE" and gives the problem's exit status.
int report(const Io& io, const EndpointProblem& problem);

/// Settles the shared context from the options (`configure`) and finds the URL that `sent` (the
/// credentials, a token) goes to: `option`, or the issuer's URL for `endpoint`. A plain http URL
/// to another host is refused unless --allow-http.
std::variant<std::string, EndpointProblem> configuredEndpoint(const Arguments& arguments,
                                                              std::string_view option, Endpoint endpoint,
                                                              std::string_view sent, std::ostream& warnings);

/// The URLs a command sends to: each given by its own option, or else named by the metadata of
/// `--issuer`, which is fetched once, when first needed. The shared context's trust and timeout
/// must be settled first: the discovery runs through it.
class IssuerEndpoints {
 public:
  explicit IssuerEndpoints(const Arguments& arguments) : arguments_(arguments) {}

  /// The value of `option` when given, else the issuer's URL for `endpoint`.
  std::variant<std::string, EndpointProblem> url(std::string_view option, Endpoint endpoint);

  /// The issuer's metadata, discovered when first needed; null without --issuer or when the
  /// discovery failed (`url` says why).
  const AuthorizationServerMetadata* metadata();

 private:
  const Arguments& arguments_;
  std::optional<OAuthDiscovery::Result> discovered_;
};

}  // namespace tervala::cli
