#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <variant>

#include <tervala/ClientCertificate.hpp>
#include <tervala/ClientKey.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/HiddenPrompt.hpp"
#include "frame/Input.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/CertificateFileTrust.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/IdentifiedToken.hpp"
#include "tokens/IssuerEndpoints.hpp"
#include "tokens/Profile.hpp"
#include "tokens/ResultJson.hpp"
#include "tokens/StoreCheck.hpp"
#include "tokens/TokenDpop.hpp"
#include "tokens/TokenGrant.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {
namespace {

using platform::view;

// The key of --client-key, read as every secret file is, for --auth private_key_jwt alone.
std::optional<UsageError> loadClientKey(OAuthContext& context, const Arguments& arguments,
                                        std::ostream& warnings, bool keySigns) {
  const auto path = arguments.value("client-key");
  const bool wanted = keySigns || context.clientAuthentication == ClientAuthentication::privateKeyJwt;
  if (!path || !wanted) {
    return wanted ? std::optional(UsageError{keySigns ? "token jwt-bearer needs --client-key"
                                                      : "--auth private_key_jwt needs --client-key"})
           : path ? std::optional(UsageError{"--client-key goes with --auth private_key_jwt"})
                  : std::nullopt;
  }
  auto text = readSecretFile(std::string(*path), warnings);
  if (auto* error = std::get_if<UsageError>(&text)) {
    return std::move(*error);
  }
  const auto keyId = arguments.value("client-key-id");
  auto key = ClientKey::fromPem(view(std::get<platform::SecretText>(text)),
                                keyId ? std::optional<std::string>(*keyId) : std::nullopt);
  if (!key) {
    return UsageError{"--client-key '" + visible(*path) + "': " + key.reason()};
  }
  context.setClientKey(std::move(key).value());
  return std::nullopt;
}

// The certificate of --cert and the key of --key (read as every secret file is), presented to
// the endpoints that ask for one; needed by the mutual TLS methods of --auth.
std::optional<UsageError> loadClientCertificate(OAuthContext& context, const Arguments& arguments,
                                                std::ostream& warnings) {
  const auto certificatePath = arguments.value("cert");
  const auto keyPath = arguments.value("key");
  const bool mutualTls = context.clientAuthentication == ClientAuthentication::tlsClientAuth ||
                         context.clientAuthentication == ClientAuthentication::selfSignedTlsClientAuth;
  if (!certificatePath || !keyPath) {
    return certificatePath || keyPath ? std::optional(UsageError{"--cert and --key go together"})
           : mutualTls ? std::optional(UsageError{"--auth " + std::string(*arguments.value("auth")) +
                                                  " needs --cert and --key"})
                       : std::nullopt;
  }
  // A certificate is no secret, but still a file of bounded size: a device or a huge file is
  // refused rather than read without end.
  constexpr std::size_t longestCertificate = std::size_t{64} * 1024;
  std::error_code unusual;
  if (!std::filesystem::is_regular_file(std::string(*certificatePath), unusual)) {
    return UsageError{"--cert '" + visible(*certificatePath) + "' is not a readable regular file"};
  }
  std::ifstream file{std::string(*certificatePath), std::ios::binary};
  // Wiped memory: the file may hold the key as well.
  platform::SecretText certificate(longestCertificate + 1);
  file.read(certificate.data(), static_cast<std::streamsize>(certificate.size()));
  certificate.resize(static_cast<std::size_t>(file.gcount()));
  if (!file.is_open() || file.bad()) {
    return UsageError{"cannot read '" + visible(*certificatePath) + "'"};
  }
  if (certificate.size() > longestCertificate) {
    return UsageError{"--cert '" + visible(*certificatePath) + "' holds more than 64 KiB"};
  }
  auto key = readSecretFile(std::string(*keyPath), warnings);
  if (auto* error = std::get_if<UsageError>(&key)) {
    return std::move(*error);
  }
  auto loaded = ClientCertificate::fromPem(view(certificate), view(std::get<platform::SecretText>(key)));
  if (!loaded) {
    return UsageError{"--cert '" + visible(*certificatePath) + "' with --key '" + visible(*keyPath) +
                      "': " + loaded.reason()};
  }
  context.setClientCertificate(std::move(loaded).value());
  return std::nullopt;
}

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
  context.setClientKey(std::nullopt);
  context.setClientCertificate(std::nullopt);
  context.setProofKey(std::nullopt);
}

