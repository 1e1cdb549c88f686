#pragma once

#include <optional>
#include <string>

#include <tervala/export.hpp>

namespace tervala {

/// What an authorization server says of itself (RFC 8414, or OpenID Connect Discovery): its
/// issuer and the URLs of its endpoints, each absent when the document does not name it. Discovery
/// made while the context holds a client certificate gives the server's "mtls_endpoint_aliases"
/// (RFC 8705 section 5) in place of the endpoints they name.
struct TERVALA_EXPORT AuthorizationServerMetadata {
  std::string issuer;
  std::optional<std::string> tokenEndpoint;
  std::optional<std::string> authorizationEndpoint;
  std::optional<std::string> deviceAuthorizationEndpoint;
  std::optional<std::string> revocationEndpoint;
  std::optional<std::string> introspectionEndpoint;
};

}  // namespace tervala
