#pragma once

#include <string>
#include <string_view>

namespace tervala::cli {

/// `text` safe to write to a terminal: printable ASCII stays, a backslash doubles, and every
/// other byte becomes a visible escape (\r, \n, \t, else \xHH), so a stored or given value can
/// never move the cursor, change colours or forge a line.
std::string visible(std::string_view text);

}  // namespace tervala::cli
