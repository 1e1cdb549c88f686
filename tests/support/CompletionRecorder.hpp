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

/// Collects the results that grant completions deliver, from any thread, each under the grant it
/// belongs to, and lets a test wait for them. Completions share the state, so a late one never
/// touches a finished test.
class CompletionRecorder {
 public:
  /// The completion for the next grant: records its result and how often it ran.
  [[nodiscard]] OAuthContext::Completion completion() {
    auto state = state_;
    std::size_t grant = 0;
    {
      const std::lock_guard lock(state->mutex);
      grant = state->calls.size();
      state->calls.push_back(0);
      state->results.emplace_back();
      state->threads.emplace_back();
    }
    return [state, grant](std::shared_ptr<const OAuthResult> result) {
      const std::lock_guard lock(state->mutex);
      ++state->calls[grant];
      ++state->completed;
      state->results[grant] = std::move(result);
      state->threads[grant] = std::this_thread::get_id();
      state->changed.notify_all();
    };
  }

  /// Waits until `count` completions have run or `limit` has passed; true when they have. The
  /// limit is short, so a lost completion fails its test instead of hanging it.
  bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->completed >= count; });
  }

  /// Completions run so far, over all grants.
  [[nodiscard]] std::size_t completed() const {
    const std::lock_guard lock(state_->mutex);
    return state_->completed;
  }

  /// The last result of each grant, in the order the completions were handed out (null where
  /// none arrived).
  [[nodiscard]] std::vector<std::shared_ptr<const OAuthResult>> results() const {
    const std::lock_guard lock(state_->mutex);
    return state_->results;
  }

  /// How often each grant's completion ran, in the same order.
  [[nodiscard]] std::vector<std::size_t> callsPerGrant() const {
    const std::lock_guard lock(state_->mutex);
    return state_->calls;
  }

  /// The thread each grant's completion last ran on, in the same order.
  [[nodiscard]] std::vector<std::thread::id> threads() const {
    const std::lock_guard lock(state_->mutex);
    return state_->threads;
  }

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::size_t completed = 0;
    std::vector<std::size_t> calls;
    std::vector<std::shared_ptr<const OAuthResult>> results;
    std::vector<std::thread::id> threads;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

/// The recorder of a single grant.
class CompletionProbe {
 public:
  [[nodiscard]] OAuthContext::Completion completion() { return recorder_.completion(); }
  /// The result, once it arrived; null when nothing came within `limit`.
  std::shared_ptr<const OAuthResult> wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    recorder_.waitFor(1, limit);
    const auto results = recorder_.results();
    return results.empty() ? nullptr : results.front();
  }
  [[nodiscard]] int calls() const {
    const auto calls = recorder_.callsPerGrant();
    return calls.empty() ? 0 : static_cast<int>(calls.front());
  }
  [[nodiscard]] std::thread::id thread() const {
    const auto threads = recorder_.threads();
    return threads.empty() ? std::thread::id() : threads.front();
  }

 private:
  CompletionRecorder recorder_;
};

}  // namespace tervala::test
