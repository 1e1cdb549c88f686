#include <tervala/OtpAccountBook.hpp>

#include <algorithm>
#include <charconv>
#include <limits>

#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/SteamGuard.hpp>
#include <tervala/TotpGeneratorContext.hpp>

#include "book/BookIndex.hpp"
#include "otp/OtpAuthUriSecret.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {
namespace {

using book::quotedLabel;

std::string secretKey(const OtpAccount& account) {
  return std::string(book::secretKeyPrefix) + account.id;
}

std::string counterKey(const OtpAccount& account) {
  return std::string(book::counterKeyPrefix) + account.id;
}

Data counterData(std::uint64_t counter) {
  const std::string text = std::to_string(counter);
  return {text.begin(), text.end()};
}

std::optional<std::uint64_t> counterOf(const Data& data) {
  std::uint64_t value = 0;
  const auto* first = reinterpret_cast<const char*>(data.data());
  const auto [end, error] = std::from_chars(first, first + data.size(), value);
  if (error != std::errc{} || end != first + data.size()) {
    return std::nullopt;
  }
  return value;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return out;
}

std::string storeReason(const SettingsStore& settings, std::string_view doing) {
  if (auto problem = settings.lastProblem()) {
    return std::move(problem->reason);
  }
  return std::string(doing) + " failed";
}

bool sameName(const OtpAccount& a, std::string_view issuer, std::string_view name) {
  return a.issuer == issuer && a.name == name;
}

}  // namespace

std::string OtpAccount::label() const {
  return issuer.empty() ? name : issuer + ":" + name;
}

OtpAccountBook::OtpAccountBook(SettingsStore& settings, SecretServiceStore* keyring, Place newKeys)
    : settings_(settings), keyring_(keyring), newKeys_(newKeys) {}

Checked<std::vector<OtpAccount>> OtpAccountBook::list() {
  const auto data = settings_.data(book::indexKey);
  if (settings_.lastProblem()) {
    return Checked<std::vector<OtpAccount>>::refuse(storeReason(settings_, "reading the account book"));
  }
  if (!data) {
    return Checked<std::vector<OtpAccount>>::accept({});
  }
  auto accounts = book::decodeIndex(*data);
  if (!accounts) {
    return Checked<std::vector<OtpAccount>>::refuse(
        "the account book in '" + book::escaped(settings_.location().string()) + "' cannot be read");
  }
  return Checked<std::vector<OtpAccount>>::accept(std::move(*accounts));
}

Checked<OtpAccount> OtpAccountBook::find(std::string_view issuer, std::string_view name) {
  auto accounts = list();
  if (!accounts) {
    return Checked<OtpAccount>::refuse(accounts.reason());
  }
  for (const auto& account : *accounts) {
    if (sameName(account, issuer, name)) {
      return Checked<OtpAccount>::accept(account);
    }
  }
  return Checked<OtpAccount>::refuse(
      "no account " +
      quotedLabel(OtpAccount{std::string(issuer), std::string(name), OtpType::totp, false, {}}));
}

Checked<std::vector<OtpAccount>> OtpAccountBook::match(std::string_view pattern) {
  auto accounts = list();
  if (!accounts) {
    return accounts;
  }
  const std::string wanted = lowered(pattern);
  std::vector<OtpAccount> found;
  for (const auto& account : *accounts) {
    if (lowered(account.label()).find(wanted) != std::string::npos) {
      found.push_back(account);
    }
  }
  return Checked<std::vector<OtpAccount>>::accept(std::move(found));
}

