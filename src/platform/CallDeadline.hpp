#pragma once

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/GlibHandles.hpp"

namespace tervala::platform {

/// A cancellable that cancels itself once `timeout` has passed: a blocking libsecret call given
/// it ends even when the bus or the keyring daemon never answers (a hung daemon, a prompt no one
/// can see). The timer stops when the deadline object goes.
class CallDeadline {
 public:
  explicit CallDeadline(std::chrono::milliseconds timeout);
  CallDeadline(const CallDeadline&) = delete;
  CallDeadline& operator=(const CallDeadline&) = delete;
  ~CallDeadline();

  [[nodiscard]] GCancellable* cancellable() const noexcept { return cancellable_.get(); }
  /// Whether the timeout passed (and so the call was cancelled).
  [[nodiscard]] bool expired() const noexcept {
    return glib().cancellableIsCancelled(cancellable_.get()) != 0;
  }

 private:
  GObjectHandle<GCancellable> cancellable_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread timer_;
};

}  // namespace tervala::platform
