#include <tervala/OAuthDiscovery.hpp>

#include <tervala/OAuthContext.hpp>

#include "oauth/EndpointCall.hpp"
#include "platform/DebugLog.hpp"
#include "platform/EndpointUrl.hpp"
#include "platform/ErrorCodes.hpp"

namespace tervala {
namespace {

constexpr std::string_view rfc8414Path = "/.well-known/oauth-authorization-server";
constexpr std::string_view openIdPath = "/.well-known/openid-configuration";

Error discoveryError(std::string_view description, std::optional<std::string_view> reason = std::nullopt) {
  return Error::make(Error::oauthErrorDomain, errors::oauth, description, reason);
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// `"name" what`, built by appending (GCC 12 warns falsely about chained string additions).
std::string about(std::string_view name, std::string_view what) {
  std::string said("\"");
  said.append(name).append("\" ").append(what);
  return said;
}

std::string text(const platform::SecretString& value) {
  return {value.data(), value.size()};
}

// The document's entry `name`: absent when missing or null; an error when it is no text.
std::variant<std::optional<std::string>, Error> entry(const platform::SecretJson& document,
                                                      std::string_view name) {
  const auto found = document.find(name);
  if (found == document.end() || found->is_null()) {
    return std::optional<std::string>();
  }
  if (!found->is_string()) {
    return discoveryError("The authorization server's metadata is malformed.", about(name, "is not a text"));
  }
  return std::optional(text(found->get_ref<const platform::SecretString&>()));
}

// An endpoint URL the client will send credentials to: absolute, and never plain http when the
// issuer itself is https (a document must not downgrade the client).
std::optional<Error> checkEndpoint(std::string_view name, const std::string& url, std::string_view issuer) {
  const auto parsed = platform::parseEndpointUrl(url);
  const bool web = startsWith(url, "https://") || startsWith(url, "http://");
  if (!parsed || !web) {
    return discoveryError("The authorization server's metadata is malformed.",
                          about(name, "is not an http(s) URL"));
  }
  if (startsWith(issuer, "https://") && !startsWith(url, "https://")) {
    return discoveryError("The authorization server's metadata names a plain http endpoint.",
                          about(name, "is not https"));
  }
  return std::nullopt;
}

OAuthDiscovery::Result readDocument(const platform::SecretJson& document, std::string_view issuer) {
  AuthorizationServerMetadata metadata;
  auto named = entry(document, "issuer");
  if (auto* error = std::get_if<Error>(&named)) {
    return *error;
  }
  // The issuer check stops a server that serves someone else's document (RFC 8414 section 3.3).
  auto& documentIssuer = std::get<std::optional<std::string>>(named);
  if (!documentIssuer || *documentIssuer != issuer) {
    return discoveryError("The authorization server's metadata is for another issuer.",
                          documentIssuer ? "issuer \"" + *documentIssuer + "\"" : std::string("no issuer"));
  }
  metadata.issuer = std::move(*documentIssuer);
  const auto types = document.find("response_types_supported");
  if (types == document.end() || !types->is_array()) {
    return discoveryError("The authorization server's metadata is malformed.",
                          std::string_view("\"response_types_supported\" is missing"));
  }
  const std::pair<std::string_view, std::optional<std::string>*> endpoints[] = {
      {"token_endpoint", &metadata.tokenEndpoint},
      {"authorization_endpoint", &metadata.authorizationEndpoint},
      {"device_authorization_endpoint", &metadata.deviceAuthorizationEndpoint},
      {"revocation_endpoint", &metadata.revocationEndpoint},
      {"introspection_endpoint", &metadata.introspectionEndpoint},
      {"jwks_uri", &metadata.jwksUri},
      {"userinfo_endpoint", &metadata.userinfoEndpoint},
      {"pushed_authorization_request_endpoint", &metadata.pushedAuthorizationRequestEndpoint},
  };
  for (const auto& [name, field] : endpoints) {
    auto value = entry(document, name);
    if (auto* error = std::get_if<Error>(&value)) {
      return *error;
    }
    *field = std::move(std::get<std::optional<std::string>>(value));
    if (*field) {
      if (auto error = checkEndpoint(name, **field, issuer)) {
        return *error;
      }
    }
  }
  const auto required = document.find("require_pushed_authorization_requests");
  metadata.requirePushedAuthorizationRequests =
      required != document.end() && required->is_boolean() && required->get<bool>();
  if (!metadata.tokenEndpoint) {
    return discoveryError("The authorization server's metadata is malformed.",
                          std::string_view("\"token_endpoint\" is missing"));
  }
  return metadata;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> OAuthDiscovery::documentUrls(std::string_view issuer) {
  const bool web = startsWith(issuer, "https://") || startsWith(issuer, "http://");
  if (!web || !platform::parseEndpointUrl(issuer) || issuer.find_first_of("?#") != std::string_view::npos) {
    return std::nullopt;
  }
  // A terminating "/" goes before the well-known path is inserted or appended.
  std::string_view base = issuer;
  if (base.back() == '/') {
    base.remove_suffix(1);
  }
  const std::size_t pathStart = base.find('/', base.find("://") + 3);
  const std::string_view origin = base.substr(0, pathStart);
  if (origin.find('@') != std::string_view::npos) {
    return std::nullopt;  // credentials in an issuer would end up in every debug line and log
  }
  const std::string_view path =
      pathStart == std::string_view::npos ? std::string_view() : base.substr(pathStart);
  return std::pair(std::string(origin).append(rfc8414Path).append(path),
                   std::string(base).append(openIdPath));
}

OAuthDiscovery::Result OAuthDiscovery::discover(std::string_view issuer) {
  platform::debugLine("Tervala.OAuthDiscovery", "discover(_:)");
  try {
    const auto urls = documentUrls(issuer);
    if (!urls) {
      return discoveryError("Invalid issuer", std::string_view("Invalid issuer"));
    }
    const auto settings = EndpointSettings::of(OAuthContext::sharedInstance());
    std::optional<Error> firstProblem;
    for (const std::string* url : {&urls->first, &urls->second}) {
      const auto reply = EndpointCall::get(*url, settings);
      if (reply.transportError) {
        return *reply.transportError;  // the other document is on the same server
      }
      auto document = EndpointCall::jsonObject(reply);
      if (auto* const object = std::get_if<platform::SecretJson>(&document);
          object != nullptr && reply.statusCode == 200) {
        return readDocument(*object, issuer);
      }
      if (!firstProblem) {
        firstProblem =
            discoveryError("The authorization server publishes no metadata.",
                           "HTTP status " + std::to_string(reply.statusCode.value_or(0)) + " at " + *url);
      }
    }
    return *firstProblem;
  } catch (const std::exception& error) {
    return discoveryError("The discovery failed", std::string_view(error.what()));
  }
}

}  // namespace tervala
