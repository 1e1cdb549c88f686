#pragma once

#include <optional>
#include <string_view>

#include <tervala/ClientAuthentication.hpp>

#include "oauth/TokenRequestForm.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {

/// What a request to the authorization server carries to authenticate its client, by method:
/// form fields, or the value of an "Authorization" header (a secret), or "client_id" alone.
class ClientCredentials {
 public:
  /// Credentials of `clientId` with `secret` (absent or empty: none set) sent by `method`.
  ClientCredentials(ClientAuthentication method, std::string_view clientId,
                    const std::optional<platform::SecretText>& secret);

  /// Adds the form fields of the method, first in the form: "client_id" (not with Basic), then
  /// "client_secret" (with a secret in the form only).
  void addTo(TokenRequestForm& form) const;
  /// The "Authorization" header's value ("Basic " and the Base64 text), with Basic only.
  [[nodiscard]] const std::optional<platform::SecretText>& authorization() const noexcept {
    return authorization_;
  }
  /// The header's line as debug output shows it, the credentials written as "***"; absent
  /// without a header.
  [[nodiscard]] std::optional<std::string_view> authorizationDebugLine() const noexcept;

 private:
  ClientAuthentication method_;
  std::string_view clientId_;
  std::optional<platform::SecretText> formSecret_;
  std::optional<platform::SecretText> authorization_;
};

}  // namespace tervala
