#include <ostream>
#include <string>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include "Arguments.hpp"
#include "CertificateFileTrust.hpp"
#include "CleartextUrl.hpp"
#include "Commands.hpp"
#include "Input.hpp"
#include "StoreCheck.hpp"
#include "VisibleText.hpp"

namespace tervala::cli {
namespace {

// Settles the shared context for a refresh: every field is set, so nothing of an earlier run in
// the same process carries over (a scope, for one, would be sent with the refresh).
std::optional<UsageError> configureRefresh(OAuthContext& context, const Arguments& arguments) {
  context.serverTrustDelegate = nullptr;
  context.scope.reset();
  context.timeoutInterval = 30.0;
  context.clientSecret.reset();
  if (const auto path = arguments.value("cacert")) {
    context.serverTrustDelegate = CertificateFileTrust::load(std::string(*path));
    if (!context.serverTrustDelegate) {
      return UsageError{"no readable PEM certificate in '" + visible(*path) + "'"};
    }
  }
  if (const auto text = arguments.value("timeout")) {
    const auto seconds = parseNumber<double>(*text);
    if (!seconds || *seconds <= 0.0) {
      return UsageError{"--timeout needs a number of seconds above 0, not '" + visible(*text) + "'"};
    }
    context.timeoutInterval = *seconds;
  }
  if (const auto* secret = arguments.secret("client-secret")) {
    context.clientSecret = std::string(platform::view(*secret));
  }
  return std::nullopt;
}

void forgetClientSecret(OAuthContext& context) {
  if (context.clientSecret) {
    platform::cleanse(*context.clientSecret);
    context.clientSecret.reset();
  }
}

// One line saying why no token could be had; the store's own reason when it holds none.
std::string whyNoToken(SettingsStore& store, const std::optional<Error>& error) {
  if (!OAuthToken::retrieve(store)) {
    return missingTokenReason(store);
  }
  if (!error) {
    return "no token";
  }
  std::string line = error->localizedDescription();
  if (const auto reason = error->localizedFailureReason(); reason && *reason != line) {
    line += " (" + *reason + ")";
  }
  return visible(line);
}

}  // namespace

int runTokenGet(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  if (global.settingsPath) {
    SettingsStore::setStandardLocation(*global.settingsPath);
  }
  const std::string url(arguments.value("url").value_or(""));
  if (!arguments.has("allow-http") && isCleartextToAnotherHost(url)) {
    return refuse(io, UsageError{"refusing to send the refresh token over plain http to another host; use "
                                 "https (or --allow-http)"});
  }
  auto& context = OAuthContext::sharedInstance();
  if (auto error = configureRefresh(context, arguments)) {
    forgetClientSecret(context);
    return refuse(io, *error);
  }
  auto& store = SettingsStore::standard();
  TokenSource source(url, std::string(arguments.value("client-id").value_or("")), store);
  const auto answer = source.token();
  forgetClientSecret(context);
  if (!answer.token) {
    io.err << "tervala: cannot get a token: " << whyNoToken(store, answer.error) << '\n';
    return failure;
  }
  // The value goes into a header of the caller's next request: one that would break the line
  // is not printed at all, rather than printed escaped and sent wrong.
  const auto header = answer.token->createAuthorizationHeader();
  if (!header) {
    io.err << "tervala: the stored token holds characters that cannot be sent in a header\n";
    return failure;
  }
  io.out << (arguments.has("header") ? *header : answer.token->accessToken()) << '\n' << std::flush;
  return io.out ? success : failure;
}

}  // namespace tervala::cli
