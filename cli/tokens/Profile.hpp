#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "frame/Commands.hpp"
#include "tokens/TokenPlace.hpp"

namespace tervala::cli {

class Arguments;

/// One account of the tool. Without `--profile` that is the token under the key "token" alone, as
/// ever; with `--profile NAME` it is the token under "profile.NAME.token" and, in the settings
/// file, "profile.NAME.account" (the endpoint URL, client id and scope, as JSON: nothing secret).
/// The token's key lies where the storage options choose (`TokenPlace`). The client secret is
/// never remembered.
class Profile {
 public:
  /// What a profile remembers besides its token.
  struct Account {
    std::optional<std::string> url;
    std::optional<std::string> clientId;
    std::optional<std::string> scope;  ///< items joined with ","
  };

  /// The profile that `--profile` names, or the standard slot without it, with its token's place
  /// from the storage options. A name is 1 to 32 letters, digits, '-' and '_', beginning with a
  /// letter or digit.
  static std::variant<Profile, UsageError> of(const GlobalOptions& global, const Arguments& arguments);

  /// The names of the profiles that remember an account in the settings file (`--settings`, else
  /// the standard one), in order; none when there is no such file yet (none is created).
  static std::vector<std::string> names(const GlobalOptions& global);

  /// Whether `--profile` was given.
  [[nodiscard]] bool named() const noexcept { return name_.has_value(); }

  /// The remembered account; nothing for the standard slot or a profile not used yet.
  [[nodiscard]] Account account() const;
  /// Remembers `account` (a named profile only); true once written.
  [[nodiscard]] bool remember(const Account& account) const;

  /// Where the profile's token is read, stored and forgotten.
  [[nodiscard]] TokenPlace& tokenPlace() noexcept { return place_; }

 private:
  Profile(std::optional<std::string> name, TokenPlace place)
      : name_(std::move(name)), place_(std::move(place)) {}

  std::optional<std::string> name_;
  TokenPlace place_;
};

}  // namespace tervala::cli
