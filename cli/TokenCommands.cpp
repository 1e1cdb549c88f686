#include <ostream>

#include "Commands.hpp"

namespace tervala::cli {

// Placeholder until the token commands land.
int runToken(const GlobalOptions&, std::span<const std::string>, Io io) {
  io.err << "tervala: token is not available in this build\n";
  return usage;
}

}  // namespace tervala::cli
