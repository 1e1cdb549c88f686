#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/TotpGeneratorContext.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Steam Guard codes: the 31-bit value of a TOTP code (SHA-1, 30 s for Steam's own keys)
/// written as five characters of "23456789BCDFGHJKMNPQRTVWXY", least significant first.
class TERVALA_EXPORT SteamGuard {
 public:
  /// The code for `counter`; absent only when the hash failed.
  static std::optional<std::string> code(const OtpGeneratorContext& generator, std::uint64_t counter);
  /// The code for the Unix time `unixTime`; absent for times the generator has no counter for.
  static std::optional<std::string> codeAt(const TotpGeneratorContext& generator, double unixTime);
};

}  // namespace tervala
