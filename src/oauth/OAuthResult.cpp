#include <tervala/OAuthResult.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>
#include <tervala/OAuthToken.hpp>

#include "oauth/HeaderText.hpp"
#include "oauth/LenientReply.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/SecureMemory.hpp"
#include "platform/VisibleText.hpp"

namespace tervala {
namespace {

constexpr std::string_view className = "Tervala.OAuthResult";
constexpr std::string_view invalidTokenData = "Invalid or missing OAuth token data received.";
// The description of an error reply that explains nothing itself.
constexpr std::string_view refusedByEndpoint = "The token endpoint refused the request.";

using Clock = std::chrono::system_clock;

// now + seconds, saturated at the ends of the date range; a lifetime that is not a number is
// treated as already over.
Date expiryAfter(Date now, double seconds) {
  if (std::isnan(seconds)) {
    return Date::min();
  }
  constexpr double nanosPerSecond = 1e9;
  // Beyond this magnitude seconds * 1e9 no longer fits in the date's 64-bit count.
  constexpr double limit = 9.2e9;
  if (seconds >= limit) {
    return Date::max();
  }
  if (seconds <= -limit) {
    return Date::min();
  }
  const auto offset = static_cast<std::int64_t>(seconds * nanosPerSecond);  // truncates toward zero
  const std::int64_t base =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  std::int64_t sum = 0;
  if (__builtin_add_overflow(base, offset, &sum)) {
    return offset > 0 ? Date::max() : Date::min();
  }
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(sum)));
}

// Whole seconds from `now` to `expiry`, truncated toward zero, without overflow anywhere in the
// date range (the difference itself may exceed the range of a nanosecond count).
std::int64_t secondsUntil(Date expiry, Date now) {
  using std::chrono::nanoseconds;
  constexpr std::int64_t nanosPerSecond = 1'000'000'000;
  const std::int64_t a = std::chrono::duration_cast<nanoseconds>(expiry.time_since_epoch()).count();
  const std::int64_t b = std::chrono::duration_cast<nanoseconds>(now.time_since_epoch()).count();
  std::int64_t seconds = (a / nanosPerSecond) - (b / nanosPerSecond);
  const std::int64_t rest = (a % nanosPerSecond) - (b % nanosPerSecond);  // in (-2e9, 2e9)
  seconds += rest / nanosPerSecond;
  const std::int64_t fraction = rest % nanosPerSecond;
  if (seconds > 0 && fraction < 0) {
    --seconds;
  } else if (seconds < 0 && fraction > 0) {
    ++seconds;
  }
  return seconds;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Each word's first character upper case, the others lower case (ASCII letters; other bytes,
// UTF-8 sequences included, are kept as they are).
std::string capitalized(std::string_view text) {
  std::string out(text);
  bool wordStart = true;
  for (char& c : out) {
    if (isBlank(c)) {
      wordStart = true;
      continue;
    }
    if (c >= 'a' && c <= 'z' && wordStart) {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z' && !wordStart) {
      c = static_cast<char>(c - 'A' + 'a');
    }
    wordStart = false;
  }
  return out;
}

// Compact JSON text of a value; malformed UTF-8 in a host-built value is replaced, not thrown.
std::string compactJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Appends `text` as the inside of a JSON string: quote, backslash and control characters
// escaped, malformed UTF-8 replaced by U+FFFD so the whole stays valid JSON. DEL, C1 controls,
// BiDi and other format characters are written as \u escapes too: hosts print this text, and a
// server's error_description or scope must not steer their terminal.
void appendEscaped(std::string& out, std::string_view text) {
  std::string quoted = compactJson(nlohmann::json(std::string(text)));
  const bool plain =
      std::all_of(quoted.begin(), quoted.end(), [](char c) { return static_cast<unsigned char>(c) < 0x7F; });
  std::string shown = plain ? std::string() : platform::visibleJson(quoted);
  const std::string& written = plain ? quoted : shown;
  out.append(written, 1, written.size() - 2);
  platform::cleanseEach(quoted, shown);  // the text may be a refresh token
}

void appendText(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    appendEscaped(out, *text);
  } else {
    out.append("nil");
  }
}

// The text of an error reply's entry: a text as it is, anything else as compact JSON; absent
// for a missing or null entry.
std::optional<std::string> replyText(const nlohmann::json& reply, std::string_view key) {
  const auto found = reply.find(key);
  if (found == reply.end() || found->is_null()) {
    return std::nullopt;
  }
  if (found->is_string()) {
    return found->get_ref<const std::string&>();
  }
  return compactJson(*found);
}

