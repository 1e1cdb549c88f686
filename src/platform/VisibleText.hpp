#pragma once

#include <string>
#include <string_view>

#include <tervala/export.hpp>

namespace tervala::platform {

/// True for a character a terminal acts on or hides rather than shows: C0 and C1 controls, DEL,
/// format characters (BiDi overrides and isolates, zero-width characters, tags...) and the line
/// and paragraph separators.
bool isHiddenCharacter(char32_t value) noexcept;

/// Whether a backslash in the text is doubled, so that every escape reads back unambiguously, or
/// kept, so that text without hidden characters stays exactly as it is (debug lines, messages
/// that already hold escaped pieces).
enum class Backslash { doubled, kept };

/// `text` safe to write to a terminal or a log: printable characters stay (non-ASCII ones too),
/// CR, LF and tab become \r \n \t, other C0 controls, DEL and every byte that starts no
/// well-formed UTF-8 sequence become \xHH, every other hidden character \uHHHH (\UHHHHHHHH above
/// U+FFFF). So a server, a file or a pasted URI can never move the cursor, set a title, reorder
/// what is shown or forge a line.
/// Exported, though no public header declares it, for the tool: what it shows is escaped exactly
/// as the library's own debug lines are, also when it runs on the shared library.
TERVALA_EXPORT std::string visibleText(std::string_view text, Backslash backslash = Backslash::doubled);

/// JSON text (C0 controls already escaped, as every JSON writer does) with every other hidden
/// character written as a \u escape, surrogate pairs above U+FFFF, and a byte that is not UTF-8
/// as \ufffd: the same document when read, harmless when shown.
std::string visibleJson(std::string_view json);

}  // namespace tervala::platform
