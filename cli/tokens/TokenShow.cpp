#include <chrono>
#include <ctime>
#include <iomanip>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "frame/Arguments.hpp"
#include "frame/Commands.hpp"
#include "frame/VisibleText.hpp"
#include "tokens/Profile.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {
namespace {

std::optional<std::string> utcText(std::optional<Date> when) {
  if (!when) {
    return std::nullopt;
  }
  const std::time_t seconds = std::chrono::system_clock::to_time_t(*when);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) {
    return std::nullopt;
  }
  std::ostringstream out;
  out << std::put_time(&parts, "%Y-%m-%dT%H:%M:%SZ");
  return out.str();
}

// Stored values may hold anything a server or another program put there: JSON escapes every
// control character, and non-ASCII as \\u (a byte that is not UTF-8 as U+FFFD).
std::string jsonText(const OAuthToken& token, const std::optional<std::string>& expires, bool expired,
                     const TokenPlace& place) {
  nlohmann::json shown{{"token_type", token.tokenType()},
                       {"access_token", token.accessToken()},
                       {"expires_on", expires ? nlohmann::json(*expires) : nlohmann::json(nullptr)},
                       {"expired", expired},
                       {"stored_in", place.inKeyring() ? "keyring" : "file"}};
  if (const auto scope = token.scope()) {
    shown["scope"] = *scope;
  }
  if (!place.inKeyring()) {
    shown["settings_file"] = SettingsStore::standard().location().string();
  }
  return shown.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

}  // namespace

int runTokenShow(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  auto chosen = Profile::of(global, arguments);
  if (auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  Profile& profile = std::get<Profile>(chosen);
  auto& place = profile.tokenPlace();
  auto read = place.retrieveToken(io);
  if (auto* reason = std::get_if<std::string>(&read)) {
    io.err << "tervala: " << shownMessage(*reason) << '\n';
    return failure;
  }
  const auto& token = std::get<std::shared_ptr<OAuthToken>>(read);
  // A server that told no lifetime: shown as unknown rather than as the end of time.
  const auto expires =
      token->expiresOn() == OAuthToken::unknownExpiry ? std::nullopt : utcText(token->expiresOn());
  const bool expired = token->hasTokenExpired();
  if (arguments.has("json")) {
    io.out << jsonText(*token, expires, expired, place) << '\n';
  } else {
    // Beside the three lines, not among them, so scripts that read them keep working.
    io.err << "Stored in: " << place.description() << '\n';
    // Written from the fields, not the header value, so a planted control character shows as an
    // escape instead of reaching the terminal.
    io.out << "Authorization: " << visible(token->tokenType()) << ' ' << visible(token->accessToken()) << '\n'
           << "Expires: " << expires.value_or("unknown") << '\n'
           << "Expired: " << (expired ? "yes" : "no") << '\n';
  }
  io.out.flush();
  if (!io.out) {
    return failure;
  }
  return expired ? ExitStatus::expired : success;
}

}  // namespace tervala::cli
