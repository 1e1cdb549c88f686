#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "TokenEndpoint.hpp"

namespace tervala::test {

/// An authorization server on 127.0.0.1 with an ephemeral port, over plain HTTP. GET /authorize
/// approves (or, when told, denies) at once and redirects to the request's loopback
/// redirect_uri with a one-time code and the state. POST /token serves the code grant, which
/// must present the verifier of the code's S256 challenge and the same redirect_uri, and the
/// client-credentials grant; other grants and paths go to the fallback. A set client secret must
/// come either in the form or as HTTP Basic. Stops in its destructor.
class AuthorizationServer {
 public:
  using Fallback = std::function<Reply(const RecordedRequest&)>;

  AuthorizationServer();

  [[nodiscard]] int port() const noexcept { return endpoint_.port(); }
  /// "http://127.0.0.1:PORT" followed by `path`.
  [[nodiscard]] std::string url(std::string_view path) const { return endpoint_.url(path); }

  /// Makes `clientId` a confidential client that must present `secret`; every other client is
  /// a public one, which must present none.
  void setClientSecret(const std::string& clientId, std::string secret);
  /// Whether /authorize refuses (error=access_denied) instead of approving.
  void setDenying(bool denying);
  /// Answers what is served nowhere else.
  void setFallback(Fallback fallback);

 private:
  struct Grant {
    std::string clientId;
    std::string redirectUri;
    std::string challenge;
  };
  Reply answer(const RecordedRequest& request);
  Reply authorize(const RecordedRequest& request);
  Reply token(const RecordedRequest& request);
  Reply issue(bool withRefreshToken);

  std::mutex mutex_;
  std::map<std::string, std::string> clientSecrets_;
  bool denying_ = false;
  Fallback fallback_;
  std::map<std::string, Grant> codes_;
  int serial_ = 0;
  TokenEndpoint endpoint_;  // last: it stops, and no request runs, before the rest goes
};

}  // namespace tervala::test
