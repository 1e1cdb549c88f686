#include <tervala/OAuthRevocation.hpp>

#include <tervala/OAuthContext.hpp>

#include "oauth/EndpointCall.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"

namespace tervala {

std::optional<Error> OAuthRevocation::revoke(std::string_view url, std::string_view clientId,
                                             std::string_view token, std::string_view tokenTypeHint) {
  platform::debugLine("Tervala.OAuthRevocation", "revoke(_:_:token:tokenTypeHint:)");
  try {
    const auto settings = EndpointSettings::of(OAuthContext::sharedInstance());
    const auto reply = EndpointCall::postToken(url, clientId, token, tokenTypeHint, settings);
    if (reply.transportError) {
      return reply.transportError;
    }
    if (reply.statusCode == 200) {
      return std::nullopt;
    }
    return EndpointCall::refusal(reply, "The revocation endpoint");
  } catch (const std::exception& error) {
    return Error::make(Error::oauthErrorDomain, errors::oauth, "The request could not be built",
                       error.what());
  }
}

}  // namespace tervala
