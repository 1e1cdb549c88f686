#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/Error.hpp>
#include <tervala/ServerTrustDelegate.hpp>

#include "platform/SecureMemory.hpp"
#include "platform/TransferGate.hpp"

namespace tervala::platform {

/// The certificate and key a request presents to a server that asks for a client certificate:
/// PEM texts handed to libcurl in memory, the key in wiped memory.
struct TlsClientIdentity {
  std::string certificatePem;
  SecretText keyPem;
};

/// One form POST to an endpoint of the authorization server, or a GET of its metadata.
struct HttpRequest {
  std::string url;
  std::string host;  ///< the URL's host, for the trust check
  SecretText body;   ///< the form, which holds the grant's secrets
  double timeoutSeconds = 30.0;
  std::shared_ptr<ServerTrustDelegate> trustDelegate;
  /// Header lines ("Name: value") sent after the fixed ones; they may hold credentials.
  std::vector<SecretText> extraHeaders;
  /// A GET without a body (a metadata document) instead of the form POST.
  bool get = false;
  /// A descriptor that becomes readable when the caller gives up on the request; -1 for none.
  int cancelSignal = -1;
  /// Presented when the server asks for a client certificate; none when null.
  std::shared_ptr<const TlsClientIdentity> clientIdentity = nullptr;
  /// Names of reply headers to keep (compared without regard to case), such as a server's nonce.
  std::vector<std::string> keptHeaders{};
};

/// What came back: a transport error, or a status (absent when the reply was not HTTP) and the
/// body, cut after `bodyLimit` + 1 bytes. The body holds the tokens, so it lives in wiped memory.
struct HttpReply {
  std::optional<Error> transportError;
  std::optional<long> statusCode;
  SecretBytes body;
  /// The final reply's headers named in the request's `keptHeaders`: name as asked, value trimmed.
  std::vector<std::pair<std::string, std::string>> headers;

  /// The value of the first kept header called `name` (any case), if the reply had one.
  [[nodiscard]] std::optional<std::string_view> header(std::string_view name) const noexcept;
};

/// Performs requests with libcurl: a fresh easy handle for each, nothing shared or reused, no
/// cookies, no redirects followed, TLS 1.2 at least, peer and host verification on (unless a
/// trust delegate decides).
class HttpTransfer {
 public:
  /// Sends `request` and waits for the reply, on the calling thread. Reading stops once the body
  /// exceeds `bodyLimit`. The caller is `inside` the gate; the transfer leaves it while it waits
  /// for its sockets. When the process begins to exit, the transfer ends at once as cancelled
  /// and returns outside the gate, without touching libcurl again. `caFile` replaces libcurl's
  /// built-in CA bundle (for tests).
  static HttpReply perform(const HttpRequest& request, std::size_t bodyLimit, TransferGate::Inside& inside,
                           const std::optional<std::string>& caFile = std::nullopt);
};

}  // namespace tervala::platform
