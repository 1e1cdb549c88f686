#pragma once

namespace tervala {

/// How a token endpoint's success reply is read (`OAuthContext::replyProfile`).
enum class ReplyProfile {
  /// Every token field present and of its kind: "access_token", "token_type", "refresh_token"
  /// and "scope" texts, "expires_in" a number. Anything else is "Invalid or missing OAuth token
  /// data received." The default.
  strict,
  /// What real servers send, each assumption written as a debug line of its own:
  /// - a refresh reply without "refresh_token" keeps the refresh token that was sent; a login's
  ///   (code, password, device code) gives a token whose refresh token is empty, which needs a new
  ///   login once it expires;
  /// - a reply without "scope" is granted the requested scope (the `scope` setting joined with
  ///   ","); when none was requested the scope is not known: `serializeToJson` writes nil and the
  ///   token has no scope items (a host refreshing a token puts back the scope it holds);
  /// - "expires_in" may be a text of decimal digits only (no sign, blank or fraction) whose number
  ///   fits in 64 bits;
  /// - a reply without "expires_in" has no known expiry: `serializeToJson` writes nil and the token
  ///   expires on `OAuthToken::unknownExpiry`, so it counts as valid until the server refuses it.
  /// A reply holding "error" is an error result as under `strict`; everything else `strict`
  /// refuses stays refused.
  lenient,
};

}  // namespace tervala
