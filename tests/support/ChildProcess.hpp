#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tervala::test {

/// How a child process ended and what it wrote.
struct ChildResult {
  int exitStatus = -1;  ///< the exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

/// Runs `argv` (argv[0] is a path) with `input` on standard input, and waits for it; kills it
/// when it still runs after `limit`.
ChildResult runChild(const std::vector<std::string>& argv, const std::string& input = {},
                     std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace tervala::test
