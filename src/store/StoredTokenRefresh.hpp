#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Data.hpp>
#include <tervala/Error.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

namespace tervala {

/// Renews a token kept in a settings store with the refresh grant, one process at a time: the
/// store's write lock is held from reading the stored token to writing the new one, so a rotating
/// refresh token is spent once, and a token another process stored meanwhile is taken as it is.
class StoredTokenRefresh {
 public:
  /// Whether a stored token may be handed out as it is.
  using Usable = std::function<bool(const OAuthToken& token)>;

  struct Outcome {
    std::shared_ptr<const OAuthToken> token;  ///< the usable or new token, when there is one
    std::optional<Error> error;               ///< set when no token could be had, or not stored
    bool refreshed = false;                   ///< `token` came from the endpoint just now
  };

  StoredTokenRefresh(SettingsStore& settings, std::string_view key, std::string_view url,
                     std::string_view clientId)
      : settings_(settings), key_(key), url_(url), clientId_(clientId) {}

  /// The stored token when `usable` accepts it once the lock is held, else a refreshed one,
  /// written before the lock is let go.
  Outcome run(const Usable& usable);

  /// The token stored under `key`, or null when there is none or it cannot be read.
  static std::shared_ptr<OAuthToken> read(SettingsStore& settings, std::string_view key);

 private:
  std::optional<Data> refreshOrAdopt(const std::optional<Data>& current, const Usable& usable,
                                     Outcome& outcome) const;

  SettingsStore& settings_;
  std::string key_;
  std::string url_;
  std::string clientId_;
};

}  // namespace tervala
