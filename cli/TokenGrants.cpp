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
#include "StoreCheck.hpp"
#include "TokenPlace.hpp"
#include "VisibleText.hpp"

namespace tervala::cli {
namespace {

using platform::view;

// Runs one grant on the context, on this thread, with the request's URL, client and form fields.
using Exchange =
    std::function<OAuthContext::Result(OAuthContext& context, std::string_view url, std::string_view clientId,
                                       const OAuthContext::Params& params)>;

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

// Wipes the client secret that `configure` had to hand over as a plain string.
void forgetClientSecret(OAuthContext& context) {
  if (context.clientSecret) {
    platform::cleanse(*context.clientSecret);  // the whole buffer, also what a longer value left
    context.clientSecret.reset();
  }
}

// Settles the shared context's fields from the options; a refusal says what was wrong. Every
// field is set, so nothing of an earlier run in the same process carries over.
std::optional<UsageError> configure(OAuthContext& context, const Arguments& arguments) {
  context.serverTrustDelegate = nullptr;
  context.scope.reset();
  context.timeoutInterval = 30.0;
  forgetClientSecret(context);
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

// `storedAt`: the place a stored token was read from, which the new one then replaces.
int grant(const GlobalOptions& global, const Arguments& arguments, const Io& io, const Exchange& exchange,
          TokenPlace* storedAt = nullptr) {
  std::optional<TokenPlace> chosen;
  if (storedAt == nullptr) {
    auto choice = TokenPlace::choose(global, arguments);
    if (auto* error = std::get_if<UsageError>(&choice)) {
      return refuse(io, *error);
    }
    chosen.emplace(std::move(std::get<TokenPlace>(choice)));
  }
  TokenPlace& place = storedAt != nullptr ? *storedAt : *chosen;
  const bool storing = storedAt != nullptr || arguments.has("store");
  const std::string url(arguments.value("url").value_or(""));
  if (!arguments.has("allow-http") && isCleartextToAnotherHost(url)) {
    return refuse(io, UsageError{"refusing to send credentials over plain http to another host; use https "
                                 "(or --allow-http)"});
  }
  auto params = formFields(arguments);
  if (auto* error = std::get_if<UsageError>(&params)) {
    return refuse(io, *error);
  }
  // Where the token goes is settled before the grant spends a code or a refresh token.
  if (const auto problem = storing ? place.prepareWrite(io) : std::nullopt) {
    io.err << "tervala: " << *problem << '\n';
    return failure;
  }
  auto& context = OAuthContext::sharedInstance();
  if (auto error = configure(context, arguments)) {
    forgetClientSecret(context);
    return refuse(io, *error);
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
  if (storing) {
    const auto token = result->serializeToToken();
    const auto problem =
        token ? place.storeToken(*token) : std::optional(storeProblem(SettingsStore::standard()));
    if (problem) {
      io.err << "tervala: the token could not be stored: " << *problem << '\n';
      return failure;
    }
  }
  return success;
}

}  // namespace

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
  std::optional<TokenPlace> storedAt;
  if (given != nullptr) {
    refreshToken = *given;
  } else {
    auto chosen = TokenPlace::choose(global, arguments);
    if (auto* error = std::get_if<UsageError>(&chosen)) {
      return refuse(io, *error);
    }
    storedAt.emplace(std::move(std::get<TokenPlace>(chosen)));
    auto read = storedAt->retrieveToken(io);
    if (auto* reason = std::get_if<std::string>(&read)) {
      io.err << "tervala: " << *reason << '\n';
      return failure;
    }
    const auto stored = std::get<std::shared_ptr<OAuthToken>>(read)->refreshToken();
    if (!stored || stored->empty()) {
      io.err << "tervala: the stored token has no refresh token\n";
      return failure;
    }
    refreshToken = platform::secretText(*stored);
  }
  // A refresh of the stored token stores what it gets where the token was, or the spent refresh
  // token of a rotating server would stay behind as the stored one.
  return grant(
      global, arguments, io,
      [&](OAuthContext& context, std::string_view url, std::string_view clientId,
          const OAuthContext::Params& params) {
        return context.refreshAccessToken(url, clientId, view(refreshToken), params);
      },
      storedAt ? &*storedAt : nullptr);
}

}  // namespace tervala::cli
