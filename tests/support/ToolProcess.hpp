#pragma once

#include <sys/types.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/FileDescriptor.hpp"

namespace tervala::test {

/// What one run of the tool printed and how it ended.
struct ToolRun {
  int status = -1;  ///< the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

/// The real tervala binary as a child process, standard input empty and the other two streams
/// piped back, for what only a process shows: its argv, signals, a pipe as standard output.
class ToolProcess {
 public:
  /// Runs the tool (or `program`, a copy of it) with `args`; `environment` ("NAME=value") comes
  /// before this process's own.
  explicit ToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
                       const std::string& program = {});
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  ~ToolProcess();  ///< kills the child if it still runs

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  /// Reads until what both streams gave is `enough`, both end, or 10 s pass.
  const ToolRun& readUntil(const std::function<bool(const ToolRun&)>& enough);
  /// Reads both streams to their end and waits for the exit (killed after 10 s).
  ToolRun finish();

 private:
  pid_t pid_ = -1;
  std::array<platform::FileDescriptor, 2> streams_;  ///< the read ends of standard output and error
  ToolRun run_;
};

}  // namespace tervala::test
