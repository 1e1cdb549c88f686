#include <tervala/OAuthContext.hpp>
#include <tervala/OpenIdRequests.hpp>

#include "oauth/EndpointCall.hpp"
#include "platform/DebugLog.hpp"
#include "platform/ErrorCodes.hpp"
#include "platform/FormEncoding.hpp"

namespace tervala {
namespace {

Error openIdError(std::string_view description, std::string_view reason) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, description, reason);
}

std::optional<std::string> textMember(const platform::SecretJson& object, std::string_view name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_string()) {
    return std::nullopt;
  }
  const auto& text = found->get_ref<const platform::SecretString&>();
  return std::string(text.data(), text.size());
}

}  // namespace

std::vector<std::string> OpenIdRequests::bearerHeaders(std::string_view accessToken) {
  return {std::string("Authorization: Bearer ").append(accessToken)};
}

std::variant<std::string, Error> OpenIdRequests::userInfo(std::string_view url,
                                                          const std::vector<std::string>& headers,
                                                          const std::optional<std::string>& subject) {
  platform::debugLine("Tervala.OpenIdRequests", "userInfo(_:)");
  try {
    std::vector<platform::SecretText> lines;
    lines.reserve(headers.size());
    for (const auto& header : headers) {
      lines.push_back(platform::secretText(header));
    }
    const auto reply =
        EndpointCall::getWith(url, std::move(lines), EndpointSettings::of(OAuthContext::sharedInstance()));
    if (!reply.transportError && reply.statusCode != 200) {
      return EndpointCall::refusal(reply, "The UserInfo endpoint");
    }
    auto object = EndpointCall::jsonObject(reply);
    if (auto* const error = std::get_if<Error>(&object)) {
      return *error;
    }
    const auto& claims = std::get<platform::SecretJson>(object);
    const auto said = textMember(claims, "sub");
    if (!said) {
      return openIdError("The UserInfo reply was refused.", "it has no \"sub\"");
    }
    if (subject && *said != *subject) {
      return openIdError("The UserInfo reply was refused.", "its \"sub\" is not the ID token's");
    }
    const auto text = claims.dump(-1, ' ', false, platform::SecretJson::error_handler_t::replace);
    return std::string(text.data(), text.size());
  } catch (const std::exception& failure) {
    return openIdError("The UserInfo request failed", failure.what());
  }
}

std::variant<std::string, Error> OpenIdRequests::pushAuthorization(std::string_view parEndpoint,
                                                                   std::string_view authorizationUrl,
                                                                   std::string_view clientId,
                                                                   const AuthorizationRequest& request) {
  platform::debugLine("Tervala.OpenIdRequests", "pushAuthorization(_:)");
  try {
    // The client's credentials name the client; the request's own client_id would repeat it.
    std::vector<std::pair<std::string_view, std::string_view>> fields;
    for (const auto& [name, value] : request.parameters()) {
      if (name != "client_id") {
        fields.emplace_back(name, value);
      }
    }
    const auto reply = EndpointCall::post(parEndpoint, clientId, fields,
                                          EndpointSettings::of(OAuthContext::sharedInstance()));
    if (!reply.transportError && reply.statusCode != 201 && reply.statusCode != 200) {
      return EndpointCall::refusal(reply, "The pushed authorization request endpoint");
    }
    auto object = EndpointCall::jsonObject(reply);
    if (auto* const error = std::get_if<Error>(&object)) {
      return *error;
    }
    const auto requestUri = textMember(std::get<platform::SecretJson>(object), "request_uri");
    if (!requestUri || requestUri->empty()) {
      return openIdError("The pushed authorization request was refused.", "the reply has no \"request_uri\"");
    }
    std::string url(authorizationUrl);
    url.append(url.find('?') == std::string::npos         ? "?"
               : (url.back() == '?' || url.back() == '&') ? ""
                                                          : "&");
    url.append("client_id=").append(platform::view(platform::formUrlEncode(clientId)));
    url.append("&request_uri=").append(platform::view(platform::formUrlEncode(*requestUri)));
    return url;
  } catch (const std::exception& failure) {
    return openIdError("The pushed authorization request failed", failure.what());
  }
}

}  // namespace tervala
