#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include <tervala/OtpAuthUri.hpp>

#include "frame/Commands.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::cli {

/// The key a command's SECRET|URI operand names: a Key URI with its parameters, or a bare
/// secret with the default ones (SHA1, 6 digits, 30 s, no account).
struct KeyOperand {
  OtpAuthParameters parameters;
  bool fromUri = false;
  platform::SecretText secret;  ///< canonical Base32: upper case, no blanks, no padding

  /// Reads `text`: an `otpauth://` URI, else a Base32 secret (grouped with blanks or not), or
  /// with `hex` a hex key. The reason of a refusal never repeats the text.
  static std::variant<KeyOperand, UsageError> read(std::string_view text, bool hex);

  /// The refusal of a Key URI of another type than `wanted`; a bare secret fits either.
  [[nodiscard]] std::optional<UsageError> typeMismatch(OtpType wanted) const;
};

}  // namespace tervala::cli
