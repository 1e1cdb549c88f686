#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// What the authorization server says of a token (RFC 7662 section 2.2): whether it is active and,
/// when the server tells, its standard members.
struct TERVALA_EXPORT TokenStatus {
  bool active = false;
  std::optional<std::string> scope;
  std::optional<std::string> clientId;  ///< "client_id"
  std::optional<std::string> username;
  std::optional<std::string> tokenType;  ///< "token_type"
  std::optional<std::string> subject;    ///< "sub"
  std::optional<std::string> issuer;     ///< "iss"
  std::optional<std::string> tokenId;    ///< "jti"
  std::vector<std::string> audience;     ///< "aud", a text or a list of texts
  std::optional<Date> expiresAt;         ///< "exp"
  std::optional<Date> issuedAt;          ///< "iat"
  std::optional<Date> notBefore;         ///< "nbf"
  /// Every other non-null member: texts as they are, other values as compact JSON.
  std::map<std::string, std::string> additionalData;
};

}  // namespace tervala
