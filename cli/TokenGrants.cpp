#include <functional>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "Arguments.hpp"
#include "CertificateFileTrust.hpp"
#include "CleartextUrl.hpp"
#include "Commands.hpp"
#include "Input.hpp"
#include "IssuerEndpoints.hpp"
#include "StoreCheck.hpp"
#include "TokenGrant.hpp"
#include "VisibleText.hpp"

namespace tervala::cli {
namespace {

using platform::view;

std::variant<OAuthContext::Params, UsageError> formFields(const Arguments& arguments) {
  OAuthContext::Params params;
  for (const auto& field : arguments.values("param")) {
    const std::size_t equals = field.find('=');
    if (equals == std::string::npos || equals == 0) {
      return UsageError{"--param needs KEY=VALUE, not '" + visible(field) + "'"};
    }
    params.insert_or_assign(field.substr(0, equals), field.substr(equals + 1));
  }
  return params;
}

}  // namespace

void forgetClientSecret(OAuthContext& context) {
  if (context.clientSecret) {
    platform::cleanse(*context.clientSecret);  // the whole buffer, also what a longer value left
    context.clientSecret.reset();
  }
}

std::optional<UsageError> configure(OAuthContext& context, const Arguments& arguments) {
  context.serverTrustDelegate = nullptr;
  context.scope.reset();
  context.timeoutInterval = 30.0;
  context.clientAuthentication = ClientAuthentication::form;
  forgetClientSecret(context);
  if (const auto method = arguments.value("auth")) {
    const auto parsed = clientAuthenticationNamed(*method);
    if (!parsed) {
      return UsageError{"--auth takes basic, form or none, not '" + visible(*method) + "'"};
    }
    context.clientAuthentication = *parsed;
  }
  if (const auto path = arguments.value("cacert")) {
    context.serverTrustDelegate = CertificateFileTrust::load(std::string(*path));
    if (!context.serverTrustDelegate) {
      return UsageError{"no readable PEM certificate in '" + visible(*path) + "'"};
    }
  }
  const auto scopes = arguments.values("scope");
  if (!scopes.empty()) {
    OAuthToken::Scope items;
    for (const auto& scope : scopes) {
      const auto split = OAuthToken::splitScope(scope);
      items.insert(items.end(), split.begin(), split.end());
    }
    context.scope = std::move(items);
  }
  if (const auto text = arguments.value("timeout")) {
    // The library takes a value that is not positive as "the default", which a user who typed
    // 0 would not expect; longer than a day it holds to a day itself.
    const auto seconds = parseNumber<double>(*text);
    if (!seconds || *seconds <= 0.0) {
      return UsageError{"--timeout needs a number of seconds above 0, not '" + visible(*text) + "'"};
    }
    context.timeoutInterval = *seconds;
  }
  if (const auto* secret = arguments.secret("client-secret")) {
    context.clientSecret = std::string(view(*secret));
  }
  return std::nullopt;
}

std::optional<ClientAuthentication> clientAuthenticationNamed(std::string_view name) {
  if (name == "form") return ClientAuthentication::form;
  if (name == "basic") return ClientAuthentication::basic;
  if (name == "none") return ClientAuthentication::none;
  return std::nullopt;
}

// `storeAlways`: a refresh of the stored token stores what it gets, or the spent refresh token
// of a rotating server would stay behind as the stored one.
int grant(const GlobalOptions& global, const Arguments& arguments, const Io& io, const Exchange& exchange,
          bool storeAlways, IssuerEndpoints* endpoints) {
  if (global.settingsPath) {
    SettingsStore::setStandardLocation(*global.settingsPath);
  }
  auto params = formFields(arguments);
  if (auto* error = std::get_if<UsageError>(&params)) {
    return refuse(io, *error);
  }
  auto& context = OAuthContext::sharedInstance();
  if (auto error = configure(context, arguments)) {
    forgetClientSecret(context);
    return refuse(io, *error);
  }
  // Discovery needs the trust and timeout settled above.
  IssuerEndpoints own(arguments);
  auto resolved = (endpoints != nullptr ? *endpoints : own).url("url", Endpoint::token);
  if (const auto* problem = std::get_if<EndpointProblem>(&resolved)) {
    forgetClientSecret(context);
    return report(io, *problem);
  }
  const std::string& url = std::get<std::string>(resolved);
  if (!arguments.has("allow-http") && isCleartextToAnotherHost(url)) {
    forgetClientSecret(context);
    return refuse(io, UsageError{"refusing to send credentials over plain http to another host; use https "
                                 "(or --allow-http)"});
  }

  // The blocking form: the tool waits for the result anyway, and so saves the hand-over to a
  // request thread and back. Every grant ends: the request has its timeout.
  const auto result = exchange(context, url, arguments.value("client-id").value_or(""),
                               std::get<OAuthContext::Params>(params));
  forgetClientSecret(context);
  if (!result) {
    io.err << "tervala: the token request gave no result\n";
    return failure;
  }
  io.out << result->serializeToJson() << '\n' << std::flush;
  if (result->hasError()) {
    return failure;
  }
  if (storeAlways || arguments.has("store")) {
    const auto token = result->serializeToToken();
    if (!token || !token->store()) {
      auto& store = SettingsStore::standard();
      io.err << "tervala: the token could not be stored: " << storeProblem(store) << '\n';
      return failure;
    }
  }
  return success;
}

int runTokenPassword(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return grant(global, arguments, io,
               [&](OAuthContext& context, std::string_view url, std::string_view clientId,
                   const OAuthContext::Params& params) {
                 return context.getAccessToken(url, clientId, arguments.value("username").value_or(""),
                                               view(*arguments.secret("password")), params);
               });
}

int runTokenCode(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return grant(global, arguments, io,
               [&](OAuthContext& context, std::string_view url, std::string_view clientId,
                   const OAuthContext::Params& params) {
                 return context.getAccessToken(url, clientId, view(*arguments.secret("code")), params);
               });
}

int runTokenRefresh(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  // --stored wins over a refresh token that only stands in the environment.
  const auto* given = arguments.has("stored") && arguments.fromEnvironment("refresh-token")
                          ? nullptr
                          : arguments.secret("refresh-token");
  if ((given != nullptr) == arguments.has("stored")) {
    return refuse(io, UsageError{"token refresh needs one of --refresh-token and --stored"});
  }
  platform::SecretText refreshToken;
  if (given != nullptr) {
    refreshToken = *given;
  } else {
    if (global.settingsPath) {
      SettingsStore::setStandardLocation(*global.settingsPath);
    }
    const auto token = OAuthToken::retrieve();
    const auto stored = token ? token->refreshToken() : std::nullopt;
    if (!stored || stored->empty()) {
      io.err << "tervala: "
             << (token ? "the stored token has no refresh token"
                       : missingTokenReason(SettingsStore::standard()))
             << '\n';
      return failure;
    }
    refreshToken = platform::secretText(*stored);
  }
  return grant(
      global, arguments, io,
      [&](OAuthContext& context, std::string_view url, std::string_view clientId,
          const OAuthContext::Params& params) {
        return context.refreshAccessToken(url, clientId, view(refreshToken), params);
      },
      given == nullptr);
}

}  // namespace tervala::cli
