#pragma once

#include <string>
#include <string_view>

namespace tervala::cli {

/// `text` safe to write to a terminal: printable characters stay, a backslash doubles, and every
/// control, format or separator character and every byte that is not UTF-8 becomes a visible
/// escape (\r, \n, \t, \xHH, \uHHHH), so a stored, given or served value can never move the
/// cursor, change colours, reorder the line or forge another (platform::visibleText).
std::string visible(std::string_view text);

/// A whole message line, which may already hold `visible` pieces, made safe the same way with its
/// backslashes kept: a piece that is already visible stays exactly as it is.
std::string shownMessage(std::string_view message);

/// `visible(word)` for a word the tool did not expect, unless it looks like a Key URI or a
/// migration URI: those hold secrets and are never repeated.
std::string visibleWord(std::string_view word);

/// `text` with its ASCII letters lower-cased, for comparing words the user may write in any case.
std::string lowered(std::string_view text);

}  // namespace tervala::cli
