#include "platform/CallDeadline.hpp"

namespace tervala::platform {

CallDeadline::CallDeadline(std::chrono::milliseconds timeout) : cancellable_(glib().cancellableNew()) {
  timer_ = std::thread([this, timeout] {
    std::unique_lock lock(mutex_);
    if (!finished_.wait_for(lock, timeout, [this] { return done_; })) {
      glib().cancellableCancel(cancellable_.get());  // thread-safe: the call sees it on its own thread
    }
  });
}

CallDeadline::~CallDeadline() {
  {
    const std::lock_guard lock(mutex_);
    done_ = true;
  }
  finished_.notify_one();
  timer_.join();
}

}  // namespace tervala::platform
