#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tervala/AuthorizationRequest.hpp>
#include <tervala/Error.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// The OpenID provider's endpoints beside the grants: UserInfo (OpenID Connect Core section 5.3)
/// and pushed authorization requests (RFC 9126). Each request goes through the shared
/// `OAuthContext`'s transport, timeout and trust delegate, blocking on the calling thread.
class TERVALA_EXPORT OpenIdRequests {
 public:
  /// The header lines that authorize a resource request with `accessToken`:
  /// "Authorization: Bearer <token>". A host that binds its tokens sends its own lines instead.
  static std::vector<std::string> bearerHeaders(std::string_view accessToken);

  /// The UserInfo reply's JSON object as text, sent with `headers` (`bearerHeaders` of the access
  /// token). When `subject` is given the reply's "sub" must equal it (the ID token's), or the
  /// reply is refused: another user's claims must not pass as this one's. Errors: transport,
  /// a status other than 200 (the endpoint's error when it gives one), a reply that is no JSON
  /// object or has no "sub".
  static std::variant<std::string, Error> userInfo(std::string_view url,
                                                   const std::vector<std::string>& headers,
                                                   const std::optional<std::string>& subject = std::nullopt);

  /// The same, sent with `token` as its type asks: a bearer token's `Authorization` header, or a
  /// DPoP-bound token's header pair with a fresh proof for this GET, and the pair again, once,
  /// when the endpoint answers with a DPoP nonce challenge. Refused before anything is sent when
  /// the token gives no header.
  static std::variant<std::string, Error> userInfo(std::string_view url, const OAuthToken& token,
                                                   const std::optional<std::string>& subject = std::nullopt);

  /// Pushes `request`'s parameters to `parEndpoint` with the context's client authentication and
  /// gives the URL the browser opens instead: `authorizationUrl` with only "client_id" and the
  /// "request_uri" the server returned. The server's refusal is an error with its "error" and
  /// "error_description".
  static std::variant<std::string, Error> pushAuthorization(std::string_view parEndpoint,
                                                            std::string_view authorizationUrl,
                                                            std::string_view clientId,
                                                            const AuthorizationRequest& request);
};

}  // namespace tervala
