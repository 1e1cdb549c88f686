#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "platform/SecureMemory.hpp"

namespace tervala::cli {

/// Why no answer was read: the terminal could not be opened or read, or the answer was too long.
/// `signal` is set when a signal ended the question and did not end the process when raised
/// again (an ignored or handled one).
struct PromptProblem {
  std::string message;
  int signal = 0;
};

/// Asks on the controlling terminal, as ssh and sudo ask for a password: `prompt` is written to
/// /dev/tty, one line is read from it with echo off, and the terminal's settings come back on
/// every way out. A signal that ends the process while it waits (Ctrl-C, a hang-up) is held
/// until the settings are back, then raised again. The line is never on standard output or in
/// a plain string; its line break is dropped.
std::variant<platform::SecretText, PromptProblem> askHidden(std::string_view prompt);

}  // namespace tervala::cli
