#include <sys/random.h>

#include <array>
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
#include "text/HexText.hpp"
#include "tokens/BrowserLauncher.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/IssuerEndpoints.hpp"
#include "tokens/LoopbackListener.hpp"
#include "tokens/OpenIdLogin.hpp"
#include "tokens/ResultJson.hpp"
#include "tokens/TokenGrant.hpp"

namespace tervala::cli {
namespace {

using platform::view;

// Long enough for a person to sign in, short enough that a forgotten login does not listen on.
constexpr double defaultWaitSeconds = 300.0;
constexpr std::string_view callbackPath = "/callback";

// The browser is handed a path of the listener that redirects, once, to the authorization URL:
// the URL's state and challenge never stand in an argument vector, where any local user reads
// them. The path is 128 random bits, so that it is not found by trying; absent when the system
// has no randomness to give.
std::optional<std::string> oneTimeStartPath() {
  std::array<unsigned char, 16> bytes{};
  if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    return std::nullopt;
  }
  std::string path = "/start/";
  appendHex(path, bytes);
  return path;
}

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

// Serves the listener until one callback of this request arrives, or the deadline passes. The
// start path answers once with the redirect to the authorization URL, then 410. Requests on
// another path, and callbacks with another state (a stale tab, a forged link), get an error page
// and are otherwise ignored: they can neither end nor steer the login.
std::optional<AuthorizationRequest::Redirect> awaitCallback(
    LoopbackListener& listener, const AuthorizationRequest& request, const std::string& browserUrl,
    std::string_view startPath, std::chrono::steady_clock::time_point deadline, const Io& io) {
  bool started = false;
  std::size_t strangersTold = 0;
  // Said once per stranger's attempt, so that a login that fails because of one shows why.
  const auto tellStrangers = [&] {
    if (listener.strangersRefused() > strangersTold) {
      strangersTold = listener.strangersRefused();
      io.err << "tervala: refused a connection of another user to the login's listener\n" << std::flush;
    }
  };
  while (auto incoming = listener.next(deadline)) {
    tellStrangers();
    if (incoming->method() == "GET" && incoming->path() == startPath) {
      if (started) {
        incoming->answer(410, "Already used", "This login address was opened before; start a new login.");
      } else {
        incoming->redirect(browserUrl);
        started = true;
      }
      continue;
    }
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
  tellStrangers();
  return std::nullopt;
}

}  // namespace

int runTokenLogin(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  // Discovery runs through the shared context: it is settled first, once for the whole login.
  auto& shared = OAuthContext::sharedInstance();
  const ClientSecretScope secretScope(shared);
  if (const auto unusable = configure(shared, arguments, io.err)) {
    return refuse(io, *unusable);
  }
  if (arguments.has("no-store") && (arguments.has("store") || arguments.value("profile"))) {
    return refuse(io, UsageError{"--no-store cannot be combined with --store or --profile"});
  }
  const auto form = resultForm(arguments);  // before the browser, as every other refusal
  if (const auto* error = std::get_if<UsageError>(&form)) {
    return refuse(io, *error);
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
  auto identity = OpenIdLogin::prepare(arguments, issuer, *request);
  if (auto* problem = std::get_if<EndpointProblem>(&identity)) {
    return report(io, *problem);
  }
  auto& openId = std::get<OpenIdLogin>(identity);
  const auto browserUrl = openId.browserUrl(std::get<LoginEndpoints>(endpoints).authorization,
                                            arguments.value("client-id").value_or(""));
  if (const auto* error = std::get_if<Error>(&browserUrl)) {
    io.err << "tervala: the pushed authorization request failed: " << errorLine(*error) << '\n';
    return failure;
  }
  const auto startPath = oneTimeStartPath();
  if (!startPath) {
    io.err << "tervala: no random bytes for the login's address\n";
    return failure;
  }
  const std::string startUrl = listener->origin() + *startPath;
  if (arguments.has("no-browser") || !BrowserLauncher::open(startUrl)) {
    io.err << "Open this URL in a browser to log in:\n";
  } else {
    io.err << "Opened a browser to log in; if none appears, open:\n";
  }
  io.err << visible(startUrl) << '\n' << std::flush;

  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(wait));
  auto redirect =
      awaitCallback(*listener, *request, std::get<std::string>(browserUrl), *startPath, deadline, io);
  listener.reset();  // one callback only: later ones find nobody listening
  if (!redirect) {
    io.err << "tervala: no login callback arrived within " << wait << " seconds\n";
    return failure;
  }
  if (redirect->error) {
    io.out << resultJson(*redirect->error, std::get<ResultForm>(form)) << '\n' << std::flush;
    return failure;
  }
  const platform::SecretText code = platform::secretText(*redirect->code);
  platform::cleanse(*redirect->code);
  std::string claims;
  return grant(
      global, arguments, io,
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
        return openId.verify(std::move(result), clientId, claims);
      },
      {.endpoints = &issuer, .configured = true, .storesUnlessTold = true, .identityClaims = &claims});
}

int runTokenClient(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return grant(
      global, arguments, io,
      [](OAuthContext& context, std::string_view url, std::string_view clientId,
         const OAuthContext::Params& params) { return context.getClientAccessToken(url, clientId, params); });
}

}  // namespace tervala::cli
