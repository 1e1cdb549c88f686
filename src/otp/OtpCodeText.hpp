#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <tervala/OtpGeneratorContext.hpp>

namespace tervala {

/// Room for the longest code, 8 decimal digits (a Steam code has 5 characters).
using CodeText = std::array<char, 8>;

/// Writes the 31-bit `truncated` value as `digits` (6 or 8) decimal digits, leading zeros kept;
/// returns the length. The same arithmetic for every value, so it takes the same time for all.
std::size_t writeDecimalCode(std::uint32_t truncated, std::int64_t digits, CodeText& text) noexcept;

/// Writes the 31-bit `truncated` value as the five Steam Guard characters, least significant
/// first; returns 5.
std::size_t writeSteamCode(std::uint32_t truncated, CodeText& text) noexcept;

/// The generator's truncated value for a counter, without the debug line of `create`.
struct OtpCodeAccess {
  static std::optional<std::uint32_t> truncated(const OtpGeneratorContext& generator,
                                                std::uint64_t counter) noexcept {
    return generator.truncatedValue(counter);
  }
};

}  // namespace tervala
