#pragma once

#include <string>
#include <string_view>

namespace tervala::cli {

/// `text` safe to write to a terminal: printable ASCII stays, a backslash doubles, and every
/// other byte becomes a visible escape (\r, \n, \t, else \xHH), so a stored or given value can
/// never move the cursor, change colours or forge a line.
std::string visible(std::string_view text);

/// `visible(word)` for a word the tool did not expect, unless it looks like a Key URI or a
/// migration URI: those hold secrets and are never repeated.
std::string visibleWord(std::string_view word);

/// `text` with its ASCII letters lower-cased, for comparing words the user may write in any case.
std::string lowered(std::string_view text);

}  // namespace tervala::cli
