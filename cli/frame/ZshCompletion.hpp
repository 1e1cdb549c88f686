#pragma once

#include <iosfwd>

namespace tervala::cli {

/// A zsh completion function for tervala (the file _tervala in a folder of $fpath), written from
/// the command table.
void writeZshCompletion(std::ostream& out);

}  // namespace tervala::cli
