#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <tervala/Data.hpp>

namespace tervala {

class SecretServiceStore;
class SettingsStore;

/// The place one token's archive is kept, as a refresh needs it: read, replaced only while it is
/// still what was read, and a lock file of its own that coordinates the processes refreshing it.
class TokenShelf {
 public:
  /// The archive (absent when nothing is stored), or why the place could not be read.
  struct Read {
    std::optional<Data> archive;
    std::optional<std::string> problem;
  };
  enum class Replaced { written, changedMeanwhile, failed };

  TokenShelf() = default;
  TokenShelf(const TokenShelf&) = delete;
  TokenShelf& operator=(const TokenShelf&) = delete;
  virtual ~TokenShelf() = default;

  virtual Read read() = 0;
  /// Writes `next` when the place still holds `expected`; `changedMeanwhile` leaves it as it is.
  virtual Replaced replace(const Data& expected, const Data& next) = 0;
  /// Why the last `replace` failed, when it did.
  [[nodiscard]] virtual std::optional<std::string> lastProblem() const = 0;
  /// The lock file the refreshers of this token take turns on, or absent with no place for one.
  [[nodiscard]] virtual std::optional<std::filesystem::path> lockFile() const = 0;
};

/// A token kept in a settings file. The database's write lock is held only for the replacing
/// write; the lock file lies beside the database ("FILE.refresh-lock"), one for all its tokens.
class SettingsShelf final : public TokenShelf {
 public:
  SettingsShelf(SettingsStore& settings, std::string key) : settings_(settings), key_(std::move(key)) {}
  Read read() override;
  Replaced replace(const Data& expected, const Data& next) override;
  [[nodiscard]] std::optional<std::string> lastProblem() const override;
  [[nodiscard]] std::optional<std::filesystem::path> lockFile() const override;

 private:
  SettingsStore& settings_;
  std::string key_;
};

/// A token kept in the desktop keyring. Its lock file, named after the keyring item, lies in the
/// user's runtime folder ($XDG_RUNTIME_DIR/tervala), else in the data folder.
class KeyringShelf final : public TokenShelf {
 public:
  KeyringShelf(SecretServiceStore& keyring, std::string key) : keyring_(keyring), key_(std::move(key)) {}
  Read read() override;
  Replaced replace(const Data& expected, const Data& next) override;
  [[nodiscard]] std::optional<std::string> lastProblem() const override;
  [[nodiscard]] std::optional<std::filesystem::path> lockFile() const override;

 private:
  SecretServiceStore& keyring_;
  std::string key_;
};

/// The lowercase hex SHA-256 of `parts`, each ended by a NUL so that no two lists run together.
std::string fingerprint(std::initializer_list<std::string_view> parts);

}  // namespace tervala
