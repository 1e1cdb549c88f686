#pragma once

#include <iosfwd>

namespace tervala::cli {

/// The manual page tervala(1) in roff, written from the command table.
void writeManPage(std::ostream& out);

}  // namespace tervala::cli
