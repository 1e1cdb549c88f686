#include <tervala/TokenSource.hpp>

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>

#include "oauth/HeaderText.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/ForkRenewedMutex.hpp"
#include "platform/LockFile.hpp"
#include "platform/SecureMemory.hpp"
#include "store/StoredTokenRefresh.hpp"
#include "store/TokenShelf.hpp"

namespace tervala {
namespace {

// Valid with the margin, and not the one the server refused. A token whose expiry is unknown is
// taken as good until the server refuses it.
bool usable(const OAuthToken& token, std::chrono::seconds margin,
            const std::optional<platform::SecretText>& refused) {
  if (refused && token.accessToken() == platform::view(*refused)) {
    return false;
  }
  const auto expiry = token.expiresOn();
  return !expiry || std::chrono::system_clock::now() + margin < *expiry;
}

Error failure(std::string_view description) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, description);
}

}  // namespace

struct TokenSource::State {
  State(std::string tokenUrl, std::string client, std::unique_ptr<TokenShelf> place)
      : url(std::move(tokenUrl)), clientId(std::move(client)), shelf(std::move(place)) {}

  const std::string url;
  const std::string clientId;
  const std::unique_ptr<TokenShelf> shelf;

  platform::ForkRenewedMutex mutex;
  std::condition_variable settled;
  std::chrono::seconds margin{defaultMargin};
  std::shared_ptr<const ChangeHandler> handler;
  bool refreshing = false;
  pid_t refreshingIn = 0;       // the process whose thread runs the refresh
  std::uint64_t refreshes = 0;  // counts finished refreshes, so a waiter knows its one is over
  TokenAnswer lastRefresh;
  std::optional<platform::SecretText> seen;     // the access token last handed out
  std::optional<platform::SecretText> refused;  // the access token the server refused

  // Whether `token`, about to be handed out, is a change worth telling. The first token handed
  // out is one only when the stored one would not do. Called with `mutex` held.
  bool noteHandedOut(const OAuthToken& token, bool replacedStored) {
    std::string access = token.accessToken();
    const bool same = seen && platform::view(*seen) == access;
    const bool first = !seen;
    if (!same) {
      seen = platform::secretText(access);
    }
    platform::cleanse(access);
    return !same && (replacedStored || !first);
  }

  void tell(bool changed, const std::shared_ptr<const ChangeHandler>& to, const OAuthToken& token) const {
    if (changed && to && *to) {
      (*to)(token);
    }
  }
};

TokenSource::TokenSource(std::string tokenUrl, std::string clientId, SettingsStore& settings,
                         std::string entryKey)
    : state_(std::make_unique<State>(std::move(tokenUrl), std::move(clientId),
                                     std::make_unique<SettingsShelf>(settings, std::move(entryKey)))) {}

TokenSource::TokenSource(std::string tokenUrl, std::string clientId, SecretServiceStore& keyring,
                         std::string entryKey)
    : state_(std::make_unique<State>(std::move(tokenUrl), std::move(clientId),
                                     std::make_unique<KeyringShelf>(keyring, std::move(entryKey)))) {}

TokenSource::~TokenSource() = default;

void TokenSource::setMargin(std::chrono::seconds margin) {
  const std::lock_guard lock(state_->mutex);
  // A day at most: the clock's range must hold now plus the margin.
  state_->margin = std::clamp(margin, std::chrono::seconds(0), std::chrono::seconds(86400));
}

std::chrono::seconds TokenSource::margin() const {
  const std::lock_guard lock(state_->mutex);
  return state_->margin;
}

void TokenSource::setChangeHandler(ChangeHandler handler) {
  auto shared = std::make_shared<const ChangeHandler>(std::move(handler));
  const std::lock_guard lock(state_->mutex);
  state_->handler = std::move(shared);
}

void TokenSource::invalidate(std::string_view accessToken) {
  auto refused = platform::secretText(accessToken);
  const std::lock_guard lock(state_->mutex);
  state_->refused = std::move(refused);
}

