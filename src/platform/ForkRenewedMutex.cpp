#include "platform/ForkRenewedMutex.hpp"

#include <pthread.h>

#include <new>

namespace tervala::platform {

// Every live ForkRenewedMutex, linked through the mutexes themselves, so that listing one never
// allocates. The list's own lock is held only to link or unlink one, and across a fork, so the
// child never walks a list a parent thread was changing.
struct ForkRenewedList {
  std::mutex mutex;
  ForkRenewedMutex* first = nullptr;

  static ForkRenewedList& instance() {
    // Never destroyed: a mutex of a static object may be unlisted after static destruction began.
    static auto* const list = [] {
      auto* const made = new ForkRenewedList();  // NOLINT(cppcoreguidelines-owning-memory)
      static_cast<void>(::pthread_atfork(&holdForFork, &releaseInParent, &renewInChild));
      return made;
    }();
    return *list;
  }

  static void holdForFork() noexcept { instance().mutex.lock(); }
  static void releaseInParent() noexcept { instance().mutex.unlock(); }
  // The child has only the forking thread; a lock a parent thread held stays held by nobody, and
  // what it guarded is as that thread left it (the owners take care of that, as the settings store
  // does with a connection opened by another process).
  static void renewInChild() noexcept {
    ForkRenewedList& list = instance();
    new (&list.mutex) std::mutex();
    for (ForkRenewedMutex* each = list.first; each != nullptr; each = each->next_) {
      new (static_cast<std::mutex*>(each)) std::mutex();
    }
  }
};

ForkRenewedMutex::ForkRenewedMutex() {
  ForkRenewedList& list = ForkRenewedList::instance();
  const std::lock_guard lock(list.mutex);
  next_ = list.first;
  if (next_ != nullptr) {
    next_->previous_ = this;
  }
  list.first = this;
}

ForkRenewedMutex::~ForkRenewedMutex() {
  ForkRenewedList& list = ForkRenewedList::instance();
  const std::lock_guard lock(list.mutex);
  (previous_ != nullptr ? previous_->next_ : list.first) = next_;
  if (next_ != nullptr) {
    next_->previous_ = previous_;
  }
}

}  // namespace tervala::platform
