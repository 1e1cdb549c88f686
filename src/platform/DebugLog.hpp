#pragma once

#include <string_view>

#include <tervala/Debug.hpp>

namespace tervala::platform {

/// Makes `sink` the destination of every line; an empty function silences them.
void replaceSink(DebugSink sink);

/// Makes standard output the destination again.
void restoreStandardOutputSink();

/// True when a debug line would reach anyone; lets callers skip building a costly line.
bool debugEnabled() noexcept;

/// Writes one debug line (the line feed is added here) to the current sink, every control, format
/// or separator character and every byte that is not UTF-8 escaped (visibleText, backslashes kept).
void debugLine(std::string_view line) noexcept;

/// Writes "<className> <operation>" as one line, the form every operation's entry line takes.
void debugLine(std::string_view className, std::string_view operation) noexcept;

}  // namespace tervala::platform
