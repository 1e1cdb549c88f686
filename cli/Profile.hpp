#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "Commands.hpp"

namespace tervala {
class OAuthToken;
}

namespace tervala::cli {

class Arguments;

/// Where the tool keeps one account in the settings file. Without `--profile` that is the entry
/// "token" alone, as ever; with `--profile NAME` it is "profile.NAME.account" (the endpoint URL,
/// client id and scope, as JSON) and "profile.NAME.token" (the token's archive). The client secret
/// is never remembered.
class Profile {
 public:
  /// What a profile remembers besides its token.
  struct Account {
    std::optional<std::string> url;
    std::optional<std::string> clientId;
    std::optional<std::string> scope;  ///< items joined with ","
  };

  /// The profile that `--profile` names, or the standard slot without it. A name is 1 to 32
  /// letters, digits, '-' and '_', beginning with a letter or digit.
  static std::variant<Profile, UsageError> of(const Arguments& arguments);

  /// Whether `--profile` was given.
  [[nodiscard]] bool named() const noexcept { return name_.has_value(); }

  /// The remembered account; nothing for the standard slot or a profile not used yet.
  [[nodiscard]] Account account() const;
  /// Remembers `account` (a named profile only); true once written.
  [[nodiscard]] bool remember(const Account& account) const;

  /// The stored token, or null.
  [[nodiscard]] std::shared_ptr<OAuthToken> token() const;
  /// Stores `token`; true once written.
  [[nodiscard]] bool store(const OAuthToken& token) const;
  /// Whether anything is stored as the token, readable or not.
  [[nodiscard]] bool holdsToken() const;
  /// Forgets the stored token; true once it is gone.
  [[nodiscard]] bool forgetToken() const;
  /// Why `token()` gave none, in one line.
  [[nodiscard]] std::string missingTokenReason() const;

 private:
  explicit Profile(std::optional<std::string> name) : name_(std::move(name)) {}
  [[nodiscard]] std::string tokenKey() const;

  std::optional<std::string> name_;
};

}  // namespace tervala::cli
