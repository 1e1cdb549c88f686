#include <tervala/OAuthContext.hpp>
#include <tervala/OpenIdRequests.hpp>

#include "oauth/EndpointCall.hpp"
#include "oauth/HeaderText.hpp"
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

constexpr std::string_view challengeHeader = "WWW-Authenticate";
constexpr std::string_view nonceHeader = "DPoP-Nonce";

// "NAME: VALUE" in wiped memory: the value holds the token.
platform::SecretText headerLine(std::string_view name, std::string_view value) {
  platform::SecretText line = platform::secretText(name);
  line.insert(line.end(), {':', ' '});
  line.insert(line.end(), value.begin(), value.end());
  return line;
}

// The UserInfo reply's claims as text, for the ID token's `subject` when one is given.
std::variant<std::string, Error> userInfoClaims(const platform::HttpReply& reply,
                                                const std::optional<std::string>& subject) {
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
    return userInfoClaims(
        EndpointCall::getWith(url, std::move(lines), EndpointSettings::of(OAuthContext::sharedInstance())),
        subject);
  } catch (const std::exception& failure) {
    return openIdError("The UserInfo request failed", failure.what());
  }
}

std::variant<std::string, Error> OpenIdRequests::userInfo(std::string_view url, const OAuthToken& token,
                                                          const std::optional<std::string>& subject) {
  platform::debugLine("Tervala.OpenIdRequests", "userInfo(_:token:)");
  try {
    if (!HeaderText::isDpopType(token.tokenType())) {
      auto header = token.createAuthorizationHeader();
      if (!header) {
        return openIdError("The UserInfo request was not sent.", "the token gives no Authorization header");
      }
      std::vector<platform::SecretText> lines{headerLine("Authorization", *header)};
      platform::cleanse(header);
      return userInfoClaims(
          EndpointCall::getWith(url, std::move(lines), EndpointSettings::of(OAuthContext::sharedInstance())),
          subject);
    }
    // A bound token: the header pair of this request, and once more with the nonce the endpoint
    // asks for (RFC 9449 section 9).
    auto pair = token.createProofHeaders("GET", url);
    platform::HttpReply reply;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!pair) {
        return openIdError("The UserInfo request was not sent.", pair.reason());
      }
      std::vector<platform::SecretText> lines{headerLine("Authorization", pair->authorization),
                                              headerLine("DPoP", pair->dpop)};
      reply =
          EndpointCall::getWith(url, std::move(lines), EndpointSettings::of(OAuthContext::sharedInstance()),
                                {std::string(challengeHeader), std::string(nonceHeader)});
      if (reply.transportError || reply.statusCode != 401 || attempt > 0) {
        break;
      }
      pair = token.answerProofChallenge("GET", url, 401, reply.header(challengeHeader).value_or(""),
                                        reply.header(nonceHeader).value_or(""));
      if (!pair) {
        break;  // no nonce challenge: the endpoint's refusal stands
      }
    }
    return userInfoClaims(reply, subject);
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
