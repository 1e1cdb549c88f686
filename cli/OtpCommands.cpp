#include <ostream>

#include "Commands.hpp"

namespace tervala::cli {

// Placeholder until the one-time-password commands land.
int runTotp(const GlobalOptions&, std::span<const std::string>, Io io) {
  io.err << "tervala: totp is not available in this build\n";
  return usage;
}

int runHotp(const GlobalOptions&, std::span<const std::string>, Io io) {
  io.err << "tervala: hotp is not available in this build\n";
  return usage;
}

}  // namespace tervala::cli
