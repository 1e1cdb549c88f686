#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include <tervala/ClientAuthentication.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "Commands.hpp"

namespace tervala::cli {

class Arguments;
class IssuerEndpoints;
class Profile;

/// Runs one grant on the context, on this thread, with the request's URL, client and form fields.
using Exchange =
    std::function<OAuthContext::Result(OAuthContext& context, std::string_view url, std::string_view clientId,
                                       const OAuthContext::Params& params)>;

/// Settles the shared context's fields from the options (trust, scope, timeout, client secret);
/// a refusal says what was wrong. Every field is set, so nothing of an earlier run carries over.
std::optional<UsageError> configure(OAuthContext& context, const Arguments& arguments);

/// Wipes the client secret that `configure` had to hand over as a plain string.
void forgetClientSecret(OAuthContext& context);

/// Runs `exchange` against the token endpoint (--url, or the one --issuer names, found through
/// `endpoints` when given, so that the exchange reuses its discovery) and prints its result as
/// JSON; a success is stored with --store, or always with `storeAlways`.
int grant(const GlobalOptions& global, const Arguments& arguments, const Io& io, const Exchange& exchange,
          bool storeAlways = false, IssuerEndpoints* endpoints = nullptr);

/// What a grant command adds to the options: its name for messages, the account (`--profile`)
/// whose endpoint, client and scope fill what the options leave out and which keeps the token,
/// and the stored token a refresh renews (whose scope a reply without one keeps).
struct GrantRequest {
  std::string_view command = "token";
  Profile& profile;
  std::shared_ptr<OAuthToken> renewed = nullptr;
  bool storeAlways = false;
  IssuerEndpoints* endpoints = nullptr;
};

/// `grant` for a command that has read its profile.
int grant(const GlobalOptions& global, const Arguments& arguments, const Io& io, const Exchange& exchange,
          const GrantRequest& request);

/// The method of `--auth`: "form", "basic" or "none".
std::optional<ClientAuthentication> clientAuthenticationNamed(std::string_view name);

}  // namespace tervala::cli