Checked<OtpAccount> OtpAccountBook::add(const OtpAuthUri& key, bool replace) {
  using Result = Checked<OtpAccount>;
  const auto& parameters = key.parameters();
  OtpAccount account{parameters.issuer, parameters.account, parameters.type, newKeys_ == Place::keyring, {}};
  auto id = book::freshId();
  if (!id) {
    return Result::refuse("no random account id could be made");
  }
  account.id = std::move(*id);
  if (account.inKeyring && keyring_ == nullptr) {
    return Result::refuse("no keyring was given for " + quotedLabel(account));
  }
  // The secret and the counter go first, under an id no one knows yet; the account exists once
  // the index names it, so a failure or a crash before that leaves no half account listed.
  {
    std::string uri = key.toString(true);
    Data value(uri.begin(), uri.end());
    platform::cleanse(uri);
    const bool stored = account.inKeyring ? keyring_->setData(secretKey(account), value)
                                          : settings_.setData(secretKey(account), value);
    platform::cleanse(value.data(), value.size());
    if (!stored) {
      const std::string why = account.inKeyring
                                  ? keyring_->lastProblem().value_or("writing to the keyring failed")
                                  : storeReason(settings_, "writing the settings file");
      return Result::refuse("cannot keep " + quotedLabel(account) + ": " + why);
    }
  }
  if (account.type == OtpType::hotp &&
      !settings_.setData(counterKey(account), counterData(parameters.counter))) {
    const std::string why = storeReason(settings_, "writing the settings file");
    remove(account);
    return Result::refuse("cannot keep " + quotedLabel(account) + ": " + why);
  }
  std::optional<OtpAccount> replaced;
  bool duplicate = false;
  bool unreadable = false;
  const auto outcome =
      settings_.update(book::indexKey, [&](const std::optional<Data>& current) -> std::optional<Data> {
        replaced.reset();
        duplicate = false;
        std::vector<OtpAccount> accounts;
        if (current) {
          auto decoded = book::decodeIndex(*current);
          if (!decoded) {
            unreadable = true;
            return std::nullopt;
          }
          accounts = std::move(*decoded);
        }
        const auto same = std::find_if(accounts.begin(), accounts.end(), [&](const OtpAccount& a) {
          return sameName(a, account.issuer, account.name);
        });
        if (same != accounts.end()) {
          if (!replace) {
            duplicate = true;
            return std::nullopt;
          }
          replaced = *same;
          *same = account;
        } else {
          accounts.push_back(account);
        }
        return book::encodeIndex(accounts);
      });
  if (outcome != SettingsStore::UpdateOutcome::written) {
    const std::string why = duplicate    ? "an account " + quotedLabel(account) + " exists already"
                            : unreadable ? "the account book cannot be read"
                                         : "cannot keep " + quotedLabel(account) + ": " +
                                               storeReason(settings_, "writing the settings file");
    remove(account);  // its rows, never listed
    return Result::refuse(why);
  }
  if (replaced) {
    remove(*replaced);  // already out of the index: this takes its secret and counter
  }
  return Result::accept(std::move(account));
}

Checked<OtpAccount> OtpAccountBook::rename(const OtpAccount& account, std::string issuer, std::string name) {
  using Result = Checked<OtpAccount>;
  if (name.empty()) {
    return Result::refuse("an account needs a name");
  }
  OtpAccount renamed = account;
  renamed.issuer = std::move(issuer);
  renamed.name = std::move(name);
  // The names must be ones a Key URI carries, or the account could no longer be exported.
  OtpAuthParameters names;
  names.issuer = renamed.issuer;
  names.account = renamed.name;
  if (auto checked = OtpAuthUri::make(names, "AAAAAAAAAAAAAAAAAAAAAAAAAA"); !checked) {
    return Result::refuse(checked.reason());
  }
  std::string why;
  const auto outcome =
      settings_.update(book::indexKey, [&](const std::optional<Data>& current) -> std::optional<Data> {
        auto accounts = current ? book::decodeIndex(*current) : std::nullopt;
        if (!accounts) {
          why = "the account book cannot be read";
          return std::nullopt;
        }
        const auto other = std::find_if(accounts->begin(), accounts->end(), [&](const OtpAccount& a) {
          return a.id != account.id && sameName(a, renamed.issuer, renamed.name);
        });
        if (other != accounts->end()) {
          why = "an account " + quotedLabel(renamed) + " exists already";
          return std::nullopt;
        }
        const auto it = std::find_if(accounts->begin(), accounts->end(),
                                     [&](const OtpAccount& a) { return a.id == account.id; });
        if (it == accounts->end()) {
          why = "no account " + quotedLabel(account);
          return std::nullopt;
        }
        it->issuer = renamed.issuer;
        it->name = renamed.name;
        return book::encodeIndex(*accounts);
      });
  if (outcome != SettingsStore::UpdateOutcome::written) {
    return Result::refuse(why.empty() ? storeReason(settings_, "writing the settings file") : why);
  }
  return Result::accept(std::move(renamed));
}

std::optional<std::string> OtpAccountBook::remove(const OtpAccount& account) {
  // The secret goes first: a crash half way leaves a listed account without a secret, which a
  // second remove clears, never a secret no listing shows.
  if (account.inKeyring) {
    if (keyring_ == nullptr) {
      return "no keyring was given for " + quotedLabel(account);
    }
    if (!keyring_->remove(secretKey(account))) {
      return "cannot remove " + quotedLabel(account) + ": " +
             keyring_->lastProblem().value_or("removing from the keyring failed");
    }
  } else if (!settings_.removeData(secretKey(account))) {
    return "cannot remove " + quotedLabel(account) + ": " +
           storeReason(settings_, "writing the settings file");
  }
  if (!settings_.removeData(counterKey(account))) {
    return "cannot remove " + quotedLabel(account) + ": " +
           storeReason(settings_, "writing the settings file");
  }
  std::string why;
  const auto outcome =
      settings_.update(book::indexKey, [&](const std::optional<Data>& current) -> std::optional<Data> {
        auto accounts = current ? book::decodeIndex(*current) : std::nullopt;
        if (!accounts) {
          return std::nullopt;  // nothing listed: nothing to take out
        }
        const auto kept = std::erase_if(*accounts, [&](const OtpAccount& a) { return a.id == account.id; });
        if (kept == 0) {
          return std::nullopt;
        }
        return book::encodeIndex(*accounts);
      });
  if (outcome == SettingsStore::UpdateOutcome::failed) {
    return "cannot remove " + quotedLabel(account) + ": " +
           storeReason(settings_, "writing the settings file");
  }
  return std::nullopt;
}

