#pragma once

#include <cstdio>
#include <cstdlib>

namespace tervala::fuzz {

/// Stops the run when a property of the code under test does not hold: libFuzzer reports it as a
/// crash and keeps the input, and a corpus replay fails.
inline void require(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "fuzz property broken: %s\n", property);
    std::abort();
  }
}

}  // namespace tervala::fuzz
