#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <tervala/AuthorizationServerMetadata.hpp>
#include <tervala/Error.hpp>
#include <tervala/ProviderMetadata.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Finds an authorization server's endpoints from its issuer URL.
///
/// Asks first for the RFC 8414 document (the well-known path inserted between the host and the
/// issuer's path), then, when that answers with anything but a JSON object, for the OpenID
/// Connect document (the well-known path appended to the issuer). Each request goes through the
/// shared `OAuthContext`'s transport and reads its timeout and trust delegate.
class TERVALA_EXPORT OAuthDiscovery {
 public:
  using Result = std::variant<AuthorizationServerMetadata, Error>;

  /// The issuer's metadata, or an error: an issuer that is not an http(s) URL without user info,
  /// query and fragment; a transport failure; no document at either place; a document whose "issuer" is
  /// not exactly `issuer`, which lacks "token_endpoint" or "response_types_supported", whose
  /// endpoint is not a text or not an absolute URL, or that sends the client from an https
  /// issuer to a plain http endpoint. Blocking, on the calling thread.
  static Result discover(std::string_view issuer);

  using ProviderResult = std::variant<ProviderMetadata, Error>;
  /// As `discover`, with the OpenID Connect and pushed-authorization entries of the document too
  /// (each checked as the endpoints are).
  static ProviderResult discoverProvider(std::string_view issuer);

  /// The two document URLs asked, in order; absent when `issuer` is refused.
  static std::optional<std::pair<std::string, std::string>> documentUrls(std::string_view issuer);
};

}  // namespace tervala
