#pragma once

#include <curl/curl.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>

#include <tervala/ServerTrustDelegate.hpp>

namespace tervala::platform {

/// Lets a host's `ServerTrustDelegate` decide about the server's chain of one request: installed
/// into the request's TLS context, it computes the default verdict (the CA store and the host
/// name), asks the delegate and applies its answer. Lives as long as the request's easy handle.
class ServerTrustCheck {
 public:
  ServerTrustCheck(std::shared_ptr<ServerTrustDelegate> delegate, std::string host);

  /// Sets the easy handle's TLS options so that this check decides; false when libcurl refused.
  /// `caFile` is the CA file the transfer was told to load instead of libcurl's built-in bundle.
  /// Without a readable CA file the delegate still decides, with a default verdict of untrusted.
  bool install(CURL* handle, const std::optional<std::string>& caFile);

  /// True when the delegate refused the chain during the transfer.
  [[nodiscard]] bool delegateRejected() const noexcept { return delegateRejected_; }

 private:
  static CURLcode onSslContext(CURL* handle, void* sslContext, void* self);
  static int verify(X509_STORE_CTX* store, void* self);

  std::shared_ptr<ServerTrustDelegate> delegate_;
  std::string host_;
  bool delegateRejected_ = false;
};

}  // namespace tervala::platform
