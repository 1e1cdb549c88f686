#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <tervala/Checked.hpp>
#include <tervala/HmacAlgorithm.hpp>
#include <tervala/HotpGeneratorContext.hpp>
#include <tervala/TotpGeneratorContext.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Time-based (RFC 6238) or counter-based (RFC 4226) codes.
enum class OtpType { totp, hotp };

/// How a code is written: decimal digits, or the five letters and digits of Steam Guard.
enum class OtpCodeForm { decimal, steam };

/// Everything of a key but its secret.
struct OtpAuthParameters {
  OtpType type = OtpType::totp;
  std::string issuer;   ///< may be empty
  std::string account;  ///< never empty in a made key
  HmacAlgorithm algorithm = HmacAlgorithm::SHA1;
  std::int64_t digits = 6;    ///< 6 or 8; 5 for the Steam form
  std::int64_t period = 30;   ///< seconds, 10 to 300; TOTP only
  std::uint64_t counter = 0;  ///< the next counter value; HOTP only
  OtpCodeForm form = OtpCodeForm::decimal;

  friend bool operator==(const OtpAuthParameters&, const OtpAuthParameters&) = default;
};

/// A key as authenticators exchange it (an `otpauth://` Key URI, the text of a QR code):
/// the parameters and the secret. Immutable; the secret is held in memory that is wiped when
/// the last copy goes, and no reason text ever repeats it.
class TERVALA_EXPORT OtpAuthUri {
 public:
  /// Longest URI `parse` reads.
  static constexpr std::size_t maxLength = 4096;

  /// Reads `otpauth://totp|hotp/LABEL?secret=...&...`; the README's table gives every rule.
  static Checked<OtpAuthUri> parse(std::string_view uri);

  /// A key from its parts, checked as `parse` checks them. `secret` is Base32 as the generators
  /// read it, and may be grouped with blanks.
  static Checked<OtpAuthUri> make(OtpAuthParameters parameters, std::string_view secret);

  [[nodiscard]] const OtpAuthParameters& parameters() const noexcept { return parameters_; }

  /// The Key URI: issuer prefix and `issuer=` when there is an issuer, `%20` for blanks, the
  /// secret unpadded, and only parameters that differ from the defaults unless `allParameters`.
  /// The counter of a HOTP key is always written. Holds the secret: treat it as one.
  [[nodiscard]] std::string toString(bool allParameters = false) const;

  /// The key's generator. Null when the key is of the other type.
  [[nodiscard]] std::shared_ptr<TotpGeneratorContext> makeTotp() const;
  [[nodiscard]] std::shared_ptr<HotpGeneratorContext> makeHotp() const;

 private:
  friend struct OtpAuthUriSecret;
  struct Secret;
  OtpAuthUri(OtpAuthParameters parameters, std::shared_ptr<const Secret> secret);

  OtpAuthParameters parameters_;
  std::shared_ptr<const Secret> secret_;
};

}  // namespace tervala
