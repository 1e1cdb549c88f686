#pragma once

#include <functional>

namespace tervala::platform {

/// The threads that run asynchronous requests. A thread that has delivered its request waits a
/// while, parked on a condition variable, for the next one: handing a request to a warm thread
/// costs one wake-up, where starting a thread costs its creation, its first scheduling and
/// OpenSSL's per-thread set-up. A request never waits for another: when no thread is parked, a
/// new one starts, so completions are never serialised.
class RequestThreads {
 public:
  using Job = std::function<void()>;

  /// Runs `job` (which must not throw) on a request thread. Throws std::system_error when no
  /// thread is parked and none can be started.
  static void run(Job job);

  RequestThreads() = delete;
};

}  // namespace tervala::platform
