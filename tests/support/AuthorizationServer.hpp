#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "TokenEndpoint.hpp"
#include "jose/Jwk.hpp"

namespace tervala::test {

/// An authorization server on 127.0.0.1 with an ephemeral port, over plain HTTP. GET /authorize
/// approves (or, when told, denies) at once and redirects to the request's loopback redirect_uri
/// with a one-time code and the state. /token serves the code grant, which must present the
/// verifier of the code's S256 challenge and the same redirect_uri, client credentials, the
/// password grant, refresh tokens good once each, and device codes approved at their second poll.
/// A token request with a DPoP proof gets a DPoP token. It serves its metadata, /device, /revoke
/// and /introspect too. A set client secret must come
/// either in the form or as HTTP Basic. Stops in its destructor.
class AuthorizationServer {
 public:
  AuthorizationServer();

  [[nodiscard]] int port() const noexcept { return endpoint_.port(); }
  /// "http://127.0.0.1:PORT" followed by `path`.
  [[nodiscard]] std::string url(std::string_view path) const { return endpoint_.url(path); }

  /// Makes `clientId` a confidential client that must present `secret`; every other client is
  /// a public one, which must present none.
  void setClientSecret(const std::string& clientId, std::string secret);
  /// Whether /authorize refuses (error=access_denied) instead of approving.
  void setDenying(bool denying);

 private:
  struct Grant {
    std::string clientId;
    std::string redirectUri;
    std::string challenge;
    std::string nonce;  // an OpenID login's: its token reply carries an ID token
  };
  Reply answer(const RecordedRequest& request);
  Reply authorize(const RecordedRequest& request);
  Reply token(const RecordedRequest& request);
  Reply issue(bool withRefreshToken, const Grant* openId = nullptr);
  // The ID token of an OpenID login, signed with the key /jwks publishes (made when first needed).
  std::string idToken(const Grant& grant, const std::string& accessToken);

  std::mutex mutex_;
  std::map<std::string, std::string> clientSecrets_;
  bool denying_ = false;
  std::map<std::string, Grant> codes_;
  std::map<std::string, int> devicePolls_;  // by device code
  std::set<std::string> refreshTokens_;     // issued and not yet spent
  std::set<std::string> revoked_;
  int serial_ = 0;
  int devices_ = 0;
  std::optional<jose::Jwk> signingKey_;
  TokenEndpoint endpoint_;  // last: it stops, and no request runs, before the rest goes
};

}  // namespace tervala::test