std::shared_ptr<const OAuthResult> errorReply(const nlohmann::json& reply) {
  const std::optional<std::string> reason = replyText(reply, "error");
  std::optional<std::string> description = replyText(reply, "error_description");
  if (!description) {
    const auto error = reply.find("error");
    description = error->is_string() ? error->get_ref<const std::string&>() : std::string(refusedByEndpoint);
  }
  return errors::errorResult(
      Error::oauthErrorDomain, errors::oauth, *description,
      reason ? std::optional<std::string_view>(*reason) : std::optional<std::string_view>());
}

std::shared_ptr<const OAuthResult> invalidTokenDataResult() {
  return errors::errorResult(Error::oauthErrorDomain, errors::oauth, invalidTokenData, invalidTokenData);
}

const std::string* textEntry(const nlohmann::json& reply, std::string_view key) {
  const auto found = reply.find(key);
  return found != reply.end() && found->is_string() ? &found->get_ref<const std::string&>() : nullptr;
}

constexpr std::array<std::string_view, 5> tokenKeys = {"access_token", "token_type", "refresh_token",
                                                       "expires_in", "scope"};

// Which token field a reply failed on, and how, for the tool's one-line message.
std::string problemWith(const nlohmann::json& reply, std::string_view key, std::string_view kind) {
  std::string problem(1, '"');
  problem.append(key).append("\" ");
  const auto found = reply.find(key);
  if (found == reply.end()) {
    return problem.append("is missing");
  }
  if (found->is_null()) {
    return problem.append("is null");
  }
  return problem.append("is a ").append(found->type_name()).append(", not ").append(kind);
}

std::string unsafeInHeader(std::string_view key) {
  std::string problem(1, '"');
  return problem.append(key).append("\" holds characters an Authorization header cannot carry");
}

}  // namespace

std::shared_ptr<const OAuthResult> OAuthResult::read(const nlohmann::json& reply, Date now,
                                                     const LenientReply* lenient, bool refreshTokenExpected) {
  if (!reply.is_object()) {
    return invalidTokenDataResult();
  }
  if (reply.contains("error")) {
    return errorReply(reply);
  }
  const auto refused = [](std::string problem) -> std::shared_ptr<const OAuthResult> {
    auto result = std::make_shared<OAuthResult>(
        Error::make(Error::oauthErrorDomain, errors::oauth, invalidTokenData, invalidTokenData));
    result->tokenDataProblem_ = std::move(problem);
    return result;
  };
  // In the order the reply is checked; the first missing or wrong-kind field decides.
  // Both end up in the host's Authorization header: a line break or a control character there
  // would smuggle headers, or a whole request, into the host's calls.
  const std::string* accessToken = textEntry(reply, "access_token");
  if (accessToken == nullptr) {
    return refused(problemWith(reply, "access_token", "a string"));
  }
  if (!HeaderText::isAccessToken(*accessToken)) {
    return refused(unsafeInHeader("access_token"));
  }
  const std::string* tokenType = textEntry(reply, "token_type");
  if (tokenType == nullptr) {
    return refused(problemWith(reply, "token_type", "a string"));
  }
  if (!HeaderText::isTokenType(*tokenType)) {
    return refused(unsafeInHeader("token_type"));
  }
  // Only a field the reply left out is assumed; one of another kind is still refused.
  std::string refreshToken;
  if (const std::string* given = textEntry(reply, "refresh_token")) {
    refreshToken = *given;
  } else if (!refreshTokenExpected && !reply.contains("refresh_token")) {
    platform::debugLine(className, "no refresh_token in the client-credentials reply; the token has none");
  } else if (lenient != nullptr && !reply.contains("refresh_token")) {
    if (const platform::SecretText* kept = lenient->keptRefreshToken()) {
      refreshToken = platform::view(*kept);
    }
  } else {
    return refused(problemWith(reply, "refresh_token", "a string"));
  }
  std::optional<double> lifetime;
  const auto expiresIn = reply.find("expires_in");
  if (expiresIn != reply.end() && expiresIn->is_number()) {
    lifetime = expiresIn->get<double>();
  } else if (lenient != nullptr && expiresIn != reply.end() && expiresIn->is_string()) {
    auto seconds = LenientReply::lifetimeOf(*expiresIn);
    if (auto* problem = std::get_if<std::string>(&seconds)) {
      return refused(std::move(*problem));
    }
    lifetime = std::get<double>(seconds);
  } else if (lenient != nullptr && expiresIn == reply.end()) {
    LenientReply::assumeUnknownExpiry();
  } else {
    return refused(problemWith(reply, "expires_in", "a number"));
  }
  std::optional<std::string> scope;
  if (const std::string* given = textEntry(reply, "scope")) {
    scope = *given;
  } else if (lenient != nullptr && !reply.contains("scope")) {
    scope = lenient->assumedScope();
  } else {
    return refused(problemWith(reply, "scope", "a string"));
  }

  OAuthResult::AdditionalData additionalData;
  for (const auto& [key, value] : reply.items()) {
    if (value.is_null() || std::find(tokenKeys.begin(), tokenKeys.end(), key) != tokenKeys.end()) {
      continue;
    }
    additionalData.emplace(key, value.is_string() ? value.get_ref<const std::string&>() : compactJson(value));
  }
  auto result = std::make_shared<OAuthResult>(
      *accessToken, HeaderText::isDpopType(*tokenType) ? std::string("DPoP") : capitalized(*tokenType),
      refreshToken, lifetime.value_or(0.0), scope.value_or(std::string()), std::move(additionalData), now);
  // What the lenient reading could not learn stays absent.
  if (!lifetime) {
    result->expiresOn_.reset();
  }
  if (!scope) {
    result->scope_.reset();
  }
  platform::cleanse(refreshToken);  // the result holds its own copy
  return result;
}

