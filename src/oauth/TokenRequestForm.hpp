#pragma once

#include <string>
#include <string_view>

#include <tervala/OAuthContext.hpp>

#include "platform/SecureMemory.hpp"

namespace tervala {

/// The form body of one token request, built field by field in order, together with the text of
/// its debug line, in which the values of secret fields are written as "***". The body holds
/// passwords and secrets, so it lives in wiped memory.
class TokenRequestForm {
 public:
  /// Appends "name=value" (preceded by "&" after the first field), both form-encoded.
  void add(std::string_view name, std::string_view value);
  /// Appends a field whose value is given as a form parameter value.
  void addParam(std::string_view name, const OAuthContext::ParamValue& value);

  /// The body as sent.
  [[nodiscard]] std::string_view text() const noexcept { return platform::view(text_); }
  /// Moves the body out, leaving this form's copy empty.
  [[nodiscard]] platform::SecretText takeText() noexcept { return std::move(text_); }
  /// The body as the debug line shows it: secrets masked, all else as sent.
  [[nodiscard]] const std::string& debugText() const noexcept { return debugText_; }

  /// The textual form of a parameter value: texts as they are, integers in decimal, doubles in
  /// shortest round-trip decimal, booleans as "true" / "false".
  static platform::SecretText valueText(const OAuthContext::ParamValue& value);
  /// True for the fields whose values never reach the debug output: all but grant_type,
  /// client_id, scope, username, redirect_uri and client_assertion_type.
  static bool isSecretField(std::string_view name) noexcept;

 private:
  platform::SecretText text_;
  std::string debugText_;
};

}  // namespace tervala
