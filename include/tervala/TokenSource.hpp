#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Error.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/export.hpp>

namespace tervala {

class SecretServiceStore;
class SettingsStore;

/// Hands out a valid token at any time: the one kept in a settings store or the keyring while it
/// stays valid for `margin` more, else a new one from the refresh grant, which then replaces the
/// stored one.
///
/// One refresh at a time: threads asking while a refresh runs wait for it and share its outcome
/// (one request on the wire). Processes sharing the token take turns on a lock file of their own
/// (an advisory lock, let go by the kernel when its holder dies; beside the settings file as
/// "FILE.refresh-lock", or for a keyring item in `$XDG_RUNTIME_DIR/tervala`). Once a process holds
/// it, it reads the stored token again: when another process refreshed it meanwhile, that token is
/// used and nothing is sent; when another process's refresh of the same refresh token failed
/// meanwhile, that failure is reported and nothing is sent. The new token replaces the stored one
/// only while that is still the token read, so a rotating refresh token is never spent twice. No
/// lock of the settings file is held during the request: other writers of the file go on.
///
/// The refresh goes through `OAuthContext::sharedInstance()` in its blocking form, with that
/// context's settings (client secret, scope, trust, timeout). A token without a known expiry
/// counts as valid until `invalidate` says the server refused it. Safe to use from many threads;
/// failures are values, nothing is thrown.
class TERVALA_EXPORT TokenSource {
 public:
  /// Told of each new token once: one this source refreshed, or one another process stored, as
  /// first seen. Runs on the asking thread, with no lock of the source or the store held, so it
  /// may call the source again.
  using ChangeHandler = std::function<void(const OAuthToken& token)>;

  /// A valid token, or why there is none.
  struct TokenAnswer {
    std::shared_ptr<const OAuthToken> token;  ///< null exactly when `error` is set
    std::optional<Error> error;
  };
  /// An `Authorization` header value ("Bearer abc"), or why there is none.
  struct HeaderAnswer {
    std::optional<std::string> header;  ///< absent exactly when `error` is set
    std::optional<Error> error;
  };

  static constexpr std::chrono::seconds defaultMargin{60};

  /// A source for the token stored in `settings` under `entryKey`, refreshed at the token
  /// endpoint `tokenUrl` as client `clientId`. `settings` must outlive the source.
  TokenSource(std::string tokenUrl, std::string clientId, SettingsStore& settings,
              std::string entryKey = std::string(OAuthToken::settingsKey));
  /// A source for the token kept in the keyring `keyring` under `entryKey`. `keyring` must
  /// outlive the source.
  TokenSource(std::string tokenUrl, std::string clientId, SecretServiceStore& keyring,
              std::string entryKey = std::string(OAuthToken::settingsKey));
  TokenSource(const TokenSource&) = delete;
  TokenSource& operator=(const TokenSource&) = delete;
  ~TokenSource();

  /// How long a token must still be valid to be handed out (default 60 s; negative counts as 0, more
  /// than a day as a day).
  void setMargin(std::chrono::seconds margin);
  [[nodiscard]] std::chrono::seconds margin() const;

  /// Replaces the change handler (none by default).
  void setChangeHandler(ChangeHandler handler);

  /// The stored token while valid, else a refreshed one (stored before it is returned).
  TokenAnswer token();
  /// The header value of `token()`; an error also when the token's fields cannot form a header.
  HeaderAnswer authorizationHeader();

  /// Says the server refused the token with access token `accessToken` (a 401): the next call
  /// refreshes unless the stored token is already another one.
  void invalidate(std::string_view accessToken);

  /// Runs `body` during this process's turn among the token's refreshers, for a refresh the host
  /// sends itself (to see the endpoint's whole reply, say): the turn `token()` takes on the lock
  /// file above. `body` gets the token stored when the turn came (null when there is none or it
  /// cannot be read), sends its refresh token, and stores the new token before it returns, so the
  /// next refresher, in this process or another, reads that one and never sends a spent refresh
  /// token. Absent once `body` ran, else why the turn could not be had (`body` then never runs).
  std::optional<Error> takeTurn(const std::function<void(std::shared_ptr<OAuthToken> stored)>& body);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tervala
