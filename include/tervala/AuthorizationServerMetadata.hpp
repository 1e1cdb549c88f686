#pragma once

#include <optional>
#include <string>

#include <tervala/export.hpp>

namespace tervala {

/// What an authorization server says of itself (RFC 8414, or OpenID Connect Discovery): its
/// issuer and the URLs of its endpoints, each absent when the document does not name it.
struct TERVALA_EXPORT AuthorizationServerMetadata {
  std::string issuer;
  std::optional<std::string> tokenEndpoint;
  std::optional<std::string> authorizationEndpoint;
  std::optional<std::string> deviceAuthorizationEndpoint;
  std::optional<std::string> revocationEndpoint;
  std::optional<std::string> introspectionEndpoint;
  /// OpenID Connect: the provider's JWK set and UserInfo endpoint.
  std::optional<std::string> jwksUri;
  std::optional<std::string> userinfoEndpoint;
  /// RFC 9126: where authorization requests are pushed, and whether the server takes no others.
  std::optional<std::string> pushedAuthorizationRequestEndpoint;
  bool requirePushedAuthorizationRequests = false;
};

}  // namespace tervala
