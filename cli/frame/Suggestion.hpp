#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tervala::cli {

/// The word of `known` closest to the mistyped `typed` by edit distance, when it is close enough
/// to be what was meant (at most two edits, and fewer than half the word).
std::optional<std::string_view> closestWord(std::string_view typed, std::span<const std::string_view> known);

/// " (did you mean 'WORD'?)" for the closest word, or nothing.
std::string didYouMean(std::string_view typed, std::span<const std::string_view> known);

}  // namespace tervala::cli