std::optional<UsageError> configure(OAuthContext& context, const Arguments& arguments, std::ostream& warnings,
                                    ReplyProfile unlessTold, bool keySigns) {
  context.serverTrustDelegate = nullptr;
  context.scope.reset();
  context.timeoutInterval = 30.0;
  context.clientAuthentication = ClientAuthentication::form;
  forgetClientSecret(context);
  // The issuer names the server whichever of its endpoints an assertion goes to.
  const auto issuer = arguments.value("issuer");
  context.setClientAssertionAudience(issuer ? std::optional<std::string>(*issuer) : std::nullopt);
  if (const auto method = arguments.value("auth")) {
    const auto parsed = clientAuthenticationNamed(*method);
    if (!parsed) {
      return UsageError{
          "--auth takes basic, form, none, private_key_jwt, client_secret_jwt, tls_client_auth or "
          "self_signed_tls_client_auth, not '" +
          visible(*method) + "'"};
    }
    context.clientAuthentication = *parsed;
  }
  if (auto problem = loadClientKey(context, arguments, warnings, keySigns)) {
    return problem;
  }
  if (auto problem = loadClientCertificate(context, arguments, warnings)) {
    return problem;
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
  // People talk to real servers: the grants read replies leniently unless told otherwise.
  if (arguments.has("strict") && arguments.has("lenient")) {
    return UsageError{"give one of --strict and --lenient"};
  }
  context.replyProfile = arguments.has("strict")    ? ReplyProfile::strict
                         : arguments.has("lenient") ? ReplyProfile::lenient
                                                    : unlessTold;
  return configureDpop(context, arguments);
}

std::optional<ClientAuthentication> clientAuthenticationNamed(std::string_view name) {
  if (name == "form") {
    return ClientAuthentication::form;
  }
  if (name == "basic") {
    return ClientAuthentication::basic;
  }
  if (name == "none") {
    return ClientAuthentication::none;
  }
  if (name == "private_key_jwt") {
    return ClientAuthentication::privateKeyJwt;
  }
  if (name == "client_secret_jwt") {
    return ClientAuthentication::clientSecretJwt;
  }
  if (name == "tls_client_auth") {
    return ClientAuthentication::tlsClientAuth;
  }
  if (name == "self_signed_tls_client_auth") {
    return ClientAuthentication::selfSignedTlsClientAuth;
  }
  return std::nullopt;
}

std::string errorLine(const Error& error) {
  std::string line = error.localizedDescription();
  if (const auto reason = error.localizedFailureReason(); reason && *reason != line) {
    line += " (" + *reason + ")";
  }
  return visible(line);
}

int grant(const GlobalOptions& global, const Arguments& arguments, const Io& io, const Exchange& exchange,
          const GrantRequest& request) {
  auto profile = Profile::of(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&profile)) {
    return refuse(io, *error);
  }
  return grant(arguments, io, exchange, std::get<Profile>(profile), request);
}