OAuthResult::OAuthResult(std::string accessToken, std::string tokenType, std::string refreshToken,
                         double expiresOn, std::string scope, AdditionalData additionalData, Date now)
    : accessToken_(std::move(accessToken)),
      tokenType_(std::move(tokenType)),
      expiresOn_(expiryAfter(now, expiresOn)),
      refreshToken_(std::move(refreshToken)),
      scope_(std::move(scope)),
      additionalData_(std::move(additionalData)) {}

OAuthResult::OAuthResult(Error error)
    : refreshToken_(std::string()), scope_(std::string()), error_(std::move(error)) {}

OAuthResult::~OAuthResult() {
  platform::cleanseEach(accessToken_, refreshToken_, additionalData_);
}

std::shared_ptr<const OAuthResult> OAuthResult::parse(const nlohmann::json& reply) {
  return parse(reply, Clock::now());
}

std::shared_ptr<const OAuthResult> OAuthResult::parse(const nlohmann::json& reply, Date now) {
  return parse(reply, now, nullptr, true);
}

std::shared_ptr<const OAuthResult> OAuthResult::parse(const nlohmann::json& reply, Date now,
                                                      const LenientReply* lenient,
                                                      bool refreshTokenExpected) {
  platform::debugLine(className, "parse");
  try {
    return read(reply, now, lenient, refreshTokenExpected);
  } catch (...) {
    // Only allocation can fail here; the caller still gets a result.
    try {
      return invalidTokenDataResult();
    } catch (...) {
      return nullptr;
    }
  }
}

std::optional<std::string> OAuthResult::errorDescription() const {
  if (!error_) {
    return std::nullopt;
  }
  return error_->localizedDescription();
}

std::string OAuthResult::serializeToJson() const {
  return serializeToJson(Clock::now());
}

std::string OAuthResult::serializeToJson(Date now) const {
  std::string out;
  if (error_) {
    out.reserve(64);
    out.append(R"({ "error_reason":")");
    appendText(out, error_->localizedFailureReason());
    out.append(R"(","error_description":")");
    appendText(out, errorDescription());
    out.append(R"(" })");
    return out;
  }
  out.reserve(96 + accessToken_.size() + tokenType_.size() + (refreshToken_ ? refreshToken_->size() : 0) +
              (scope_ ? scope_->size() : 0));
  out.append(R"({ "access_token":")");
  appendEscaped(out, accessToken_);
  out.append(R"(","expires_in":")");
  if (expiresOn_) {
    std::array<char, 24> digits{};
    const auto [end, ec] =
        std::to_chars(digits.data(), digits.data() + digits.size(), secondsUntil(*expiresOn_, now));
    out.append(digits.data(), ec == std::errc() ? end : digits.data());
  } else {
    out.append("nil");
  }
  out.append(R"(","token_type":")");
  appendEscaped(out, tokenType_);
  out.append(R"(","refresh_token":")");
  appendText(out, refreshToken_);
  out.append(R"(","scope":")");
  appendText(out, scope_);
  out.append(R"(" })");
  return out;
}

std::shared_ptr<OAuthToken> OAuthResult::serializeToToken() const {
  if (error_) {
    return nullptr;
  }
  try {
    auto token = std::make_shared<OAuthToken>(accessToken_, tokenType_, refreshToken_.value_or(std::string()),
                                              expiresOn_.value_or(OAuthToken::unknownExpiry),
                                              scope_.value_or(std::string()), additionalData_);
    if (!scope_) {
      token->setScope(OAuthToken::Scope{});  // not known: no items, which the archive keeps as ""
    }
    return token;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tervala
