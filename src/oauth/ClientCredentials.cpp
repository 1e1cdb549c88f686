#include "oauth/ClientCredentials.hpp"

#include <span>

#include "platform/Base64.hpp"
#include "platform/FormEncoding.hpp"

namespace tervala {

ClientCredentials::ClientCredentials(ClientAuthentication method, std::string_view clientId,
                                     const std::optional<platform::SecretText>& secret)
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
  }
}

void ClientCredentials::addTo(TokenRequestForm& form) const {
  if (method_ != ClientAuthentication::basic) {
    form.add("client_id", clientId_);
  }
  if (formSecret_) {
    form.add("client_secret", platform::view(*formSecret_));
  }
}

std::optional<std::string_view> ClientCredentials::authorizationDebugLine() const noexcept {
  if (!authorization_) {
    return std::nullopt;
  }
  return "Authorization: Basic ***";
}

}  // namespace tervala
