#pragma once

#include <functional>
#include <string_view>

#include <tervala/export.hpp>

namespace tervala {

/// Receives each debug line of the library, without its line feed. A line never holds a control,
/// format or separator character, nor a byte that is not UTF-8: those a server sent arrive escaped
/// (\n, \x1b, \u202e...), so a line is safe to print as it is.
using DebugSink = std::function<void(std::string_view line)>;

/// Sends the library's debug lines to `sink` instead of standard output; an empty function
/// silences them. Lines may arrive from several threads at once: the sink is called under a lock,
/// one whole line at a time. The sink may call back into the library: lines of such a call reach
/// the same sink at once, on the same thread (so a sink that takes a lock of its own must allow
/// that), and a sink may replace itself. Call `resetDebugSink()` to go back to standard output.
TERVALA_EXPORT void setDebugSink(DebugSink sink);

/// Sends the debug lines to standard output again (the default).
TERVALA_EXPORT void resetDebugSink();

}  // namespace tervala
