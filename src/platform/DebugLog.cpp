#include "platform/DebugLog.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <tervala/Debug.hpp>

#include "platform/VisibleText.hpp"

namespace tervala::platform {
namespace {

enum class SinkKind { standardOutput, custom, silent };

// The sink outlives every thread that may still log while the process exits (a request thread
// finishing its reply), so it is created once and never destroyed. The mutex is recursive so that
// a sink may call back into the library (whose lines then arrive on the same thread) or replace
// itself; the running sink is held by a shared pointer, so replacing it never destroys the
// function while it runs.
struct SinkState {
  std::recursive_mutex mutex;
  std::shared_ptr<const DebugSink> sink;
  std::atomic<SinkKind> kind{SinkKind::standardOutput};
};

SinkState& state();

// A thread of the parent may have held the lock at the fork (a request thread writing a line); a
// forked child has no such thread, so its copy of the lock starts afresh.
void unlockInChild() noexcept {
  new (&state().mutex) std::recursive_mutex();
}

SinkState& state() {
  // Never destroyed, on purpose.
  static auto* const instance = [] {
    auto* const made = new SinkState();  // NOLINT(cppcoreguidelines-owning-memory)
    static_cast<void>(::pthread_atfork(nullptr, nullptr, &unlockInChild));
    return made;
  }();
  return *instance;
}

void writeAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // a closed or full standard output must not stop the library
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Lines carry what servers sent (reply bodies, URLs from metadata) and hosts print them: every
// hidden character is escaped here, once for all lines. Printable ASCII, the whole of the fixed
// lines, passes as it is, backslashes included.
bool isPlainAscii(std::string_view line) noexcept {
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) {
      return false;
    }
  }
  return true;
}

}  // namespace

void replaceSink(DebugSink sink) {
  auto& s = state();
  auto replacement = sink ? std::make_shared<const DebugSink>(std::move(sink)) : nullptr;
  const std::lock_guard lock(s.mutex);
  const bool silent = replacement == nullptr;
  s.sink = std::move(replacement);
  s.kind.store(silent ? SinkKind::silent : SinkKind::custom, std::memory_order_release);
}

void restoreStandardOutputSink() {
  auto& s = state();
  const std::lock_guard lock(s.mutex);
  s.sink = nullptr;
  s.kind.store(SinkKind::standardOutput, std::memory_order_release);
}

bool debugEnabled() noexcept {
  return state().kind.load(std::memory_order_relaxed) != SinkKind::silent;
}

void debugLine(std::string_view given) noexcept {
  SinkState& s = state();
  const SinkKind kind = s.kind.load(std::memory_order_acquire);
  if (kind == SinkKind::silent) {
    return;
  }
  try {
    std::string escaped;
    std::string_view line = given;
    if (!isPlainAscii(given)) {
      escaped = visibleText(given, Backslash::kept);
      line = escaped;
    }
    if (kind == SinkKind::custom) {
      const std::lock_guard lock(s.mutex);
      if (s.kind.load(std::memory_order_relaxed) == SinkKind::custom) {
        const std::shared_ptr<const DebugSink> running = s.sink;
        (*running)(line);
      }
      return;
    }
    std::string whole;
    whole.reserve(line.size() + 1);
    whole.append(line).push_back('\n');
    const std::lock_guard lock(s.mutex);
    if (s.kind.load(std::memory_order_relaxed) == SinkKind::standardOutput) {
      std::fflush(stdout);  // keep order with anything the host wrote through stdio
      writeAll(STDOUT_FILENO, whole.data(), whole.size());
    }
  } catch (...) {
    // A sink that throws, or a failed allocation, loses this line and nothing else.
  }
}

void debugLine(std::string_view className, std::string_view operation) noexcept {
  if (!debugEnabled()) {
    return;
  }
  try {
    std::string line;
    line.reserve(className.size() + 1 + operation.size());
    line.append(className).append(" ").append(operation);
    debugLine(line);
  } catch (...) {
  }
}

}  // namespace tervala::platform
