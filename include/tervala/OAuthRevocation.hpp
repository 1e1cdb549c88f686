#pragma once

#include <optional>
#include <string_view>

#include <tervala/Error.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Token revocation (RFC 7009): tells the authorization server that a token is no longer wanted.
/// Runs on the calling thread through the shared `OAuthContext`'s transport and reads its
/// timeout, trust delegate and client secret when it begins; the token never reaches debug output.
class TERVALA_EXPORT OAuthRevocation {
 public:
  /// Revokes `token` at `url`; `tokenTypeHint` ("access_token", "refresh_token"), when not empty,
  /// goes as "token_type_hint". Absent on success (HTTP 200, whatever the body says, as the server
  /// answers so for a token it does not know too); otherwise the error: the transport's, or the
  /// server's "error" and "error_description", or the status.
  static std::optional<Error> revoke(std::string_view url, std::string_view clientId, std::string_view token,
                                     std::string_view tokenTypeHint = {});
};

}  // namespace tervala
