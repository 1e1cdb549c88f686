#include "platform/RequestThreads.hpp"

#include <openssl/crypto.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

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
  std::vector<RequestThreads::Job> waiting;  // oldest first; never more than the parked threads
  std::size_t parked = 0;
};

Parking& parking();

// A forked child has none of the parent's threads, parked or not, but a copy of their books: it
// starts with none parked and nothing waiting, and with a lock that no thread holds. The jobs
// waiting are the parent's requests, whose completions the parent calls; they are left as they
// are (neither run nor destroyed), as is the memory of the old books, which a parent thread may
// have been changing at the fork. Nothing here allocates.
void emptyInChild() noexcept {
  Parking& place = parking();
  new (&place.mutex) std::mutex();
  new (&place.wake) std::condition_variable();
  new (&place.waiting) std::vector<RequestThreads::Job>();
  place.parked = 0;
}

Parking& parking() {
  // Parked threads may still wait on it while the process exits, so it is never destroyed.
  static auto* const instance = [] {
    auto* const made = new Parking;  // NOLINT(cppcoreguidelines-owning-memory)
    // Without the fork handler a forked child's asynchronous grants would wait for threads that
    // do not exist; when it cannot be registered, the library is used as it is.
    static_cast<void>(::pthread_atfork(nullptr, nullptr, &emptyInChild));
    return made;
  }();
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
    place.waiting.erase(place.waiting.begin());
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
