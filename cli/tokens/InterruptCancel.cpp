#include "tokens/InterruptCancel.hpp"

#include <atomic>

namespace tervala::cli {
namespace {

// A signal handler reaches nothing but these: the token of the one wait in progress and the
// signal that came.
std::atomic<CancelToken*> cancelled{nullptr};
volatile sig_atomic_t received = 0;

static_assert(std::atomic<CancelToken*>::is_always_lock_free);

extern "C" void cancelOnInterrupt(int number) {
  received = number;
  if (CancelToken* const token = cancelled.load()) {
    token->cancel();
  }
}

}  // namespace

InterruptCancel::InterruptCancel(CancelToken& token) noexcept {
  received = 0;
  cancelled.store(&token);
  struct sigaction action {};
  action.sa_handler = cancelOnInterrupt;
  sigemptyset(&action.sa_mask);
  installed_ = sigaction(SIGINT, &action, &previousInterrupt_) == 0 &&
               sigaction(SIGTERM, &action, &previousTerminate_) == 0;
}

InterruptCancel::~InterruptCancel() {
  sigaction(SIGINT, &previousInterrupt_, nullptr);
  sigaction(SIGTERM, &previousTerminate_, nullptr);
  cancelled.store(nullptr);
}

int InterruptCancel::signal() noexcept {
  return received;
}

}  // namespace tervala::cli
