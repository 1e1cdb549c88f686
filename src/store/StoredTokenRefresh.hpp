#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tervala/Data.hpp>
#include <tervala/Error.hpp>
#include <tervala/OAuthToken.hpp>

#include "store/TokenShelf.hpp"

namespace tervala {
namespace platform {
class LockFile;
}

/// Renews a stored token with the refresh grant, one process at a time. The processes take turns
/// on the shelf's lock file (an advisory lock, never a database lock), and the one holding it
/// reads the stored token again: a token another process stored meanwhile is taken as it is, and
/// a refusal another process met meanwhile for the same refresh token is reported again rather
/// than sent again. The new token replaces the stored one only while that is still the one read,
/// so a rotating refresh token is spent once and the database's write lock is held only for that
/// write.
class StoredTokenRefresh {
 public:
  /// Whether a stored token may be handed out as it is.
  using Usable = std::function<bool(const OAuthToken& token)>;

  struct Outcome {
    std::shared_ptr<const OAuthToken> token;  ///< the usable or new token, when there is one
    std::optional<Error> error;               ///< set when no token could be had, or not stored
    bool refreshed = false;                   ///< `token` came from the endpoint just now
  };

  StoredTokenRefresh(TokenShelf& shelf, std::string_view url, std::string_view clientId)
      : shelf_(shelf), url_(url), clientId_(clientId) {}

  /// The stored token when `usable` accepts it once the lock is held, else a refreshed one,
  /// written before the lock is let go.
  Outcome run(const Usable& usable);

  /// The token on `shelf`, or null when there is none or it cannot be read.
  static std::shared_ptr<OAuthToken> read(TokenShelf& shelf);

  /// This process's turn among the refreshers of the token on `shelf`: the shelf's lock file,
  /// taken, and let go when destroyed; or why it could not be had in time. The holder reads the
  /// stored token again before spending its refresh token, and stores the new one before letting go.
  static std::variant<std::unique_ptr<platform::LockFile>, Error> takeTurn(TokenShelf& shelf);

 private:
  // With the lock held: adopts, shares a refusal met since `asked`, or refreshes and stores.
  Outcome refreshOrAdopt(const Usable& usable, const platform::LockFile& lock,
                         std::chrono::system_clock::time_point asked);

  TokenShelf& shelf_;
  std::string url_;
  std::string clientId_;
};

}  // namespace tervala
