#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tervala/Debug.hpp>

namespace tervala::test {

/// Collects the library's debug lines while it lives; silences them afterwards, as the test main does.
class LineCapture {
 public:
  LineCapture() {
    setDebugSink([this](std::string_view line) {
      const std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;
  ~LineCapture() { setDebugSink(nullptr); }

  /// The lines so far.
  [[nodiscard]] std::vector<std::string> lines() const {
    const std::lock_guard lock(mutex_);
    return lines_;
  }

  /// The lines so far, and forgets them.
  std::vector<std::string> take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace tervala::test
