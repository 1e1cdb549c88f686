#pragma once

#include <optional>
#include <string_view>

#include "platform/SecureMemory.hpp"

namespace tervala::cli {

/// A hex key as oathtool takes it ("3132333435...", any case, blanks between groups allowed)
/// written as Base32 for the generators. Absent for an odd number of hex digits, any other
/// character, or no digits at all.
std::optional<platform::SecretText> base32OfHex(std::string_view hex);

}  // namespace tervala::cli
