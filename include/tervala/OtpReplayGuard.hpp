#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/SettingsStore.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Keeps a verifier from accepting the same code twice (RFC 6238 section 5.2): the last
/// accepted counter of each key of each account lives in a settings store, and moves only
/// forward, by a compare-and-set in one SQLite transaction. Two threads or processes that verify
/// the same code at once see it accepted exactly once.
///
/// A record belongs to one account and one secret: its store key is "otp.replay-v2." and the
/// HMAC-SHA-256 (in hex) of the account's length, the account and the secret's bytes, keyed with
/// a random key of the store's own ("otp.replay-v2.key", made on first use). So a secret
/// enrolled anew under an old account starts afresh, no account can reach another's record, and
/// the store holds neither account names nor anything that tells whether it knows a secret.
/// The caller decides what one account is (the tool: a Key URI's issuer and account name,
/// blanks around each dropped).
class TERVALA_EXPORT OtpReplayGuard {
 public:
  enum class Verdict { accepted, replayed, failed };

  /// Accounts longer than this are refused by the record kept by the account alone.
  static constexpr std::size_t maxAccountLength = SettingsStore::maxKeySize - 16;

  explicit OtpReplayGuard(SettingsStore& store) noexcept : store_(store) {}

  /// Records `counter` as the last accepted one of `secret` (Base32, as the generators take it)
  /// under `account` when it is beyond the last recorded one: `accepted` once committed,
  /// `replayed` when it is not beyond it, `failed` when the secret is not Base32 or the store
  /// could not be read or written (treat as a refusal). The first record of an account takes
  /// over the counter kept by the account alone (below), which is then removed.
  Verdict accept(std::string_view account, std::string_view secret, std::uint64_t counter);

  /// The last accepted counter of `secret` under `account` (or, before its first record, the one
  /// kept by the account alone); absent when there is none or the store fails.
  [[nodiscard]] std::optional<std::uint64_t> lastAccepted(std::string_view account, std::string_view secret);

  /// The earlier record, kept by the account alone under "otp.replay.<account>": one code could
  /// be accepted again under another name, and a new secret inherited the old one's counter.
  [[deprecated("give the secret too: accept(account, secret, counter)")]] Verdict accept(
      std::string_view account, std::uint64_t counter);
  [[deprecated(
      "give the secret too: lastAccepted(account, secret)")]] [[nodiscard]] std::optional<std::uint64_t>
  lastAccepted(std::string_view account);

  /// The store key of the record kept by `account` alone.
  static std::string keyOf(std::string_view account);

 private:
  std::optional<std::string> recordKey(std::string_view account, std::string_view secret);
  Verdict advance(const std::string& key, std::uint64_t counter, std::optional<std::uint64_t> floor);
  std::optional<std::uint64_t> legacyCounter(std::string_view account, bool& corrupt);

  SettingsStore& store_;
};

}  // namespace tervala
