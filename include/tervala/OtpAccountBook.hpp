#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Checked.hpp>
#include <tervala/OtpAuthUri.hpp>
#include <tervala/export.hpp>

namespace tervala {

class SecretServiceStore;
class SettingsStore;

/// One account of an `OtpAccountBook` as it is listed: never its secret.
struct TERVALA_EXPORT OtpAccount {
  std::string issuer;  ///< may be empty
  std::string name;    ///< never empty
  OtpType type = OtpType::totp;
  bool inKeyring = false;  ///< the secret lies in the keyring, not in the settings file
  std::string id;          ///< the book's own handle of the account; neither name nor secret

  /// "Issuer:name", or the name alone without an issuer.
  [[nodiscard]] std::string label() const;
};

/// The next code of an account.
struct OtpAccountCode {
  std::string code;
  std::optional<std::int64_t> remaining;  ///< whole seconds left in its period; TOTP only
  std::uint64_t counter = 0;              ///< the step the code is for
};

/// An account book: one-time-password keys kept in the keyring or the settings store and used
/// by name. The index of the accounts (issuer, name, type, where the secret is) and the counters
/// of HOTP accounts lie in the settings store; each secret lies in its own keyring item or store
/// row as its Key URI, comes out only into an `OtpAuthUri` and a generator, and is wiped after.
/// A HOTP account's counter is stepped with the store's compare-and-set and committed before its
/// code is made, so no two callers, processes included, ever get the same counter, and a crash
/// never gives a code twice. Every reason names the account by issuer and name only, with control,
/// format and BiDi characters and bytes that are not UTF-8 escaped as the tool escapes server
/// text. Failures are values, never thrown.
class TERVALA_EXPORT OtpAccountBook {
 public:
  /// Where `add` puts new secrets.
  enum class Place { keyring, file };

  /// A book indexed in `settings`; `keyring` (may be null) holds the secrets of accounts kept in
  /// the keyring and, with `Place::keyring`, of new ones. Both must outlive the book. Nothing is
  /// read yet.
  OtpAccountBook(SettingsStore& settings, SecretServiceStore* keyring, Place newKeys);

  /// Adds `key`. A second account with the same issuer and name is refused unless `replace`,
  /// which puts the new secret (and counter) in place of the old. With `Place::keyring`, a
  /// keyring that cannot be reached is a failure with its reason: nothing falls back to the file.
  Checked<OtpAccount> add(const OtpAuthUri& key, bool replace = false);

  /// Every account, in the order added.
  Checked<std::vector<OtpAccount>> list();
  /// The account with exactly this issuer and name.
  Checked<OtpAccount> find(std::string_view issuer, std::string_view name);
  /// The accounts whose label holds `pattern`, ASCII letters in any case; all for an empty one.
  Checked<std::vector<OtpAccount>> match(std::string_view pattern);

  /// Gives `account` a new issuer and name; refused when another account has them.
  Checked<OtpAccount> rename(const OtpAccount& account, std::string issuer, std::string name);
  /// Removes `account`, its secret first; absent once gone, else why not.
  std::optional<std::string> remove(const OtpAccount& account);

  /// The code of a TOTP account at `unixTime`, or the next code of a HOTP account (its counter
  /// committed first; `unixTime` unused).
  Checked<OtpAccountCode> code(const OtpAccount& account, double unixTime);

  /// The account's key as it stands now (its current issuer, name and next counter), for an
  /// export. Holds the secret.
  Checked<OtpAuthUri> key(const OtpAccount& account);

 private:
  SettingsStore& settings_;
  SecretServiceStore* keyring_;
  Place newKeys_;
};

}  // namespace tervala