Checked<OtpAuthUri> OtpAccountBook::key(const OtpAccount& account) {
  using Result = Checked<OtpAuthUri>;
  std::optional<Data> stored;
  if (account.inKeyring) {
    if (keyring_ == nullptr) {
      return Result::refuse("no keyring was given for " + quotedLabel(account));
    }
    stored = keyring_->data(secretKey(account));
    if (auto problem = keyring_->lastProblem()) {
      return Result::refuse("cannot read " + quotedLabel(account) + ": " + *problem);
    }
  } else {
    stored = settings_.data(secretKey(account));
    if (settings_.lastProblem()) {
      return Result::refuse("cannot read " + quotedLabel(account) + ": " + storeReason(settings_, "reading"));
    }
  }
  if (!stored) {
    return Result::refuse("the secret of " + quotedLabel(account) + " is missing");
  }
  auto parsed =
      OtpAuthUri::parse(std::string_view(reinterpret_cast<const char*>(stored->data()), stored->size()));
  platform::cleanse(stored->data(), stored->size());
  if (!parsed) {
    return Result::refuse("the secret of " + quotedLabel(account) + " cannot be read");
  }
  OtpAuthParameters parameters = parsed->parameters();
  parameters.issuer = account.issuer;
  parameters.account = account.name;
  if (parameters.type == OtpType::hotp) {
    const auto counter = settings_.data(counterKey(account));
    const auto value = counter ? counterOf(*counter) : std::nullopt;
    if (!value) {
      return Result::refuse("the counter of " + quotedLabel(account) + " cannot be read");
    }
    parameters.counter = *value;
  }
  auto made = OtpAuthUri::make(std::move(parameters), OtpAuthUriSecret::base32(*parsed));
  if (!made) {
    return Result::refuse("the key of " + quotedLabel(account) + " cannot be made under its new name");
  }
  return made;
}

Checked<OtpAccountCode> OtpAccountBook::code(const OtpAccount& account, double unixTime) {
  using Result = Checked<OtpAccountCode>;
  auto stored = key(account);
  if (!stored) {
    return Result::refuse(stored.reason());
  }
  const auto& parameters = stored->parameters();
  if (parameters.type == OtpType::totp) {
    const auto generator = stored->makeTotp();
    const auto counter = generator ? generator->counterAt(unixTime) : std::nullopt;
    std::optional<std::string> code;
    if (generator) {
      code = parameters.form == OtpCodeForm::steam ? SteamGuard::codeAt(*generator, unixTime)
                                                   : generator->create(unixTime);
    }
    if (!code || !counter) {
      return Result::refuse("no code of " + quotedLabel(account) + " for that time");
    }
    const double period = static_cast<double>(parameters.period);
    return Result::accept(
        {std::move(*code), TotpGeneratorContext::remainingTime(period, unixTime), *counter});
  }
  // The counter is committed before the code exists: whoever asks next, in this process or
  // another, gets the step after, and a crash past this point costs a step, never repeats one.
  std::optional<std::uint64_t> claimed;
  bool spent = false;
  const auto outcome =
      settings_.update(counterKey(account), [&](const std::optional<Data>& current) -> std::optional<Data> {
        claimed.reset();
        const auto value = current ? counterOf(*current) : std::nullopt;
        if (!value) {
          return std::nullopt;
        }
        if (*value == std::numeric_limits<std::uint64_t>::max()) {
          spent = true;
          return std::nullopt;
        }
        claimed = *value;
        return counterData(*value + 1);
      });
  if (outcome != SettingsStore::UpdateOutcome::written || !claimed) {
    return Result::refuse(spent ? "the counter of " + quotedLabel(account) + " is spent"
                          : outcome == SettingsStore::UpdateOutcome::failed
                              ? "cannot step the counter of " + quotedLabel(account) + ": " +
                                    storeReason(settings_, "writing the settings file")
                              : "the counter of " + quotedLabel(account) + " cannot be read");
  }
  const auto generator = stored->makeHotp();
  auto code = generator ? static_cast<const OtpGeneratorContext&>(*generator).create(*claimed) : std::nullopt;
  if (!code) {
    return Result::refuse("no code of " + quotedLabel(account) + " for its counter");
  }
  return Result::accept({std::move(*code), std::nullopt, *claimed});
}

}  // namespace tervala
