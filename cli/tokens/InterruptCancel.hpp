#pragma once

#include <signal.h>

#include <tervala/CancelToken.hpp>

namespace tervala::cli {

/// While it lives, SIGINT and SIGTERM cancel `token` instead of ending the process, so a long
/// wait ends cleanly; the handlers found before come back when it goes.
class InterruptCancel {
 public:
  explicit InterruptCancel(CancelToken& token) noexcept;
  ~InterruptCancel();
  InterruptCancel(const InterruptCancel&) = delete;
  InterruptCancel& operator=(const InterruptCancel&) = delete;
  InterruptCancel(InterruptCancel&&) = delete;
  InterruptCancel& operator=(InterruptCancel&&) = delete;

  /// False when the handlers could not be installed.
  [[nodiscard]] bool installed() const noexcept { return installed_; }
  /// The signal that cancelled, or 0.
  [[nodiscard]] static int signal() noexcept;

 private:
  struct sigaction previousInterrupt_ {};
  struct sigaction previousTerminate_ {};
  bool installed_ = false;
};

}  // namespace tervala::cli
