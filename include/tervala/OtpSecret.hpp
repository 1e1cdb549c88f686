#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/export.hpp>

namespace tervala {

/// A Base32 secret as people copy it from an authenticator's screen ("JBSW Y3DP EHPK 3PXP"):
/// blanks between the groups and around them dropped, nothing else changed, so the result goes
/// to the generators as it is. Absent when nothing but blanks remains. Holds the secret.
TERVALA_EXPORT std::optional<std::string> base32WithoutBlanks(std::string_view text);

/// How strong a shared secret is. RFC 4226 asks for at least 128 bits and recommends 160.
struct SecretStrength {
  std::size_t bits = 0;
  [[nodiscard]] bool belowMinimum() const noexcept { return bits < 128; }
  [[nodiscard]] bool belowRecommended() const noexcept { return bits < 160; }
};

/// The strength of a Base32 secret (blanks allowed as above); absent when it is not Base32.
/// Writes no debug line.
TERVALA_EXPORT std::optional<SecretStrength> secretStrength(std::string_view base32);

}  // namespace tervala
