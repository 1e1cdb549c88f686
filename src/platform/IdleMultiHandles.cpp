#include "platform/IdleMultiHandles.hpp"

#include <pthread.h>

#include <mutex>
#include <new>
#include <vector>

namespace tervala::platform {
namespace {

// As many as there are parked request threads: more would only hold descriptors.
constexpr std::size_t mostKept = 8;

struct Kept {
  std::mutex mutex;
  std::vector<CURLM*> handles;
};

Kept& kept();

// A forked child must not use the handles it inherited: their wake-up sockets are shared with the
// parent's copies. Nor may it clean them up, which could close or shut down a connection the
// parent still uses; they are left to the end of the child on purpose (a leak, not a fault), as
// is the list, which a parent thread may have been changing at the fork. The lock starts afresh.
void forgetInChild() noexcept {
  Kept& idle = kept();
  new (&idle.mutex) std::mutex();
  new (&idle.handles) std::vector<CURLM*>();
}

// Never destroyed: a transfer may still give a handle back while the process exits, and the
// handles it holds then may no longer be cleaned up (libcurl is not ours to call by then).
Kept& kept() {
  static auto* const shared = [] {
    auto* const made = new Kept();  // NOLINT(cppcoreguidelines-owning-memory): never destroyed
    static_cast<void>(::pthread_atfork(nullptr, nullptr, &forgetInChild));
    return made;
  }();
  return *shared;
}

}  // namespace

CurlMulti IdleMultiHandles::take() noexcept {
  {
    Kept& idle = kept();
    const std::lock_guard lock(idle.mutex);
    if (!idle.handles.empty()) {
      CurlMulti multi(idle.handles.back());
      idle.handles.pop_back();
      return multi;
    }
  }
  return CurlMulti(libcurl().multiInit());
}

void IdleMultiHandles::giveBack(CurlMulti multi) noexcept {
  if (!multi) {
    return;
  }
  Kept& idle = kept();
  try {
    const std::lock_guard lock(idle.mutex);
    if (idle.handles.size() < mostKept) {
      idle.handles.reserve(mostKept);
      idle.handles.push_back(multi.release());
    }
  } catch (...) {
    // Without room to keep it, the handle is cleaned up below.
  }
}

}  // namespace tervala::platform
