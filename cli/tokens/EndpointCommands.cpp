// The commands of the authorization server's endpoints beside the grants: the device flow,
// revocation and introspection.
#include <chrono>
#include <ostream>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>
#include <tervala/CancelToken.hpp>
#include <tervala/OAuthDeviceFlow.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthRevocation.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/OAuthTokenStatus.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/TerminalQrCode.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/InterruptCancel.hpp"
#include "tokens/IssuerEndpoints.hpp"
#include "tokens/ResultJson.hpp"
#include "tokens/TokenGrant.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {
namespace {

using platform::view;

std::shared_ptr<const OAuthResult> errorResult(std::string_view description) {
  return std::make_shared<const OAuthResult>(
      Error::make(Error::oauthErrorDomain, -1, description, description));
}

// Tells the user where to go: on standard error, so standard output keeps the one JSON line.
void showCodes(const DeviceAuthorization& authorization, const Arguments& arguments, const Io& io) {
  io.err << "Open " << visible(authorization.verificationUri()) << " and enter the code "
         << visible(authorization.userCode()) << '\n';
  if (const auto& complete = authorization.verificationUriComplete()) {
    io.err << "or open " << visible(*complete) << '\n';
    if (!arguments.has("no-qr")) {
      static_cast<void>(writeTerminalQrCode(*complete, io.err));
    }
  }
  io.err << "Waiting (at most " << authorization.expiresIn().count() << " s; Ctrl-C cancels)...\n"
         << std::flush;
}

// The token to revoke or inspect: --token, or one of the stored token's: the kind named by
// --token-type-hint, else the refresh token first when `refreshFirst` and it has one. A stored
// token goes with its kind as hint.
struct ChosenToken {
  platform::SecretText token;
  std::string hint;
};

std::variant<ChosenToken, int> chooseToken(const GlobalOptions& global, const Arguments& arguments,
                                           const Io& io, bool refreshFirst) {
  const auto* given = arguments.secret("token");
  if ((given != nullptr) == arguments.has("stored")) {
    return refuse(io, UsageError{"needs one of --token and --stored"});
  }
  const std::string hint(arguments.value("token-type-hint").value_or(""));
  if (given != nullptr) {
    return ChosenToken{*given, hint};
  }
  auto chosen = TokenPlace::choose(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  auto read = std::get<TokenPlace>(chosen).retrieveToken(io);
  if (const auto* reason = std::get_if<std::string>(&read)) {
    io.err << "tervala: " << shownMessage(*reason) << '\n';
    return failure;
  }
  const auto& stored = std::get<std::shared_ptr<OAuthToken>>(read);
  // A hint chooses which of the stored tokens goes; the copies the token hands out are wiped once
  // taken over, and only the one that may go is taken.
  const auto take = [&hint](std::string& copy, const char* kind) {
    ChosenToken taken{platform::secretText(copy), hint.empty() ? kind : hint};
    platform::cleanse(copy);
    return taken;
  };
  if (hint != "access_token" && (refreshFirst || hint == "refresh_token")) {
    if (auto refresh = stored->refreshToken(); refresh && !refresh->empty()) {
      return take(*refresh, "refresh_token");
    }
  }
  auto access = stored->accessToken();
  return take(access, "access_token");
}

// Revoke and inspect alike: choose the token, hold the client secret for the call, find the
// endpoint, then hand the token, its hint and the URL to `send`. It gives the exit status, or the
// server's refusal, printed as a grant prints its error result.
template <class Send>
int sendChosenToken(const GlobalOptions& global, const Arguments& arguments, const Io& io, bool refreshFirst,
                    Endpoint endpoint, const Send& send) {
  const auto form = resultForm(arguments);
  if (const auto* error = std::get_if<UsageError>(&form)) {
    return refuse(io, *error);
  }
  auto chosen = chooseToken(global, arguments, io, refreshFirst);
  if (const auto* status = std::get_if<int>(&chosen)) {
    return *status;
  }
  const auto& [token, hint] = std::get<ChosenToken>(chosen);
  const ClientSecretScope secretScope(OAuthContext::sharedInstance());
  auto url = configuredEndpoint(arguments, "url", endpoint, "credentials", io.err);
  if (const auto* problem = std::get_if<EndpointProblem>(&url)) {
    return report(io, *problem);
  }
  const std::variant<Error, int> sent = send(std::get<std::string>(url), view(token), hint);
  if (const auto* error = std::get_if<Error>(&sent)) {
    io.out << resultJson(OAuthResult(*error), std::get<ResultForm>(form)) << '\n' << std::flush;
    return failure;
  }
  return std::get<int>(sent);
}

nlohmann::json introspectionJson(const TokenStatus& read) {
  nlohmann::json shown{{"active", read.active}};
  for (const auto& [name, value] : read.additionalData) {
    shown[name] = value;
  }
  const std::pair<const char*, const std::optional<std::string>*> texts[] = {
      {"scope", &read.scope},          {"client_id", &read.clientId}, {"username", &read.username},
      {"token_type", &read.tokenType}, {"sub", &read.subject},        {"iss", &read.issuer},
      {"jti", &read.tokenId}};
  for (const auto& [name, value] : texts) {
    if (*value) {
      shown[name] = **value;
    }
  }
  const std::pair<const char*, const std::optional<Date>*> times[] = {
      {"exp", &read.expiresAt}, {"iat", &read.issuedAt}, {"nbf", &read.notBefore}};
  for (const auto& [name, value] : times) {
    if (*value) {
      shown[name] = std::chrono::duration_cast<std::chrono::seconds>((*value)->time_since_epoch()).count();
    }
  }
  if (!read.audience.empty()) {
    shown["aud"] = read.audience;
  }
  return shown;
}

}  // namespace

int runTokenDevice(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  if (!arguments.value("device-url") && !arguments.value("issuer")) {
    return refuse(io, UsageError{"token device needs --device-url or --issuer"});
  }
  IssuerEndpoints endpoints(arguments);  // one discovery for both endpoints
  CancelToken cancel;
  const InterruptCancel interrupt(cancel);
  if (!interrupt.installed()) {
    io.err << "tervala: cannot watch for interruption\n";
    return failure;
  }
  const int status = grant(global, arguments, io,
                           [&](OAuthContext& /*context*/, std::string_view url, std::string_view clientId,
                               const OAuthContext::Params& /*params*/) -> OAuthContext::Result {
                             auto deviceUrl = endpoints.url("device-url", Endpoint::deviceAuthorization);
                             if (const auto* problem = std::get_if<EndpointProblem>(&deviceUrl)) {
                               return errorResult(problem->message);
                             }
                             const auto& from = std::get<std::string>(deviceUrl);
                             if (!arguments.has("allow-http") && isCleartextToAnotherHost(from)) {
                               return errorResult(cleartextRefusal("credentials"));
                             }
                             auto started = OAuthDeviceFlow::start(from, clientId);
                             if (const auto* error = std::get_if<Error>(&started)) {
                               return std::make_shared<const OAuthResult>(*error);
                             }
                             const auto& authorization = std::get<DeviceAuthorization>(started);
                             showCodes(authorization, arguments, io);
                             return OAuthDeviceFlow::poll(url, clientId, authorization, cancel);
                           },
                           {.endpoints = &endpoints});
  if (cancel.cancelled()) {
    io.err << "tervala: cancelled\n";
    return 128 + InterruptCancel::signal();
  }
  return status;
}

int runTokenRevoke(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return sendChosenToken(global, arguments, io, true, Endpoint::revocation,
                         [&](const std::string& url, std::string_view token,
                             const std::string& hint) -> std::variant<Error, int> {
                           if (auto error = OAuthRevocation::revoke(
                                   url, arguments.value("client-id").value_or(""), token, hint)) {
                             return *std::move(error);
                           }
                           return success;
                         });
}

int runTokenInspect(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return sendChosenToken(
      global, arguments, io, false, Endpoint::introspection,
      [&](const std::string& url, std::string_view token,
          const std::string& hint) -> std::variant<Error, int> {
        const auto result =
            OAuthTokenStatus::query(url, arguments.value("client-id").value_or(""), token, hint);
        if (const auto* error = std::get_if<Error>(&result)) {
          return *error;
        }
        const auto& read = std::get<TokenStatus>(result);
        // JSON escapes every control character and non-ASCII: the server's texts reach a terminal.
        io.out << introspectionJson(read).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace)
               << '\n'
               << std::flush;
        return read.active ? success : ExitStatus::expired;
      });
}

}  // namespace tervala::cli
