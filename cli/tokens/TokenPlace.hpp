#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tervala/Data.hpp>
#include <tervala/OAuthToken.hpp>

#include "frame/Commands.hpp"
#include "frame/StoreOptions.hpp"

namespace tervala {
class SecretServiceStore;
class SettingsStore;
}  // namespace tervala

namespace tervala::cli {

class Arguments;

/// Where the tool keeps the token (and any other secret it stores), from the options:
///
///   --keyring               the desktop keyring; when none is reachable, a failure with the reason
///   --keyring --allow-file  the keyring, else the settings file, said on standard error
///   --file-store, --settings PATH (without --keyring)  the settings file only
///   none of them            the keyring when one is reachable, else the settings file, said on
///                           standard error when a token is written there
///
/// Reading looks in the same place; with none of the options, in the keyring first (when
/// reachable) and then in the settings file, where tokens of earlier versions lie. A token read
/// is written back where it was found. Nothing ever falls back to the file silently.
class TokenPlace {
 public:
  /// The place the options ask for, for the token stored under `key`; `whose` ends "no stored
  /// token" (" for profile NAME"). A contradiction among the options is a usage error. Nothing is
  /// asked of the keyring yet.
  static std::variant<TokenPlace, UsageError> choose(const GlobalOptions& global, const Arguments& arguments,
                                                     std::string key = std::string(OAuthToken::settingsKey),
                                                     std::string whose = {});
  TokenPlace(TokenPlace&&) noexcept;
  TokenPlace& operator=(TokenPlace&&) noexcept;
  ~TokenPlace();

  /// Settles where a write goes, asking the keyring when needed; call it before credentials are
  /// spent on a grant. Absent when a write can go ahead, else the one-line reason it cannot.
  std::optional<std::string> prepareWrite(const Io& io);

  /// Archives `token` into the settled place; absent once stored, else why not in one line.
  std::optional<std::string> storeToken(const OAuthToken& token);

  /// A token read from the place, and where it was; or the one-line reason there is none.
  std::variant<std::shared_ptr<OAuthToken>, std::string> retrieveToken(const Io& io);

  /// Whether the last `retrieveToken` found something under the key, readable or not.
  [[nodiscard]] bool heldToken() const noexcept { return held_; }

  /// The verified ID token's claims (JSON text) kept with the token the last `retrieveToken`
  /// read; absent when it keeps none.
  [[nodiscard]] const std::optional<std::string>& identityClaims() const noexcept { return identityClaims_; }

  /// Removes the token from the place `retrieveToken` settled on; absent once gone, else why not.
  std::optional<std::string> removeToken();

  /// Where the settled place is, for a person: "the keyring (Secret Service)" or the file's path.
  [[nodiscard]] std::string description() const;
  /// Whether the settled place is the keyring.
  [[nodiscard]] bool inKeyring() const noexcept { return settled_ == Settled::keyring; }
  /// The keyring when the place settled on it, else null.
  [[nodiscard]] SecretServiceStore* keyring() const noexcept {
    return inKeyring() ? keyring_.get() : nullptr;
  }
  /// The place the options asked for.
  [[nodiscard]] StoreMode mode() const noexcept { return mode_; }
  /// The key the token is stored under.
  [[nodiscard]] const std::string& key() const noexcept { return key_; }
  /// The settings file's path, escaped for a terminal.
  [[nodiscard]] std::string filePath() const;

 private:
  enum class Settled { nothing, keyring, file };

  TokenPlace(StoreMode mode, std::string key, std::string whose);

  // Absent when the keyring is reachable, else why not; asked once.
  const std::optional<std::string>& keyringProblem();
  // Writes the fallback note and settles on the file.
  void fallBack(const Io& io, std::string_view reason, std::string_view doing);

  StoreMode mode_;
  std::string key_;
  std::string whose_;
  bool held_ = false;
  Settled settled_ = Settled::nothing;
  std::unique_ptr<SecretServiceStore> keyring_;
  std::optional<std::optional<std::string>> probed_;
  std::optional<std::string> identityClaims_;
};

}  // namespace tervala::cli
