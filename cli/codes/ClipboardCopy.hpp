#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "frame/Commands.hpp"

namespace tervala::cli {

/// Puts `code` on the clipboard through wl-copy (Wayland) or xclip (X11), found on the PATH of
/// `io`'s environment and run with an argument vector, the code on its standard input; then
/// leaves a detached process that clears the clipboard after 45 seconds if it still holds the
/// code, as pass does. Absent once copied, else why not in one line.
std::optional<std::string> copyToClipboard(std::string_view code, const Io& io);

}  // namespace tervala::cli
