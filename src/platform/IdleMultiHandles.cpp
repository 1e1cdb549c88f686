#include "platform/IdleMultiHandles.hpp"

#include <mutex>
#include <vector>

namespace tervala::platform {
namespace {

// As many as there are parked request threads: more would only hold descriptors.
constexpr std::size_t mostKept = 8;

struct Kept {
  std::mutex mutex;
  std::vector<CURLM*> handles;
};

// Never destroyed: a transfer may still give a handle back while the process exits, and the
// handles it holds then may no longer be cleaned up (libcurl is not ours to call by then).
Kept& kept() {
  static auto* const shared = new Kept();  // NOLINT(cppcoreguidelines-owning-memory): never destroyed
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
  return CurlMulti(curl_multi_init());
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
