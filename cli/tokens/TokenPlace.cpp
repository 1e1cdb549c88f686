#include "tokens/TokenPlace.hpp"

#include <ostream>

#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>

#include "frame/Arguments.hpp"
#include "frame/StoreOptions.hpp"
#include "frame/VisibleText.hpp"
#include "platform/SecureMemory.hpp"
#include "tokens/IdentifiedToken.hpp"
#include "tokens/StoreCheck.hpp"

namespace tervala::cli {
namespace {

// What one place gave: a token, a reason it could not be read, or neither (nothing stored).
struct Lookup {
  std::shared_ptr<OAuthToken> token;
  std::optional<std::string> problem;
  bool held = false;  // something lay under the key
  std::optional<std::string> claims = std::nullopt;
};

Lookup unarchived(std::optional<Data> archive, std::string_view where) {
  auto token = KeyedUnarchiver::unarchiveObjectWithData(*archive);
  std::optional<std::string> claims = std::nullopt;
  if (const auto contents = token ? KeyedUnarchiver::contents(*archive) : std::nullopt) {
    const auto kept = contents->coder.decodeObject(IdentifiedToken::claimsKey);
    if (const auto* text = std::get_if<std::string>(&kept)) {
      claims = *text;
    }
  }
  platform::cleanse(archive->data(), archive->size());  // the archive holds the tokens in clear
  if (!token) {
    return {nullptr, "the token stored in " + std::string(where) + " cannot be read", true};
  }
  return {std::move(token), std::nullopt, true, std::move(claims)};
}

Lookup fromFile(std::string_view key) {
  auto& store = SettingsStore::standard();
  std::optional<Data> archive = store.data(key);
  if (auto problem = store.lastProblem()) {
    return {nullptr, std::move(problem->reason)};  // the file is refused, damaged or unreadable
  }
  if (!archive) {
    return {};
  }
  std::string where(1, '\'');
  where.append(visible(store.location().string())).push_back('\'');
  return unarchived(std::move(archive), where);
}

Lookup fromKeyring(SecretServiceStore& keyring, std::string_view key) {
  std::optional<Data> archive = keyring.data(key);
  if (auto problem = keyring.lastProblem()) {
    return {nullptr, std::move(*problem)};
  }
  if (!archive) {
    return {};
  }
  return unarchived(std::move(archive), "the keyring");
}

}  // namespace

TokenPlace::TokenPlace(StoreMode mode, std::string key, std::string whose)
    : mode_(mode), key_(std::move(key)), whose_(std::move(whose)) {
  if (mode_ != StoreMode::file) {
    keyring_ = std::make_unique<SecretServiceStore>(std::string(keyringApplication));
  }
}

TokenPlace::TokenPlace(TokenPlace&&) noexcept = default;
TokenPlace& TokenPlace::operator=(TokenPlace&&) noexcept = default;
TokenPlace::~TokenPlace() = default;

std::variant<TokenPlace, UsageError> TokenPlace::choose(const GlobalOptions& global,
                                                        const Arguments& arguments, std::string key,
                                                        std::string whose) {
  auto mode = chooseStoreMode(global, arguments);
  if (auto* error = std::get_if<UsageError>(&mode)) {
    return std::move(*error);
  }
  return TokenPlace(std::get<StoreMode>(mode), std::move(key), std::move(whose));
}

const std::optional<std::string>& TokenPlace::keyringProblem() {
  if (!probed_) {
    probed_ = keyring_->unreachableReason();
  }
  return *probed_;
}

void TokenPlace::fallBack(const Io& io, std::string_view reason, std::string_view doing) {
  settled_ = Settled::file;
  io.err << "tervala: no keyring (" << shownMessage(reason) << "); " << doing << ' ' << description() << '\n';
}

std::optional<std::string> TokenPlace::prepareWrite(const Io& io) {
  if (settled_ != Settled::nothing) {
    return std::nullopt;  // a token read is written back where it was found
  }
  if (mode_ == StoreMode::file) {
    settled_ = Settled::file;
    return std::nullopt;
  }
  if (const auto& problem = keyringProblem()) {
    if (mode_ == StoreMode::keyring) {
      return "the keyring is not reachable: " + *problem + " (--allow-file would use the settings file)";
    }
    fallBack(io, *problem, "the token is stored in");
    return std::nullopt;
  }
  settled_ = Settled::keyring;
  return std::nullopt;
}

std::optional<std::string> TokenPlace::storeToken(const OAuthToken& token) {
  if (settled_ == Settled::nothing) {
    return "no place for the token was chosen";
  }
  std::optional<Data> archive = KeyedArchiver::archivedDataWithRootObject(token);
  if (!archive) {
    return "the token cannot be archived: one of its texts is not UTF-8";
  }
  bool stored = false;
  if (settled_ == Settled::keyring) {
    stored = keyring_->setData(key_, *archive);
  } else {
    stored = SettingsStore::standard().setData(key_, *archive);
  }
  platform::cleanse(archive->data(), archive->size());
  if (stored) {
    return std::nullopt;
  }
  if (settled_ == Settled::keyring) {
    return keyring_->lastProblem().value_or("writing to the keyring failed");
  }
  return storeProblem(SettingsStore::standard());
}

std::variant<std::shared_ptr<OAuthToken>, std::string> TokenPlace::retrieveToken(const Io& io) {
  Lookup found;
  std::string none = "no stored token" + whose_;
  if (mode_ == StoreMode::file) {
    settled_ = Settled::file;
    found = fromFile(key_);
  } else if (const auto& problem = keyringProblem()) {
    if (mode_ == StoreMode::keyring) {
      return "the keyring is not reachable: " + *problem + " (--allow-file would use the settings file)";
    }
    if (mode_ == StoreMode::keyringOrFile) {
      fallBack(io, *problem, "reading the token from");
    }
    settled_ = Settled::file;
    found = fromFile(key_);
    none = "no stored token" + whose_ + " in " + description() + " (no keyring: " + *problem + ")";
  } else {
    settled_ = Settled::keyring;
    found = fromKeyring(*keyring_, key_);
    none = "no stored token" + whose_ + " in the keyring";
    // Without a choice, a token stored in the file before the keyring was there still counts;
    // a keyring that failed to answer does not send the reading elsewhere.
    if (mode_ == StoreMode::automatic && !found.token && !found.problem) {
      settled_ = Settled::file;
      found = fromFile(key_);
      none = "no stored token" + whose_ + " in the keyring or in " + description();
    }
  }
  held_ = found.held;
  identityClaims_ = std::move(found.claims);
  if (found.token) {
    return std::move(found.token);
  }
  return found.problem.value_or(none);
}

std::optional<std::string> TokenPlace::removeToken() {
  if (settled_ == Settled::nothing) {
    return "no place for the token was chosen";
  }
  if (settled_ == Settled::keyring) {
    if (keyring_->remove(key_)) {
      return std::nullopt;
    }
    return keyring_->lastProblem().value_or("removing from the keyring failed");
  }
  if (SettingsStore::standard().removeData(key_)) {
    return std::nullopt;
  }
  return storeProblem(SettingsStore::standard());
}

std::string TokenPlace::description() const {
  if (settled_ == Settled::keyring) {
    return "the keyring (Secret Service)";
  }
  return "the settings file '" + filePath() + "'";
}

std::string TokenPlace::filePath() const {
  return visible(SettingsStore::standard().location().string());
}

}  // namespace tervala::cli
