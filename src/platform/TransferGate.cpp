#include "platform/TransferGate.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/CurlHandles.hpp"

namespace tervala::platform {
namespace {

// How long the exit waits for threads inside a libcurl or OpenSSL call: most calls are short, so
// only a thread loading a CA file, starved of CPU or stuck in host code (a trust delegate) runs
// into this bound.
constexpr auto longestExitWait = std::chrono::milliseconds(300);
// A fork waits as long for them: a thread inside at the fork may hold one of their locks, which
// the child's copy would then never see released.
constexpr auto longestForkWait = longestExitWait;

// Whether this thread is inside: an exit started from inside a request (a trust delegate calling
// exit) must not wait for itself.
thread_local int insideHere = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

}  // namespace

TransferGate::TransferGate() : exitSignal_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TransferGate& TransferGate::instance() {
  // Request threads may use it while the process exits, so it is never destroyed.
  static TransferGate* const gate = new TransferGate();  // NOLINT(cppcoreguidelines-owning-memory)
  return *gate;
}

bool TransferGate::prepare() noexcept {
  static const bool prepared = [] {
    const bool initialised = ensureCurlGlobalInit();
    static_cast<void>(instance());
    // Without the fork handlers a forked child could still make requests, only less surely.
    static_cast<void>(::pthread_atfork(&shutForFork, &reopenInParent, &renewInChild));
    // Registered after the libraries' own exit handlers (the host's initialisation or ours), so
    // it runs before them.
    return ::on_exit(&TransferGate::closeAtExit, nullptr) == 0 && initialised;
  }();
  return prepared;
}

bool TransferGate::exiting() noexcept {
  TransferGate& gate = instance();
  const std::lock_guard lock(gate.mutex_);
  return gate.exiting_;
}

int TransferGate::exitSignal() noexcept {
  return instance().exitSignal_;
}

void TransferGate::closeAtExit(int status, void* /*unused*/) noexcept {
  TransferGate& gate = instance();
  std::unique_lock lock(gate.mutex_);
  gate.exiting_ = true;
  const std::uint64_t one = 1;
  if (gate.exitSignal_ >= 0) {
    static_cast<void>(::write(gate.exitSignal_, &one, sizeof one));
  }
  const int own = insideHere;
  if (!gate.left_.wait_for(lock, longestExitWait, [&gate, own] { return gate.inside_ <= own; })) {
    // A thread is still inside (a long CA file load on a starved machine, a trust delegate that
    // hangs): the libraries' cleanup would pull their state from under it and crash the process.
    // Ending now, with the exit status asked for and the standard streams flushed, is the lesser
    // harm; it skips the exit handlers registered before the first grant.
    lock.unlock();
    static_cast<void>(std::fflush(nullptr));
    ::_exit(status);
  }
}

void TransferGate::shutForFork() noexcept {
  TransferGate& gate = instance();
  std::unique_lock lock(gate.mutex_);
  const int own = insideHere;
  // At the bound (a trust delegate stuck in host code) the fork goes ahead: the child's own
  // state is renewed either way.
  static_cast<void>(gate.left_.wait_for(lock, longestForkWait, [&gate, own] { return gate.inside_ <= own; }));
  // Held across the fork, so nobody enters before the child is made; let go by the handlers below.
  lock.release();
}

void TransferGate::reopenInParent() noexcept {
  instance().mutex_.unlock();
}

void TransferGate::renewInChild() noexcept {
  TransferGate& gate = instance();
  // The child has only the forking thread: the lock and the condition variable start afresh (the
  // parent's threads that waited on them do not exist here), and so does the count inside.
  new (&gate.mutex_) std::mutex();
  new (&gate.left_) std::condition_variable();
  gate.inside_ = insideHere;
  gate.exiting_ = false;
  if (gate.exitSignal_ >= 0) {
    static_cast<void>(::close(gate.exitSignal_));  // the child's copy only; the parent keeps its own
  }
  gate.exitSignal_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TransferGate::Inside::Inside() noexcept {
  static_cast<void>(enter());
}

TransferGate::Inside::~Inside() {
  leave();
}

bool TransferGate::Inside::enter() noexcept {
  if (held_) {
    return true;
  }
  TransferGate& gate = instance();
  const std::lock_guard lock(gate.mutex_);
  if (!gate.exiting_) {
    ++gate.inside_;
    ++insideHere;
    held_ = true;
  }
  return held_;
}

void TransferGate::Inside::leave() noexcept {
  if (!held_) {
    return;
  }
  TransferGate& gate = instance();
  const std::lock_guard lock(gate.mutex_);
  --gate.inside_;
  --insideHere;
  held_ = false;
  gate.left_.notify_all();
}

}  // namespace tervala::platform
