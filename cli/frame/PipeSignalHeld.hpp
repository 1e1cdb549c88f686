#pragma once

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace tervala::cli {

/// SIGPIPE held back while this thread writes to a program it started (a clipboard tool, curl):
/// one that exits before it reads must give a failure to report, not end the tervala process. A
/// SIGPIPE the write raised is taken from the pending set before the old mask returns.
class PipeSignalHeld {
 public:
  PipeSignalHeld() noexcept {
    ::sigemptyset(&pipeOnly_);
    ::sigaddset(&pipeOnly_, SIGPIPE);
    sigset_t pending;
    ::sigpending(&pending);
    pendingBefore_ = ::sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
  }
  PipeSignalHeld(const PipeSignalHeld&) = delete;
  PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;
  ~PipeSignalHeld() {
    sigset_t pending;
    ::sigpending(&pending);
    if (!pendingBefore_ && ::sigismember(&pending, SIGPIPE) == 1) {
      const timespec now{};
      ::sigtimedwait(&pipeOnly_, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t pipeOnly_{};
  sigset_t previous_{};
  bool pendingBefore_ = false;
};

}  // namespace tervala::cli
