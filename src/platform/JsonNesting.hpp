#pragma once

#include <cstddef>
#include <string_view>

namespace tervala::platform {

/// True when a bracket in `text` opens deeper than `limit` levels. Brackets inside string
/// literals (escapes included) do not count. One linear pass that stops at the first bracket
/// past the limit, run before parsing so that no input can make the parser build a deep tree.
bool jsonNestingExceeds(std::string_view text, std::size_t limit) noexcept;

}  // namespace tervala::platform
