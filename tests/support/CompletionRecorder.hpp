#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>

namespace tervala::test {

/// Collects what grant completions deliver, from any thread, one slot per completion handed out.
/// Completions share the state, so a late one never touches a finished test.
class CompletionRecorder {
 public:
  struct Grant {
    std::size_t calls = 0;
    std::shared_ptr<const OAuthResult> result;  ///< the last one delivered
    std::thread::id thread;                     ///< where the last one ran
  };

  /// The completion for the next grant.
  [[nodiscard]] OAuthContext::Completion completion() {
    const std::lock_guard lock(state_->mutex);
    const std::size_t slot = state_->grants.size();
    state_->grants.emplace_back();
    return [state = state_, slot](std::shared_ptr<const OAuthResult> result) {
      const std::lock_guard lock(state->mutex);
      state->grants[slot] = {state->grants[slot].calls + 1, std::move(result), std::this_thread::get_id()};
      ++state->completed;
      state->changed.notify_all();
    };
  }

  /// Waits until `count` completions have run or `limit` has passed; true when they have.
  bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->completed >= count; });
  }

  /// Every grant, in the order its completion was handed out.
  [[nodiscard]] std::vector<Grant> grants() const {
    const std::lock_guard lock(state_->mutex);
    return state_->grants;
  }

  /// For a single grant: what its completion delivered, once it ran or 10 s have passed.
  [[nodiscard]] Grant single() {
    waitFor(1);
    const auto all = grants();
    return all.empty() ? Grant{} : all.front();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t completed = 0;
    std::vector<Grant> grants;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tervala::test
