#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/SettingsStore.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Keeps a verifier from accepting the same code twice (RFC 6238 section 5.2): the last
/// accepted counter of each account lives in a settings store under "otp.replay.<account>", and
/// moves only forward, by a compare-and-set in one SQLite transaction. Two threads or processes
/// that verify the same code at once see it accepted exactly once.
class TERVALA_EXPORT OtpReplayGuard {
 public:
  enum class Verdict { accepted, replayed, failed };

  /// Keys longer than this are refused by the store, so longer account names fail.
  static constexpr std::size_t maxAccountLength = SettingsStore::maxKeySize - 16;

  explicit OtpReplayGuard(SettingsStore& store) noexcept : store_(store) {}

  /// Records `counter` as the last accepted one of `account` when it is beyond the last
  /// recorded one: `accepted` once committed, `replayed` when it is not beyond it, `failed` when
  /// the store could not be read or written (treat as a refusal).
  Verdict accept(std::string_view account, std::uint64_t counter);

  /// The last accepted counter of `account`; absent when there is none or the store fails.
  [[nodiscard]] std::optional<std::uint64_t> lastAccepted(std::string_view account);

  /// The store key of `account`.
  static std::string keyOf(std::string_view account);

 private:
  SettingsStore& store_;
};

}  // namespace tervala
