#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Debug.hpp>

namespace tervala::fuzz {

/// Stops the run when a property of the code under test does not hold: libFuzzer reports it as a
/// crash and keeps the input, and a corpus replay fails.
inline void require(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "fuzz property broken: %s\n", property);
    std::abort();
  }
}

/// The debug lines of the current input: the first call sends the library's lines here, and each
/// call starts a new input with no lines.
inline std::vector<std::string>& startCapturingLines() {
  static std::vector<std::string> lines;
  static const bool sinkSet = [] {
    tervala::setDebugSink([](std::string_view line) { lines.emplace_back(line); });
    return true;
  }();
  (void)sinkSet;
  lines.clear();
  return lines;
}

}  // namespace tervala::fuzz
