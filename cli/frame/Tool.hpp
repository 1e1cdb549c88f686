#pragma once

#include <span>

#include "frame/Commands.hpp"

namespace tervala::cli {

/// The whole tool: `args` is argv without the program name. Secrets in `args` are overwritten
/// as soon as they are read. Returns the exit status.
int runTool(std::span<char* const> args, const Io& io);

}  // namespace tervala::cli
