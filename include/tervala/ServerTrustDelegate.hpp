#pragma once

#include <string_view>
#include <vector>

#include <tervala/Data.hpp>
#include <tervala/export.hpp>

namespace tervala {

/// What a `ServerTrustDelegate` answers about a server's certificate chain.
enum class ServerTrustDecision {
  performDefaultHandling,  ///< keep the default verdict (system CAs and host name check)
  accept,                  ///< trust the chain even when the default would refuse it
  reject,                  ///< refuse the chain even when the default would accept it
};

/// Implemented by the host to take part in the server-trust decision of every token request
/// (set it as `OAuthContext::sharedInstance().serverTrustDelegate`).
///
/// It is asked on the request's own thread, possibly on several threads at once, so an
/// implementation must be safe to call concurrently.
class TERVALA_EXPORT ServerTrustDelegate {
 public:
  ServerTrustDelegate() = default;
  ServerTrustDelegate(const ServerTrustDelegate&) = default;
  ServerTrustDelegate& operator=(const ServerTrustDelegate&) = default;
  ServerTrustDelegate(ServerTrustDelegate&&) = default;
  ServerTrustDelegate& operator=(ServerTrustDelegate&&) = default;
  virtual ~ServerTrustDelegate();

  /// Decides about the chain the server presented: `chain` holds its certificates in DER, leaf
  /// first; `host` is the host name of the request URL; `defaultVerdict` tells whether the
  /// default verification (system CAs, host name) accepts the chain.
  virtual ServerTrustDecision evaluateServerTrust(const std::vector<Data>& chain, std::string_view host,
                                                  bool defaultVerdict) = 0;
};

}  // namespace tervala
