#pragma once

#include <cstddef>
#include <string_view>

namespace tervala::platform {

/// True when a bracket in `text` opens deeper than `limit` levels. Brackets inside string
/// literals (escapes included) do not count. One linear pass that stops at the first bracket
/// past the limit, run before parsing so that no input can make the parser build a deep tree.
bool jsonNestingExceeds(std::string_view text, std::size_t limit) noexcept;

/// True when `text` holds a NUL byte, which no JSON text does (a string writes it as \u0000).
/// The JSON reader takes a NUL for the end of its input and ignores what follows, so
/// `{"a":1}<NUL>anything` would pass as a document; text holding one is refused before parsing.
inline bool holdsNulByte(std::string_view text) noexcept {
  return text.find('\0') != std::string_view::npos;
}

}  // namespace tervala::platform
