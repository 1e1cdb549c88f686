#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/VisibleText.hpp"
#include "platform/SecureMemory.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/IssuerEndpoints.hpp"
#include "tokens/StoredTokenAnswer.hpp"
#include "tokens/TokenDpop.hpp"
#include "tokens/TokenGrant.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {
namespace {

// The token endpoint a refresh goes to: --url, else the one --issuer's metadata names; empty
// with neither, for a stored token that needs no refresh. With --method, --url is the URL of the
// request the headers are for, and only --issuer names the token endpoint.
std::variant<std::string, EndpointProblem> tokenEndpoint(const Arguments& arguments) {
  const std::string_view given = arguments.value("method") ? "token-url" : "url";
  if (!arguments.value(given) && !arguments.value("issuer")) {
    return std::string();
  }
  auto url = IssuerEndpoints(arguments).url(given, Endpoint::token);
  if (const auto* found = std::get_if<std::string>(&url);
      found != nullptr && !arguments.has("allow-http") && isCleartextToAnotherHost(*found)) {
    return EndpointProblem{cleartextRefusal("the refresh token")};
  }
  return url;
}

}  // namespace

int runTokenGet(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  auto chosen = TokenPlace::choose(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  auto& place = std::get<TokenPlace>(chosen);
  auto& context = OAuthContext::sharedInstance();
  const ClientSecretScope secretScope(context);
  // A refresh of the stored token reads its reply as the library does unless told: strictly.
  if (auto error = configure(context, arguments, io.err, ReplyProfile::strict)) {
    return refuse(io, *error);
  }
  // The token is looked for where `token show` finds it, and refreshed and stored again there.
  const auto found = place.retrieveToken(io);
  if (const auto* why = std::get_if<std::string>(&found)) {
    io.err << "tervala: cannot get a token: " << shownMessage(*why) << '\n';
    return failure;
  }
  // A token that needs renewing without the means to renew it can only fail; say what is missing.
  const auto& token = *std::get<std::shared_ptr<OAuthToken>>(found);
  auto refreshToken = token.refreshToken();
  const bool renewable = refreshToken && !refreshToken->empty();
  platform::cleanse(refreshToken);
  const auto now = std::chrono::system_clock::now();
  const bool needsRefresh = token.expiresOn() && *token.expiresOn() <= now + TokenSource::defaultMargin;
  if (needsRefresh && !renewable) {
    // A login that granted no refresh token (many servers grant one only when asked for offline
    // access): only a new login gives a token, so nothing is sent.
    io.err << "tervala: cannot get a token: the stored token "
           << (*token.expiresOn() <= now ? "has expired" : "expires within a minute")
           << " and has no refresh token; log in again (tervala token login, or the grant that stored it)\n";
    return failure;
  }
  const auto url = tokenEndpoint(arguments);
  if (const auto* problem = std::get_if<EndpointProblem>(&url)) {
    return report(io, *problem);
  }
  if (needsRefresh && std::get<std::string>(url).empty()) {
    io.err
        << "tervala: cannot get a token: the stored token needs a refresh, which needs --url or --issuer\n";
    return failure;
  }
  const std::string clientId(arguments.value("client-id").value_or(""));
  auto* keyring = place.keyring();
  const auto source =
      keyring != nullptr
          ? std::make_unique<TokenSource>(std::get<std::string>(url), clientId, *keyring, place.key())
          : std::make_unique<TokenSource>(std::get<std::string>(url), clientId, SettingsStore::standard(),
                                          place.key());
  const auto answer = source->token();
  if (!answer.token) {
    io.err << "tervala: cannot get a token: "
           << shownMessage(answer.error ? errorLine(*answer.error) : "no token") << '\n';
    return failure;
  }
  return arguments.value("method") ? printRequestHeaders(*answer.token, arguments, io)
                                   : printToken(*answer.token, arguments, io);
}

}  // namespace tervala::cli
