#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>
#include <tervala/Data.hpp>
#include <tervala/Error.hpp>
#include <tervala/export.hpp>

namespace tervala {

class OAuthToken;
class LenientReply;
class ReplyHandler;

/// The outcome of one exchange with a token endpoint: a success holding the granted token
/// fields, or an error holding one `Error`. Never changes after construction.
class TERVALA_EXPORT OAuthResult {
 public:
  using AdditionalData = std::map<std::string, std::string>;

  /// A success result. `expiresOn` is the granted lifetime in seconds (fractions count, negative
  /// is past), counted from `now`; a lifetime beyond the range of `Date` (about 292 years either
  /// side of 1970) is held as that range's end, and one that is not a number as already over.
  OAuthResult(std::string accessToken, std::string tokenType, std::string refreshToken, double expiresOn,
              std::string scope = {}, AdditionalData additionalData = {},
              Date now = std::chrono::system_clock::now());

  /// An error result carrying `error`.
  explicit OAuthResult(Error error);
  OAuthResult(const OAuthResult&) = default;
  OAuthResult& operator=(const OAuthResult&) = default;
  OAuthResult(OAuthResult&&) = default;
  OAuthResult& operator=(OAuthResult&&) = default;
  /// Wipes the tokens before their memory is freed.
  ~OAuthResult();

  /// Reads a token endpoint's reply object: an error result when it holds "error" or lacks a
  /// token field of the right kind, else a success whose lifetime counts from `now`, with the
  /// token type capitalised and the other non-null entries kept as text (compact JSON for
  /// values that are not texts). Writes the debug line "Tervala.OAuthResult parse". Never null.
  static std::shared_ptr<const OAuthResult> parse(const nlohmann::json& reply);
  static std::shared_ptr<const OAuthResult> parse(const nlohmann::json& reply, Date now);

  /// True exactly when the result holds an error.
  [[nodiscard]] bool hasError() const noexcept { return error_.has_value(); }
  /// The error of an error result.
  [[nodiscard]] const std::optional<Error>& error() const noexcept { return error_; }
  /// The error's description, absent for a success.
  [[nodiscard]] std::optional<std::string> errorDescription() const;

  /// The result as one line of valid JSON text: texts escaped, an absent text written as nil,
  /// and a success's "expires_in" the whole seconds left at `now` (the current time by default),
  /// truncated toward zero and quoted.
  [[nodiscard]] std::string serializeToJson() const;
  [[nodiscard]] std::string serializeToJson(Date now) const;

  /// A new token made from a success result; null for an error result. A leniently read
  /// result without a known expiry gives `OAuthToken::unknownExpiry`, one without a known scope
  /// a token without scope items.
  [[nodiscard]] std::shared_ptr<OAuthToken> serializeToToken() const;

  /// For an error result made because a token field of the reply could not be used: the field
  /// and what is wrong with it (`"expires_in" is missing`); absent for every other result.
  [[nodiscard]] const std::optional<std::string>& tokenDataProblem() const noexcept {
    return tokenDataProblem_;
  }

 private:
  // The reply handler reads a reply under its request's profile (`lenient` null for strict) and
  // its grant: a client-credentials reply expects no refresh token.
  friend class ReplyHandler;
  static std::shared_ptr<const OAuthResult> parse(const nlohmann::json& reply, Date now,
                                                  const LenientReply* lenient, bool refreshTokenExpected);
  static std::shared_ptr<const OAuthResult> read(const nlohmann::json& reply, Date now,
                                                 const LenientReply* lenient, bool refreshTokenExpected);

  std::string accessToken_;
  std::string tokenType_;
  std::optional<Date> expiresOn_;
  std::optional<std::string> refreshToken_;
  std::optional<std::string> scope_;
  AdditionalData additionalData_;
  std::optional<Error> error_;
  std::optional<std::string> tokenDataProblem_;
};

}  // namespace tervala
