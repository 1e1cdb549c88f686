#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The desktop's keyring (the freedesktop Secret Service: GNOME Keyring, KeePassXC, KWallet's
/// bridge) as a key-to-bytes table, the counterpart of `SettingsStore` for values that should not
/// lie in a file. Each value is one item in the default collection, found by the attributes
/// application=`application()` and key=KEY and labelled "APPLICATION: KEY" for the user.
///
/// Nothing falls back to a file: a keyring that cannot be reached is a failure with its reason.
/// Every call ends within `timeout()`, also when no bus or keyring daemon answers, and none
/// prompts: a locked keyring is reported as such. A library built without libsecret
/// (`TERVALA_KEYRING=OFF`) keeps this class, and every call reports "keyring not available".
/// Failures are values, never thrown.
class TERVALA_EXPORT SecretServiceStore {
 public:
  /// Values larger than this are neither written nor read.
  static constexpr std::size_t maxValueSize = 1U << 20U;
  /// Keys and application names longer than this are refused, as are those holding a NUL.
  static constexpr std::size_t maxKeySize = 1024;
  /// How long one call may take by default.
  static constexpr std::chrono::milliseconds defaultTimeout{5000};

  /// A store of `application`'s items; nothing is asked of the keyring yet.
  explicit SecretServiceStore(std::string application = "tervala",
                              std::chrono::milliseconds timeout = defaultTimeout);
  SecretServiceStore(const SecretServiceStore&) = delete;
  SecretServiceStore& operator=(const SecretServiceStore&) = delete;
  ~SecretServiceStore();

  /// Whether this build of the library can reach a keyring at all.
  static bool isBuiltIn() noexcept;

  /// Absent when the keyring can be used now (a session bus, a Secret Service on it, its default
  /// collection unlocked); otherwise one line saying why not. Asks the keyring each time.
  [[nodiscard]] std::optional<std::string> unreachableReason();

  /// Stores `value` under `key`, replacing an earlier one; true once the keyring has it. On
  /// failure the earlier value stays and `lastProblem` says why.
  bool setData(std::string_view key, const Data& value);

  /// The value under `key`; absent when there is none or the keyring cannot be read (then
  /// `lastProblem` says why). The caller should wipe it once used.
  [[nodiscard]] std::optional<Data> data(std::string_view key);

  /// Removes the value under `key`; true when none is left (also when there was none).
  bool remove(std::string_view key);

  /// Why the last `setData`, `data` or `remove` failed, in one line; absent when it reached the
  /// keyring.
  [[nodiscard]] std::optional<std::string> lastProblem() const;

  /// The value of the "application" attribute of this store's items.
  [[nodiscard]] const std::string& application() const noexcept;
  /// How long one call may take.
  [[nodiscard]] std::chrono::milliseconds timeout() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tervala
