#pragma once

#include <optional>
#include <string_view>

#include <tervala/ClientAuthentication.hpp>
#include <tervala/ClientKey.hpp>

#include "oauth/TokenRequestForm.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {

/// What the client assertion methods read beside the secret: the key, and the audience the host
/// set (absent: the request's URL).
struct AssertionSettings {
  std::optional<ClientKey> key;
  std::optional<std::string> audience;
  /// Whether the request presents a client certificate (the mutual TLS methods need one).
  bool certificate = false;
};

/// What a request to the authorization server carries to authenticate its client, by method:
/// form fields, or the value of an "Authorization" header (a secret), or "client_id" alone.
class ClientCredentials {
 public:
  /// Credentials of `clientId` with `secret` (absent or empty: none set) sent by `method` to
  /// `url`. A client assertion is made here, so each request builds its own credentials.
  ClientCredentials(ClientAuthentication method, std::string_view clientId,
                    const std::optional<platform::SecretText>& secret,
                    const AssertionSettings& assertion = {}, std::string_view url = {});

  /// Why the method cannot authenticate the client (no key, a short secret...): the request is
  /// not sent. Absent when all is well.
  [[nodiscard]] const std::optional<std::string>& problem() const noexcept { return problem_; }

  /// Adds the form fields of the method, first in the form: "client_id" (not with Basic), then
  /// "client_secret" (with a secret in the form only) or the client assertion and its type.
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
  std::optional<platform::SecretText> assertion_;
  std::optional<std::string> problem_;
};

}  // namespace tervala
