#pragma once

#include <iosfwd>
#include <optional>
#include <span>
#include <string>

namespace tervala::cli {

/// Exit statuses of the tool.
enum ExitStatus : int { success = 0, failure = 1, usage = 2 };

/// Options that stand before the command.
struct GlobalOptions {
  bool debug = false;
  std::optional<std::string> settingsPath;
};

/// Streams a command reads and writes, so tests and main share one road.
struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

/// `tervala totp ...`; `args` holds what follows the command word.
int runTotp(const GlobalOptions& options, std::span<const std::string> args, Io io);
/// `tervala hotp ...`
int runHotp(const GlobalOptions& options, std::span<const std::string> args, Io io);
/// `tervala token password|code|refresh|show ...`
int runToken(const GlobalOptions& options, std::span<const std::string> args, Io io);

}  // namespace tervala::cli