std::optional<Error> TokenSource::takeTurn(
    const std::function<void(std::shared_ptr<OAuthToken> stored)>& body) {
  auto turn = StoredTokenRefresh::takeTurn(*state_->shelf);
  if (auto* error = std::get_if<Error>(&turn)) {
    return std::move(*error);
  }
  body(StoredTokenRefresh::read(*state_->shelf));
  return std::nullopt;  // the turn passes on when `turn` goes
}

TokenSource::TokenAnswer TokenSource::token() {
  State& state = *state_;
  try {
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.refreshing && state.refreshingIn != ::getpid()) {
      // Inherited through fork(): the refresh runs on a thread of the parent, which this process
      // does not have, and would never end here. So would the waits of the parent's threads for
      // it, whose books the condition variable still keeps; no thread of this process waits on it
      // yet, so it starts afresh, and this process refreshes for itself.
      state.refreshing = false;
      new (&state.settled) std::condition_variable();
    }
    if (state.refreshing) {
      // One refresh for all: wait for the running one and share what it got.
      const std::uint64_t running = state.refreshes;
      state.settled.wait(lock, [&] { return state.refreshes != running; });
      if (!state.lastRefresh.token && !state.lastRefresh.error) {
        return {nullptr, failure("The token could not be refreshed")};  // the refresh broke off
      }
      return state.lastRefresh;
    }
    const auto margin = state.margin;
    const auto refused = state.refused;
    if (std::shared_ptr<const OAuthToken> stored = StoredTokenRefresh::read(*state.shelf);
        stored && usable(*stored, margin, refused)) {
      const bool changed = state.noteHandedOut(*stored, false);
      const auto handler = state.handler;
      lock.unlock();
      state.tell(changed, handler, *stored);
      return {std::move(stored), std::nullopt};
    }

    state.refreshing = true;
    state.refreshingIn = ::getpid();
    // However this refresh ends, the threads waiting for it are let go.
    struct Settle {
      State& state;
      std::unique_lock<std::mutex>& lock;
      ~Settle() {
        if (!lock.owns_lock()) {
          lock.lock();
        }
        if (state.refreshing) {
          state.refreshing = false;
          ++state.refreshes;
          state.lastRefresh = {nullptr, std::nullopt};
        }
        lock.unlock();
        state.settled.notify_all();
      }
    } const settle{state, lock};
    lock.unlock();
    StoredTokenRefresh::Outcome outcome;
    try {
      outcome = StoredTokenRefresh(*state.shelf, state.url, state.clientId).run([&](const OAuthToken& token) {
        return usable(token, margin, refused);
      });
    } catch (...) {
      outcome.error = failure("The token could not be refreshed");
    }
    lock.lock();
    const bool changed = outcome.token && state.noteHandedOut(*outcome.token, true);
    // A refreshed token that could not be stored goes to the change handler (the one place it is
    // still kept) but is not handed out as if all were well.
    state.lastRefresh =
        outcome.error ? TokenAnswer{nullptr, outcome.error} : TokenAnswer{outcome.token, std::nullopt};
    state.refreshing = false;
    ++state.refreshes;
    auto answer = state.lastRefresh;
    const auto handler = state.handler;
    lock.unlock();
    if (outcome.token) {
      state.tell(changed, handler, *outcome.token);
    }
    return answer;
  } catch (...) {
    return {nullptr, failure("The token could not be had")};
  }
}

TokenSource::HeaderAnswer TokenSource::authorizationHeader() {
  const auto answer = token();
  if (!answer.token) {
    return {std::nullopt, answer.error};
  }
  auto header = answer.token->createAuthorizationHeader();
  if (!header && HeaderText::isDpopType(answer.token->tokenType())) {
    return {std::nullopt, failure("The token is DPoP-bound: its headers come with a proof for each request "
                                  "(OAuthToken::createProofHeaders)")};
  }
  if (!header) {
    return {std::nullopt, failure("The token's type or value cannot stand in an Authorization header")};
  }
  return {std::move(header), std::nullopt};
}

}  // namespace tervala
