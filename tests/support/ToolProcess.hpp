#pragma once

#include <sys/types.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace tervala::test {

/// The real tervala binary as a child process, standard input empty and the other two streams
/// piped back, for the few checks that need a process: its argv as others see it, signals,
/// standard output not a terminal, its own environment.
class ToolProcess {
 public:
  struct Outcome {
    int status = -1;  ///< the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
  };

  /// Runs the tool with `args`; `environment` ("NAME=value") comes before this process's own.
  explicit ToolProcess(const std::vector<std::string>& args,
                       const std::vector<std::string>& environment = {});
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  /// Kills the child if it still runs.
  ~ToolProcess();

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  /// Reads until what both streams gave is `enough`, both end, or 10 s pass; gives what they gave.
  const Outcome& readUntil(const std::function<bool(const Outcome&)>& enough);
  /// Reads both streams to their end and waits for the exit (killed after 10 s).
  Outcome finish();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::array<int, 2> streams_{-1, -1};  ///< the read ends of standard output and error
  Outcome outcome_;
};

}  // namespace tervala::test
