#pragma once

#include <memory>
#include <optional>
#include <string>

#include <tervala/Data.hpp>
#include <tervala/Error.hpp>
#include <tervala/ServerTrustDelegate.hpp>

namespace tervala::platform {

/// One form POST to a token endpoint.
struct HttpRequest {
  std::string url;
  std::string host;  ///< the URL's host, for the trust check
  std::string body;
  double timeoutSeconds = 30.0;
  std::shared_ptr<ServerTrustDelegate> trustDelegate;
};

/// What came back: a transport error, or a status (absent when the reply was not HTTP) and the
/// body, cut after `bodyLimit` + 1 bytes.
struct HttpReply {
  std::optional<Error> transportError;
  std::optional<long> statusCode;
  Data body;
};

/// Performs requests with libcurl: a fresh easy handle for each, nothing shared or reused, no
/// cookies, no redirects followed, TLS 1.2 at least, peer and host verification on (unless a
/// trust delegate decides).
class HttpTransfer {
 public:
  /// Sends `request` and waits for the reply, on the calling thread. Reading stops once the body
  /// exceeds `bodyLimit`. `caFile` replaces libcurl's built-in CA bundle (for tests).
  static HttpReply perform(const HttpRequest& request, std::size_t bodyLimit,
                           const std::optional<std::string>& caFile = std::nullopt);
};

}  // namespace tervala::platform
