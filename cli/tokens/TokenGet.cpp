#include <ostream>
#include <string>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/StoreCheck.hpp"
#include "tokens/TokenGrant.hpp"

namespace tervala::cli {
namespace {

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
    return refuse(io, UsageError{cleartextRefusal("the refresh token")});
  }
  auto& context = OAuthContext::sharedInstance();
  const ClientSecretScope secretScope(context);
  // A refresh of the stored token reads its reply as the library does unless told: strictly.
  if (auto error = configure(context, arguments, ReplyProfile::strict)) {
    return refuse(io, *error);
  }
  auto& store = SettingsStore::standard();
  TokenSource source(url, std::string(arguments.value("client-id").value_or("")), store);
  const auto answer = source.token();
  if (!answer.token) {
    io.err << "tervala: cannot get a token: " << shownMessage(whyNoToken(store, answer.error)) << '\n';
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
