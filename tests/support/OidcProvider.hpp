#pragma once

#include <sys/types.h>

#include <string>

#include "platform/FileDescriptor.hpp"

namespace tervala::test {

/// oidc-provider (the npm package, installed by `scripts/setup.sh test`) run by node as a child
/// process on 127.0.0.1, configured by the test; it ends when this goes, and on its own when the
/// test process dies (its standard input ends).
class OidcProvider {
 public:
  /// Starts it with `configuration`, oidc-provider's options (clients, features, ttl) as one JSON
  /// object. Throws std::runtime_error saying what is missing, or that it did not come up.
  explicit OidcProvider(const std::string& configuration);
  OidcProvider(const OidcProvider&) = delete;
  OidcProvider& operator=(const OidcProvider&) = delete;
  ~OidcProvider();  ///< closes its standard input and waits; killed after 5 s

  /// http://127.0.0.1:PORT, where its discovery document is.
  [[nodiscard]] const std::string& issuer() const noexcept { return issuer_; }

  /// Writes `folder`/xdg-open: a "browser" (tests/provider/browser.mjs on node) that signs in at
  /// the provider's pages as `user`, consents, and follows the redirect to the tool's listener.
  /// The tool starts it when that folder leads PATH.
  static void installBrowser(const std::string& folder, const std::string& user);

 private:
  void stop() noexcept;

  pid_t pid_ = -1;
  platform::FileDescriptor input_;  ///< its standard input: the configuration, then the end
  std::string issuer_;
};

}  // namespace tervala::test
