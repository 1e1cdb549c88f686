#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tervala::test {

/// The real tervala binary as a child process with pipes on its three standard streams, for the
/// few checks that need a process: its argv as others see it, signals, stdout not a terminal.
class ToolProcess {
 public:
  struct Outcome {
    int status = -1;  ///< the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
  };

  explicit ToolProcess(const std::vector<std::string>& args);
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  /// Kills the child if it still runs.
  ~ToolProcess();

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  /// Sends `text` to standard input and closes it.
  void send(const std::string& text);
  /// Reads until standard output holds `bytes` bytes, both streams end, or 10 s pass.
  void readUntil(std::size_t bytes);
  /// Closes standard input, reads both streams to their end and waits for the exit.
  Outcome finish();
  [[nodiscard]] const std::string& outSoFar() const noexcept { return outcome_.out; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  Outcome outcome_;
};

}  // namespace tervala::test