// The settings file was chosen with the profile.
int grant(const Arguments& arguments, const Io& io, const Exchange& exchange, Profile& profile,
          const GrantRequest& request) {
  auto params = formFields(arguments);
  if (auto* error = std::get_if<UsageError>(&params)) {
    return refuse(io, *error);
  }
  const auto form = resultForm(arguments);
  if (const auto* error = std::get_if<UsageError>(&form)) {
    return refuse(io, *error);
  }
  Profile::Account account = profile.account();
  if (const auto clientId = arguments.value("client-id")) {
    account.clientId = std::string(*clientId);
  }
  if (!account.clientId) {
    return refuse(io, UsageError{std::string(request.command) + " needs --client-id" +
                                 (profile.named() ? " (the profile remembers none yet)" : "")});
  }
  // A refresh of the stored token stores what it gets, or the spent refresh token of a rotating
  // server would stay behind as the stored one.
  const bool storing = profile.named() || request.renewed || arguments.has("store") ||
                       (request.storesUnlessTold && !arguments.has("no-store"));
  TokenPlace& place = profile.tokenPlace();
  // Where the token goes is settled before the grant spends a code or a refresh token.
  if (const auto problem = storing ? place.prepareWrite(io) : std::nullopt) {
    io.err << "tervala: " << shownMessage(*problem) << '\n';
    return failure;
  }
  auto& context = OAuthContext::sharedInstance();
  const ClientSecretScope secretScope(context);
  if (auto error = request.configured ? std::nullopt : configure(context, arguments, io.err)) {
    return refuse(io, *error);
  }
  // A bound token is renewed with proofs of its own key.
  if (const auto key = request.renewed ? request.renewed->proofKey() : std::nullopt) {
    context.setProofKey(key);
  }
  // A URL on the command line (or an issuer's) wins over the profile's. Discovery needs the trust
  // and timeout settled above.
  if (arguments.value("url") || arguments.value("issuer") || !account.url) {
    IssuerEndpoints own(arguments);
    auto resolved = (request.endpoints != nullptr ? *request.endpoints : own).url("url", Endpoint::token);
    if (auto* problem = std::get_if<EndpointProblem>(&resolved)) {
      if (problem->message.starts_with("needs ")) {
        problem->message.insert(0, std::string(request.command) + ' ');
        if (profile.named()) {
          problem->message += " (the profile remembers none yet)";
        }
      }
      return report(io, *problem);
    }
    account.url = std::move(std::get<std::string>(resolved));
  }
  const std::string& url = *account.url;
  if (!arguments.has("allow-http") && isCleartextToAnotherHost(url)) {
    return refuse(io, UsageError{cleartextRefusal("credentials")});
  }
  if (context.scope) {
    std::string joined;
    for (std::size_t index = 0; index < context.scope->size(); ++index) {
      joined.append(index == 0 ? "" : ",").append((*context.scope)[index]);
    }
    account.scope = std::move(joined);
  } else if (account.scope) {
    context.scope = OAuthToken::splitScope(*account.scope);
  }

  // The blocking form: the tool waits for the result anyway, and so saves the hand-over to a
  // request thread and back. Every grant ends: the request has its timeout.
  const auto result = exchange(context, url, *account.clientId, std::get<OAuthContext::Params>(params));
  if (!result) {
    io.err << "tervala: the token request gave no result\n";
    return failure;
  }
  // A failure is printed too, to standard output, so a script reading the JSON sees its error.
  io.out << resultJson(*result, std::get<ResultForm>(form)) << '\n' << std::flush;
  if (result->hasError()) {
    if (const auto& problem = result->tokenDataProblem()) {
      io.err << "tervala: the token endpoint's reply was refused: " << shownMessage(*problem) << '\n';
    }
    return failure;
  }
  if (storing) {
    std::shared_ptr<OAuthToken> token = result->serializeToToken();
    if (token && request.identityClaims != nullptr && !request.identityClaims->empty()) {
      token = std::make_shared<IdentifiedToken>(*token, *request.identityClaims);
    }
    // A reply that named no scope renews the scope the token had.
    if (token && request.renewed && token->scope() && token->scope()->empty()) {
      token->setScope(request.renewed->scope());
    }
    if (token) {
      bindGranted(*token, context, io.err);
    }
    auto problem = token ? place.storeToken(*token) : std::optional(storeProblem(SettingsStore::standard()));
    if (!problem && !profile.remember(account)) {
      problem = storeProblem(SettingsStore::standard());
    }
    if (problem) {
      io.err << "tervala: the token could not be stored: " << shownMessage(*problem) << '\n';
      return failure;
    }
  }
  return success;
}

