#pragma once

#include <string_view>
#include <variant>

#include <tervala/Error.hpp>
#include <tervala/TokenStatus.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// Token introspection (RFC 7662): asks the authorization server whether a token is active. Runs
/// on the calling thread through the shared `OAuthContext`'s transport and reads its timeout,
/// trust delegate and client secret when it begins; the token never reaches debug output.
class TERVALA_EXPORT OAuthTokenStatus {
 public:
  using Result = std::variant<TokenStatus, Error>;

  /// Asks `url` about `token`; `tokenTypeHint`, when not empty, goes as "token_type_hint". An
  /// error reply, a status other than 200, or a reply whose "active" is missing or not a boolean,
  /// or whose standard member is of the wrong kind, is an error.
  static Result query(std::string_view url, std::string_view clientId, std::string_view token,
                      std::string_view tokenTypeHint = {});
};

}  // namespace tervala
