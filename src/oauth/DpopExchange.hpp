#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/OAuthResult.hpp>
#include <tervala/ProofKey.hpp>

#include "platform/ForkRenewedMutex.hpp"
#include "platform/HttpTransfer.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala {

/// The nonces servers asked DPoP proofs to carry, remembered per origin (scheme, host and port)
/// for the requests after, and replaced whenever a reply brings a new one.
class DpopNonces {
 public:
  static DpopNonces& shared();
  [[nodiscard]] std::optional<std::string> of(std::string_view url);
  /// Keeps the nonce of `reply` for its server; a nonce that may not be sent back is ignored.
  void noteReply(std::string_view url, const platform::HttpReply& reply);

 private:
  platform::ForkRenewedMutex mutex_;
  std::map<std::string, std::string, std::less<>> nonces_;
};

/// The scheme, host and port of an http(s) URL, in lower case; the URL itself when it has none.
std::string originOf(std::string_view url);

/// One token request sent with a DPoP proof: the proof header added before it goes, and one
/// retry when the server answers that it wants a nonce (RFC 9449 section 8), with the nonce and,
/// where the client authenticates by assertion, `retryBody`, a form with a fresh one.
class DpopExchange {
 public:
  DpopExchange(ProofKey key, std::optional<platform::SecretText> retryBody)
      : key_(std::move(key)), retryBody_(std::move(retryBody)) {}

  /// Sets the request's "DPoP" header with the nonce remembered for its server; the reason when
  /// no proof could be made.
  [[nodiscard]] std::optional<std::string> prepare(platform::HttpRequest& request) const;
  /// Whether `reply` asks for a proof with a nonce that can be given: then `request` is ready to
  /// go again. Remembers the reply's nonce either way.
  [[nodiscard]] bool retryFor(platform::HttpRequest& request, const platform::HttpReply& reply);

 private:
  ProofKey key_;
  std::optional<platform::SecretText> retryBody_;
};

/// While it lives, the grants this thread starts use `key` instead of the context's: the refresh
/// of a bound token proves possession of the token's own key, whatever the host set.
class ProofKeyForThread {
 public:
  explicit ProofKeyForThread(ProofKey key);
  ~ProofKeyForThread();
  ProofKeyForThread(const ProofKeyForThread&) = delete;
  ProofKeyForThread& operator=(const ProofKeyForThread&) = delete;
  /// The key of the innermost one alive on this thread, if any.
  [[nodiscard]] static const ProofKey* current() noexcept;

 private:
  ProofKey key_;
  const ProofKey* outer_;
};

/// Whether a reply says the proof lacked the nonce the server wants ("use_dpop_nonce").
bool asksForDpopNonce(const platform::HttpReply& reply);

/// The result of a grant, checked against the key it was asked with: a DPoP-bound token granted
/// to a request without a key could never be used, so it is an error; a bearer token granted to
/// one with a key is the server's word that it binds no tokens, and is kept as it is.
std::shared_ptr<const OAuthResult> checkedBinding(std::shared_ptr<const OAuthResult> result, bool keyed);

}  // namespace tervala
