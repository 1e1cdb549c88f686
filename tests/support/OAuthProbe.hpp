#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/OAuthContext.hpp>

#include "LineCapture.hpp"

namespace tervala::test {

/// Catches the completion of one grant: how often it ran, on which thread, with which result.
class CompletionProbe {
 public:
  /// The callback to hand to a grant.
  OAuthContext::Completion completion() {
    return [state = state_](std::shared_ptr<const OAuthResult> result) {
      const std::lock_guard lock(state->mutex);
      ++state->calls;
      state->result = std::move(result);
      state->thread = std::this_thread::get_id();
      state->arrived.notify_all();
    };
  }

  /// The result, once it arrived; null when nothing came within `limit`.
  std::shared_ptr<const OAuthResult> wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(state_->mutex);
    state_->arrived.wait_for(lock, limit, [this] { return state_->calls > 0; });
    return state_->result;
  }

  [[nodiscard]] int calls() const {
    const std::lock_guard lock(state_->mutex);
    return state_->calls;
  }
  [[nodiscard]] std::thread::id thread() const {
    const std::lock_guard lock(state_->mutex);
    return state_->thread;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable arrived;
    int calls = 0;
    std::shared_ptr<const OAuthResult> result;
    std::thread::id thread;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

using DebugCapture = LineCapture;

/// Puts the shared context's settings back to their defaults and silences the debug lines.
inline void resetSharedContext() {
  setDebugSink(nullptr);
  auto& context = OAuthContext::sharedInstance();
  context.serverTrustDelegate.reset();
  context.timeoutInterval = 30.0;
  context.scope.reset();
  context.clientSecret.reset();
}

}  // namespace tervala::test
