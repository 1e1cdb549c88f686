#pragma once

#include <iosfwd>

namespace tervala::cli {

/// A bash completion script for tervala, written from the command table.
void writeBashCompletion(std::ostream& out);

}  // namespace tervala::cli
