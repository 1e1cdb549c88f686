#include "store/StoredTokenRefresh.hpp"

#include <algorithm>
#include <chrono>

#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>

#include "platform/ErrorCodes.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {
namespace {

// The store waits about 5 s for a lock; a process refreshing may hold it for its whole request,
// so the lock is asked for again until that request must have ended.
std::chrono::steady_clock::duration lockPatience() {
  constexpr double defaultTimeout = 30.0;
  constexpr double longestTimeout = 86400.0;
  const double timeout = OAuthContext::sharedInstance().timeoutInterval;
  const double seconds = timeout > 0.0 ? std::min(timeout, longestTimeout) : defaultTimeout;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds + 5.0));
}

Error storeError(std::string_view description, const std::optional<SettingsStore::Problem>& problem) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, description,
                     problem ? std::optional<std::string_view>(problem->reason) : std::nullopt);
}

std::shared_ptr<OAuthToken> decode(Data& archive) {
  auto token = KeyedUnarchiver::unarchiveObjectWithData(archive);
  platform::cleanse(archive.data(), archive.size());  // the archive holds the tokens in clear
  return token;
}

}  // namespace

std::shared_ptr<OAuthToken> StoredTokenRefresh::read(SettingsStore& settings, std::string_view key) {
  std::optional<Data> archive = settings.data(key);
  return archive ? decode(*archive) : nullptr;
}

StoredTokenRefresh::Outcome StoredTokenRefresh::run(const Usable& usable) {
  const auto giveUp = std::chrono::steady_clock::now() + lockPatience();
  for (;;) {
    bool locked = false;
    Outcome outcome;
    const auto done = settings_.update(key_, [&](const std::optional<Data>& current) {
      locked = true;
      return refreshOrAdopt(current, usable, outcome);
    });
    if (done == SettingsStore::UpdateOutcome::failed && outcome.refreshed) {
      // The endpoint has spent the stored refresh token: the new token is only in memory now.
      outcome.error = storeError("The refreshed token could not be stored", settings_.lastProblem());
      return outcome;
    }
    if (locked || done != SettingsStore::UpdateOutcome::failed) {
      return outcome;
    }
    const auto problem = settings_.lastProblem();
    if (!problem || problem->kind != SettingsStore::Problem::Kind::busy ||
        std::chrono::steady_clock::now() >= giveUp) {
      outcome.error = storeError("The stored token cannot be read", problem);
      return outcome;
    }
  }
}

std::optional<Data> StoredTokenRefresh::refreshOrAdopt(const std::optional<Data>& current,
                                                       const Usable& usable, Outcome& outcome) const {
  // Runs with the write lock held: what is read here is what the write below replaces, so the
  // refresh token sent is still the stored one when the new token goes in.
  Data archive = current.value_or(Data{});
  const auto stored = current ? decode(archive) : nullptr;
  if (!stored) {
    // The store's own problem cannot be asked for here: the store is busy with this very update.
    outcome.error = Error::make(Error::oauthErrorDomain, errors::oauth, "No stored token");
    return std::nullopt;
  }
  if (usable(*stored)) {
    outcome.token = stored;  // another process refreshed it meanwhile, or it is still good
    return std::nullopt;
  }
  auto refreshToken = stored->refreshToken();
  if (!refreshToken || refreshToken->empty()) {
    outcome.error =
        Error::make(Error::oauthErrorDomain, errors::oauth, "The stored token has no refresh token");
    return std::nullopt;
  }
  const auto reply = OAuthContext::sharedInstance().refreshAccessToken(url_, clientId_, *refreshToken);
  platform::cleanse(refreshToken);
  if (!reply || reply->hasError()) {
    outcome.error = reply ? *reply->error()
                          : Error::make(Error::oauthErrorDomain, errors::oauth, "The refresh gave no result");
    return std::nullopt;
  }
  std::shared_ptr<const OAuthToken> fresh = reply->serializeToToken();
  auto next = fresh ? KeyedArchiver::archivedDataWithRootObject(*fresh) : std::nullopt;
  outcome.token = std::move(fresh);
  outcome.refreshed = outcome.token != nullptr;
  if (!next) {
    outcome.error = storeError("The refreshed token could not be stored", std::nullopt);
  }
  return next;
}

}  // namespace tervala
