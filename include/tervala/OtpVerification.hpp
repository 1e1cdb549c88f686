#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <tervala/OtpAuthUri.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/TotpGeneratorContext.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// A code that matched: the counter (for TOTP, the period count) it was made for, and how far
/// that lies from the expected one (for TOTP, from now; for HOTP, from the next expected counter).
struct OtpMatch {
  std::uint64_t counter = 0;
  std::int64_t offset = 0;
  friend bool operator==(const OtpMatch&, const OtpMatch&) = default;
};

/// Checks a typed code against the codes around an expected counter. Every candidate of the
/// window is computed and compared, with no early exit and no branch on the code, so the time
/// taken tells nothing about which candidate matched or how close a wrong code came. A code of
/// the wrong length or with other characters is refused after the same work.
class TERVALA_EXPORT OtpVerifier {
 public:
  /// Windows wider than this are refused (absent): each step costs one HMAC.
  static constexpr std::uint64_t maxWindow = 1000;

  /// TOTP: the periods of `unixTime` +/- `window`. Preference, should two match: the nearest.
  static std::optional<OtpMatch> verifyTotp(const TotpGeneratorContext& generator, std::string_view code,
                                            double unixTime, std::uint64_t window = 1,
                                            OtpCodeForm form = OtpCodeForm::decimal) noexcept;

  /// HOTP: the counters `nextCounter` to `nextCounter` + `lookAhead`. Preference: the lowest.
  static std::optional<OtpMatch> verifyHotp(const OtpGeneratorContext& generator, std::string_view code,
                                            std::uint64_t nextCounter, std::uint64_t lookAhead = 1) noexcept;

  /// HOTP resynchronisation (RFC 4226 section 7.4): the counter after two consecutive codes
  /// `first` and `second` found within `lookAhead` of `nextCounter`; the new next counter.
  static std::optional<std::uint64_t> resynchronize(const OtpGeneratorContext& generator,
                                                    std::string_view first, std::string_view second,
                                                    std::uint64_t nextCounter,
                                                    std::uint64_t lookAhead = 100) noexcept;
};

}  // namespace tervala
