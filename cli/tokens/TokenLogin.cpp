#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/AuthorizationRequest.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/BrowserLauncher.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/IssuerEndpoints.hpp"
#include "tokens/LoopbackListener.hpp"
#include "tokens/TokenGrant.hpp"

namespace tervala::cli {
namespace {

using platform::view;

// Long enough for a person to sign in, short enough that a forgotten login does not listen on.
constexpr double defaultWaitSeconds = 300.0;
constexpr std::string_view callbackPath = "/callback";

// The two endpoints of a login. Discovery from an issuer's metadata fills them in where given.
struct LoginEndpoints {
  std::string authorization;
  std::string token;
};

// Each endpoint from its option, else from the issuer's metadata (one discovery for both).
std::variant<LoginEndpoints, EndpointProblem> loginEndpoints(const Arguments& arguments,
                                                             IssuerEndpoints& issuer) {
  auto authorization = issuer.url("auth-url", Endpoint::authorization);
  auto* problem = std::get_if<EndpointProblem>(&authorization);
  auto token = problem != nullptr ? authorization : issuer.url("url", Endpoint::token);
  problem = problem != nullptr ? problem : std::get_if<EndpointProblem>(&token);
  if (problem != nullptr) {
    if (problem->message.starts_with("needs ")) {
      problem->message.insert(0, "token login ");
    }
    return std::move(*problem);
  }
  LoginEndpoints endpoints{std::move(std::get<std::string>(authorization)),
                           std::move(std::get<std::string>(token))};
  if (!arguments.has("allow-http") &&
      (isCleartextToAnotherHost(endpoints.authorization) || isCleartextToAnotherHost(endpoints.token))) {
    return EndpointProblem{"refusing to log in over plain http to another host; use https (or --allow-http)"};
  }
  return endpoints;
}

// Serves the listener until one callback of this request arrives, or the deadline passes.
// Requests on another path, and callbacks with another state (a stale tab, a forged link), get
// an error page and are otherwise ignored: they can neither end nor steer the login.
std::optional<AuthorizationRequest::Redirect> awaitCallback(LoopbackListener& listener,
                                                            const AuthorizationRequest& request,
                                                            std::chrono::steady_clock::time_point deadline) {
  while (auto incoming = listener.next(deadline)) {
    if (incoming->method() != "GET" || incoming->path() != callbackPath) {
      incoming->answer(404, "Not found", "This address is not the login's callback.");
      continue;
    }
    auto redirect = request.parseRedirect(incoming->target());
    if (!redirect.stateMatched) {
      incoming->answer(400, "Login refused", "This reply does not belong to the login in progress.");
      continue;
    }
    if (redirect.code) {
      incoming->answer(200, "Logged in", "You may close this window and return to the terminal.");
    } else {
      incoming->answer(400, "Login failed", "The authorization server refused the login; see the terminal.");
    }
    return redirect;
  }
  return std::nullopt;
}

}  // namespace

int runTokenLogin(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  // Discovery runs through the shared context: it is settled first, once for the whole login.
  auto& shared = OAuthContext::sharedInstance();
  const ClientSecretScope secretScope(shared);
  if (const auto unusable = configure(shared, arguments)) {
    return refuse(io, *unusable);
  }
  IssuerEndpoints issuer(arguments);
  auto endpoints = loginEndpoints(arguments, issuer);
  if (const auto* problem = std::get_if<EndpointProblem>(&endpoints)) {
    return report(io, *problem);
  }
  // --timeout, checked with the request's, bounds the wait for the browser too.
  const double wait = arguments.value("timeout") ? shared.timeoutInterval : defaultWaitSeconds;
  auto opened = LoopbackListener::open(arguments.has("ipv6"));
  if (const auto* problem = std::get_if<std::string>(&opened)) {
    io.err << "tervala: " << *problem << '\n';
    return failure;
  }
  std::optional<LoopbackListener> listener(std::move(std::get<LoopbackListener>(opened)));
  const auto request = AuthorizationRequest::make(
      std::get<LoginEndpoints>(endpoints).authorization, arguments.value("client-id").value_or(""),
      listener->origin() + std::string(callbackPath), shared.scope.value_or(OAuthToken::Scope{}));
  if (!request) {
    return refuse(io, UsageError{"--auth-url needs an absolute URL without a fragment"});
  }
  if (arguments.has("no-browser") || !BrowserLauncher::open(request->url())) {
    io.err << "Open this URL in a browser to log in:\n";
  } else {
    io.err << "Opened a browser to log in; if none appears, open:\n";
  }
  io.err << visible(request->url()) << '\n' << std::flush;

  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(wait));
  auto redirect = awaitCallback(*listener, *request, deadline);
  listener.reset();  // one callback only: later ones find nobody listening
  if (!redirect) {
    io.err << "tervala: no login callback arrived within " << wait << " seconds\n";
    return failure;
  }
  if (redirect->error) {
    io.out << redirect->error->serializeToJson() << '\n' << std::flush;
    return failure;
  }
  const platform::SecretText code = platform::secretText(*redirect->code);
  platform::cleanse(*redirect->code);
  return grant(global, arguments, io,
               [&](OAuthContext& context, std::string_view url, std::string_view clientId,
                   const OAuthContext::Params& params) {
                 auto fields = params;
                 for (auto& [name, value] : request->exchangeParams()) {
                   fields.insert_or_assign(name, std::move(value));
                 }
                 // The scope was asked for at the authorization endpoint; the code carries it.
                 context.scope.reset();
                 auto result = context.getAccessToken(url, clientId, view(code), fields);
                 platform::cleanse(std::get<std::string>(fields.at("code_verifier")));
                 return result;
               },
               {.endpoints = &issuer, .configured = true});
}

int runTokenClient(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return grant(
      global, arguments, io,
      [](OAuthContext& context, std::string_view url, std::string_view clientId,
         const OAuthContext::Params& params) { return context.getClientAccessToken(url, clientId, params); });
}

}  // namespace tervala::cli
