#include <tervala/CancelToken.hpp>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace tervala {

static_assert(std::atomic<bool>::is_always_lock_free, "cancel() must be safe in a signal handler");

CancelToken::CancelToken() noexcept : descriptor_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelToken::~CancelToken() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

void CancelToken::cancel() noexcept {
  cancelled_.store(true);
  if (descriptor_ >= 0) {
    const std::uint64_t one = 1;
    // Only async-signal-safe calls here; a full counter is still readable, so the result is moot.
    static_cast<void>(::write(descriptor_, &one, sizeof one));
  }
}

bool CancelToken::cancelled() const noexcept {
  return cancelled_.load();
}

bool CancelToken::waitFor(std::chrono::nanoseconds duration) const noexcept {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + duration;
  // Without a descriptor the flag is looked at every few milliseconds instead.
  constexpr milliseconds slice{20};
  while (!cancelled()) {
    const auto left = ceil<milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd watched{descriptor_, POLLIN, 0};
    const auto wait = descriptor_ >= 0 ? left : std::min(left, slice);
    ::poll(&watched, descriptor_ >= 0 ? 1 : 0,
           static_cast<int>(std::min<milliseconds::rep>(wait.count(), 60'000)));
  }
  return true;
}

}  // namespace tervala
