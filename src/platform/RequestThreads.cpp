#include "platform/RequestThreads.hpp"

#include <openssl/crypto.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/TransferGate.hpp"

namespace tervala::platform {
namespace {

// A parked thread uses no CPU (it sleeps in the kernel); these bound what it holds: its stack and
// OpenSSL's per-thread state.
constexpr auto idleLimit = std::chrono::seconds(5);
constexpr std::size_t maxParked = 8;

struct Parking {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<RequestThreads::Job> waiting;
  std::size_t parked = 0;
};

Parking& parking() {
  // Parked threads may still wait on it while the process exits, so it is never destroyed.
  static auto* const instance = new Parking;  // NOLINT(cppcoreguidelines-owning-memory)
  return *instance;
}

// Readies a request thread to end. OpenSSL's per-thread state is released inside the gate:
// released at the thread's end by OpenSSL itself, it could run under OpenSSL's global cleanup at
// exit.
void releaseThread() noexcept {
  {
    const TransferGate::Inside inside;
    if (inside.held()) {
      OPENSSL_thread_stop();
    }
  }
  if (TransferGate::exiting()) {
    for (;;) {
      ::pause();  // the process is ending; nothing of this thread may run any more
    }
  }
}

void serve(RequestThreads::Job job) noexcept {
  Parking& place = parking();
  for (;;) {
    job();
    job = nullptr;  // what the request held goes before the wait
    std::unique_lock lock(place.mutex);
    if (place.parked >= maxParked || TransferGate::exiting()) {
      break;
    }
    ++place.parked;
    const bool handed = place.wake.wait_for(lock, idleLimit, [&] { return !place.waiting.empty(); });
    --place.parked;
    if (!handed) {
      break;
    }
    job = std::move(place.waiting.front());
    place.waiting.pop_front();
  }
  releaseThread();
}

}  // namespace

void RequestThreads::run(Job job) {
  Parking& place = parking();
  {
    const std::lock_guard lock(place.mutex);
    // Every waiting job has a parked thread of its own, or it would wait behind another request.
    if (place.parked > place.waiting.size()) {
      place.waiting.push_back(std::move(job));
      place.wake.notify_one();
      return;
    }
  }
  std::thread(serve, std::move(job)).detach();
}

}  // namespace tervala::platform
