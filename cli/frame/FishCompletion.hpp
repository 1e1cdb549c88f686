#pragma once

#include <iosfwd>

namespace tervala::cli {

/// A fish completion script for tervala (tervala.fish in a folder of $fish_complete_path),
/// written from the command table.
void writeFishCompletion(std::ostream& out);

}  // namespace tervala::cli
