#pragma once

#include <optional>
#include <string>

#include <tervala/AuthorizationServerMetadata.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// All that discovery reads of a server: the endpoints of `AuthorizationServerMetadata`, and
/// those OpenID Connect and pushed authorization requests (RFC 9126) add. A type of its own, so
/// that `AuthorizationServerMetadata` keeps the layout programs were built against.
struct TERVALA_EXPORT ProviderMetadata : AuthorizationServerMetadata {
  /// OpenID Connect: the provider's JWK set and UserInfo endpoint.
  std::optional<std::string> jwksUri;
  std::optional<std::string> userinfoEndpoint;
  /// RFC 9126: where authorization requests are pushed, and whether the server takes no others.
  std::optional<std::string> pushedAuthorizationRequestEndpoint;
  bool requirePushedAuthorizationRequests = false;
};

}  // namespace tervala