int runTokenPassword(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  const auto username = arguments.value("username").value_or("");
  const platform::SecretText* password = arguments.secret("password");
  platform::SecretText asked;
  if (password == nullptr) {
    // As ssh and sudo do; a script without a terminal is told what is missing instead.
    if (!io.inIsTerminal) {
      return refuse(io, UsageError{"token password needs --password"});
    }
    auto answer = askHidden("Password for " + visible(username) + ": ");
    if (const auto* problem = std::get_if<PromptProblem>(&answer)) {
      io.err << "tervala: " << problem->message << '\n';
      return problem->signal != 0 ? 128 + problem->signal : failure;
    }
    asked = std::move(std::get<platform::SecretText>(answer));
    if (asked.empty()) {
      return refuse(io, UsageError{"the value of --password is empty"});
    }
    password = &asked;
  }
  return grant(global, arguments, io,
               [&](OAuthContext& context, std::string_view url, std::string_view clientId,
                   const OAuthContext::Params& params) {
                 return context.getAccessToken(url, clientId, username, view(*password), params);
               },
               {.command = "token password"});
}

int runTokenCode(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  return grant(global, arguments, io,
               [&](OAuthContext& context, std::string_view url, std::string_view clientId,
                   const OAuthContext::Params& params) {
                 return context.getAccessToken(url, clientId, view(*arguments.secret("code")), params);
               },
               {.command = "token code"});
}

int runTokenRefresh(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  auto chosen = Profile::of(global, arguments);
  if (const auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  Profile& profile = std::get<Profile>(chosen);
  // --stored wins over a refresh token that only stands in the environment; a profile renews its
  // own token unless one is given.
  const auto* given = arguments.has("stored") && arguments.fromEnvironment("refresh-token")
                          ? nullptr
                          : arguments.secret("refresh-token");
  const bool stored = arguments.has("stored") || (profile.named() && given == nullptr);
  if ((given != nullptr) == stored) {
    return refuse(io, UsageError{"token refresh needs one of --refresh-token and --stored"});
  }
  platform::SecretText refreshToken;
  std::optional<std::string> claims;
  const auto refresh = [&](const std::shared_ptr<OAuthToken>& renewed) {
    return grant(arguments, io,
                 [&](OAuthContext& context, std::string_view url, std::string_view clientId,
                     const OAuthContext::Params& params) {
                   return context.refreshAccessToken(url, clientId, view(refreshToken), params);
                 },
                 profile,
                 {.command = "token refresh",
                  .renewed = renewed,
                  // The login's verified identity stays with the tokens that renew its grant.
                  .identityClaims = claims ? &*claims : nullptr});
  };
  if (given != nullptr) {
    refreshToken = *given;
    return refresh(nullptr);
  }
  TokenPlace& place = profile.tokenPlace();
  auto read = place.retrieveToken(io);
  if (auto* reason = std::get_if<std::string>(&read)) {
    io.err << "tervala: " << shownMessage(*reason) << '\n';
    return failure;
  }
  claims = place.identityClaims();
  // A rotating refresh token is spent once: this process takes its turn among the token's
  // refreshers (`token get` and the library's too) and sends the refresh token stored when its
  // turn came, which may be the one another refresher stored meanwhile; the new token is stored
  // before the turn passes on.
  const auto source = place.keyring() != nullptr
                          ? std::make_unique<TokenSource>("", "", *place.keyring(), place.key())
                          : std::make_unique<TokenSource>("", "", SettingsStore::standard(), place.key());
  int status = failure;
  const auto problem = source->takeTurn([&](const std::shared_ptr<OAuthToken>& renewed) {
    if (!renewed) {
      io.err << "tervala: the stored token was removed or became unreadable meanwhile\n";
      return;
    }
    const auto held = renewed->refreshToken();
    if (!held || held->empty()) {
      io.err << "tervala: the stored token has no refresh token\n";
      return;
    }
    refreshToken = platform::secretText(*held);
    status = refresh(renewed);
  });
  if (problem) {
    io.err << "tervala: " << shownMessage(errorLine(*problem)) << '\n';
    return failure;
  }
  return status;
}

}  // namespace tervala::cli
