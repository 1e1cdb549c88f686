#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/ClientAuthentication.hpp>
#include <tervala/Error.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/ReplyProfile.hpp>

#include "frame/Commands.hpp"

namespace tervala::cli {

class Arguments;
class IssuerEndpoints;
class Profile;

/// Runs one grant on the context, on this thread, with the request's URL, client and form fields.
using Exchange =
    std::function<OAuthContext::Result(OAuthContext& context, std::string_view url, std::string_view clientId,
                                       const OAuthContext::Params& params)>;

/// Settles the shared context's fields from the options (trust, scope, timeout, client secret,
/// method of client authentication and its key, reading of replies: `unlessTold` without
/// --strict or --lenient); a refusal says what was wrong, a key file others may read is warned
/// about on `warnings`. Every field is set, so nothing of an earlier run carries over.
std::optional<UsageError> configure(OAuthContext& context, const Arguments& arguments, std::ostream& warnings,
                                    ReplyProfile unlessTold = ReplyProfile::lenient);

/// Wipes the client secret that `configure` had to hand over as a plain string, and lets the
/// client key go (OpenSSL wipes it).
void forgetClientSecret(OAuthContext& context);

/// Wipes the context's client secret on every way out of a command that configured it.
class ClientSecretScope {
 public:
  explicit ClientSecretScope(OAuthContext& context) : context_(context) {}
  ~ClientSecretScope() { forgetClientSecret(context_); }
  ClientSecretScope(const ClientSecretScope&) = delete;
  ClientSecretScope& operator=(const ClientSecretScope&) = delete;

 private:
  OAuthContext& context_;
};

/// What a grant command adds to the options: its name for messages, the stored token a refresh
/// renews (whose scope a reply without one keeps), the endpoints it has found already (so that
/// the exchange reuses their discovery), whether it has configured the context itself, and
/// whether it stores the token without --store.
struct GrantRequest {
  std::string_view command = "token";
  std::shared_ptr<OAuthToken> renewed = nullptr;
  IssuerEndpoints* endpoints = nullptr;
  bool configured = false;
  bool storesUnlessTold = false;  ///< stores its token unless --no-store is given, as a login does
  const std::string* identityClaims = nullptr;  ///< a verified ID token's claims, kept with the token
};

/// Runs `exchange` against the token endpoint (--url, or the one --issuer names) for the account
/// (`--profile`) whose endpoint, client and scope fill what the options leave out and which keeps
/// the token, and prints its result as JSON; a success is stored with --store or a profile.
int grant(const GlobalOptions& global, const Arguments& arguments, const Io& io, const Exchange& exchange,
          const GrantRequest& request = {});

/// `grant` for a command that has read its profile.
int grant(const Arguments& arguments, const Io& io, const Exchange& exchange, Profile& profile,
          const GrantRequest& request);

/// The method of `--auth`: "form", "basic", "none", "private_key_jwt" or "client_secret_jwt".
std::optional<ClientAuthentication> clientAuthenticationNamed(std::string_view name);

/// `error` in one line for the terminal: its description, and its reason when that says more.
std::string errorLine(const Error& error);

}  // namespace tervala::cli
