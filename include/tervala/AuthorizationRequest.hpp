#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// One authorization request of the code grant (RFC 6749 section 4.1) with PKCE (RFC 7636): the
/// URL the user's browser opens, and the reading of the redirect that comes back. Each request
/// has its own `state` and code verifier (256 random bits each, from OpenSSL's CSPRNG); the
/// verifier never appears in the URL, only its S256 challenge does. Never changes after it is
/// made; safe to share between threads.
class TERVALA_EXPORT AuthorizationRequest {
 public:
  /// What the redirect brought: the code, or an error result (never both).
  struct Redirect {
    std::optional<std::string> code;
    std::shared_ptr<const OAuthResult> error;
    /// The redirect carried this request's state: it is this request's reply, code or error.
    bool stateMatched = false;
  };

  /// A new request to the authorization endpoint `authorizationUrl` (its own query is kept) for
  /// `clientId`, which the server sends back to `redirectUri`; `scope` is sent joined by blanks
  /// when not empty. Null when `authorizationUrl` is not an absolute URL, holds a fragment, or
  /// the random generator fails.
  static std::shared_ptr<const AuthorizationRequest> make(std::string_view authorizationUrl,
                                                          std::string_view clientId,
                                                          std::string_view redirectUri,
                                                          const std::vector<std::string>& scope = {});

  AuthorizationRequest(const AuthorizationRequest&) = delete;
  AuthorizationRequest& operator=(const AuthorizationRequest&) = delete;
  AuthorizationRequest(AuthorizationRequest&&) = delete;
  AuthorizationRequest& operator=(AuthorizationRequest&&) = delete;
  ~AuthorizationRequest();

  /// The URL to open: the endpoint, then response_type=code, client_id, redirect_uri, scope,
  /// state, code_challenge and code_challenge_method=S256, form-encoded.
  [[nodiscard]] const std::string& url() const noexcept { return url_; }
  [[nodiscard]] const std::string& state() const noexcept { return state_; }
  [[nodiscard]] const std::string& redirectUri() const noexcept { return redirectUri_; }
  /// The OpenID Connect "nonce" sent when the scope holds "openid" (256 random bits), which the
  /// ID token must carry back; empty otherwise.
  [[nodiscard]] const std::string& nonce() const noexcept;
  /// The request's parameters as a form body (the URL's own, without the endpoint's query), for
  /// a pushed authorization request (RFC 9126).
  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& parameters() const noexcept;

  /// The extra form fields of this request's code exchange: "code_verifier" and "redirect_uri".
  /// Pass them to the authorization-code grant with `params`; the verifier is masked in its
  /// debug line.
  [[nodiscard]] OAuthContext::Params exchangeParams() const;

  /// Reads the redirect: a URL or request target whose query holds the reply. Its `state` must
  /// equal this request's (compared in constant time) before anything else is believed; then
  /// "error" (with "error_description") gives an error result, and otherwise a non-empty "code"
  /// is the result. A field given twice, or no query, is an error result too.
  [[nodiscard]] Redirect parseRedirect(std::string_view redirect) const;

  /// The S256 challenge of `verifier`: unpadded Base64url of its SHA-256 (RFC 7636 section 4.2).
  static std::string challengeOf(std::string_view verifier);

 private:
  struct Verifier;
  struct Key {
    explicit Key() = default;
  };

 public:
  /// Made by `make` only.
  AuthorizationRequest(Key key, std::string url, std::string state, std::string redirectUri,
                       std::unique_ptr<Verifier> verifier);

 private:
  std::string url_;
  std::string state_;
  std::string redirectUri_;
  std::unique_ptr<Verifier> verifier_;  // in wiped memory; also holds the nonce and the parameters
};

}  // namespace tervala
