#include "oauth/ClientCredentials.hpp"

#include <span>

#include "oauth/ClientAssertion.hpp"
#include "platform/Base64.hpp"
#include "platform/FormEncoding.hpp"

namespace tervala {

ClientCredentials::ClientCredentials(ClientAuthentication method, std::string_view clientId,
                                     const std::optional<platform::SecretText>& secret,
                                     const AssertionSettings& assertion, std::string_view url)
    : method_(method), clientId_(clientId) {
  const bool hasSecret = secret && !secret->empty();
  switch (method) {
    case ClientAuthentication::form:
      if (hasSecret) {
        formSecret_ = *secret;
      }
      break;
    case ClientAuthentication::basic: {
      // Each part form-encoded first, so a ":" in the id, or "+", "%" and non-ASCII bytes in
      // either, reach the server as they are.
      platform::SecretText pair = platform::formUrlEncode(clientId);
      pair.push_back(':');
      const platform::SecretText encodedSecret =
          platform::formUrlEncode(hasSecret ? platform::view(*secret) : std::string_view());
      pair.insert(pair.end(), encodedSecret.begin(), encodedSecret.end());
      const platform::SecretText base64 =
          platform::encodeBase64(std::span(reinterpret_cast<const std::uint8_t*>(pair.data()), pair.size()));
      platform::SecretText value = platform::secretText("Basic ");
      value.insert(value.end(), base64.begin(), base64.end());
      authorization_ = std::move(value);
      break;
    }
    case ClientAuthentication::none:
      break;
    case ClientAuthentication::tlsClientAuth:
    case ClientAuthentication::selfSignedTlsClientAuth:
      // The certificate in the handshake is the proof: the form names the client only.
      if (!assertion.certificate) {
        problem_ = "mutual TLS client authentication needs a client certificate";
      }
      break;
    case ClientAuthentication::privateKeyJwt:
    case ClientAuthentication::clientSecretJwt: {
      const AssertionParty party{clientId, assertion.audience ? std::string_view(*assertion.audience) : url};
      std::variant<platform::SecretText, std::string> made;
      if (method == ClientAuthentication::clientSecretJwt) {
        made = secretAssertion(hasSecret ? platform::view(*secret) : std::string_view(), party);
      } else if (assertion.key) {
        made = keyAssertion(*assertion.key, party);
      } else {
        made = std::string("private_key_jwt needs a client key");
      }
      if (auto* token = std::get_if<platform::SecretText>(&made)) {
        assertion_ = std::move(*token);
      } else {
        problem_ = std::move(std::get<std::string>(made));
      }
      break;
    }
  }
}

void ClientCredentials::addTo(TokenRequestForm& form) const {
  if (method_ != ClientAuthentication::basic) {
    form.add("client_id", clientId_);
  }
  if (formSecret_) {
    form.add("client_secret", platform::view(*formSecret_));
  }
  if (assertion_) {
    form.add("client_assertion_type", jwtBearerAssertionType);
    form.add("client_assertion", platform::view(*assertion_));
  }
}

std::optional<std::string_view> ClientCredentials::authorizationDebugLine() const noexcept {
  if (!authorization_) {
    return std::nullopt;
  }
  return "Authorization: Basic ***";
}

}  // namespace tervala
