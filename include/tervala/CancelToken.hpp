#pragma once

#include <atomic>
#include <chrono>

#include <tervala/export.hpp>

namespace tervala {

/// Lets a caller give up on a long operation (the device flow's polling) from another thread or
/// a signal handler: the operation's waits and its transfer in flight end at once.
class TERVALA_EXPORT CancelToken {
 public:
  CancelToken() noexcept;
  ~CancelToken();
  CancelToken(const CancelToken&) = delete;
  CancelToken& operator=(const CancelToken&) = delete;
  CancelToken(CancelToken&&) = delete;
  CancelToken& operator=(CancelToken&&) = delete;

  /// Cancels, for good. Safe to call from a signal handler.
  void cancel() noexcept;
  [[nodiscard]] bool cancelled() const noexcept;
  /// Waits `duration` (nothing when it is not positive); true, at once, when cancelled.
  [[nodiscard]] bool waitFor(std::chrono::nanoseconds duration) const noexcept;
  /// A descriptor that becomes readable once cancelled, to wait on beside others; -1 when the
  /// system gave none (then only `cancelled` and `waitFor` tell).
  [[nodiscard]] int descriptor() const noexcept { return descriptor_; }

 private:
  std::atomic<bool> cancelled_{false};
  int descriptor_ = -1;
};

}  // namespace tervala
