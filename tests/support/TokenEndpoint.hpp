#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestCertificate.hpp"

namespace tervala::test {

using Fields = std::vector<std::pair<std::string, std::string>>;  ///< in order, names as sent

/// One request as the endpoint received it.
struct RecordedRequest {
  std::string method;
  std::string path;
  Fields headers;
  std::string body;
  Fields query;  ///< the target's, decoded
  Fields form;   ///< the body's, decoded
  /// The SHA-256 thumbprint (Base64url) of the certificate the client presented, if any.
  std::optional<std::string> clientCertificate;

  /// The first value of header `name` (any case), form field or query field `name`, or absent.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
  [[nodiscard]] std::optional<std::string> field(std::string_view name) const;
  [[nodiscard]] std::optional<std::string> queryField(std::string_view name) const;
};

/// How the endpoint answers a request, after `delay`: an HTTP reply, or bytes no HTTP server sends.
struct Reply {
  int status = 200;
  std::string body =
      R"({"access_token":"test-access","token_type":"bearer","expires_in":3600,"refresh_token":"test-refresh",)"
      R"("scope":"read"})";
  std::string contentType = "application/json";
  std::chrono::milliseconds delay{0};
  Fields headers{};          ///< extra header lines
  bool verbatim = false;     ///< `body` is sent without HTTP around it
  bool endlessTail = false;  ///< blanks follow while the client reads, and the connection stays open

  static Reply answer(int status, std::string body, std::string contentType = "application/json") {
    return {.status = status, .body = std::move(body), .contentType = std::move(contentType)};
  }
  /// Keeps the connection open without a word until the endpoint stops.
  static Reply silent() { return Reply{}.after(std::chrono::hours(24)); }
  /// Sends `bytes` in place of a reply and hangs up.
  static Reply raw(std::string bytes) { return {.body = std::move(bytes), .verbatim = true}; }
  /// A 200 head without a length, then a body that never ends.
  static Reply endless() {
    return {.body = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"access_token\":\"",
            .verbatim = true,
            .endlessTail = true};
  }
  Reply after(std::chrono::milliseconds wait) && {
    delay = wait;
    return std::move(*this);
  }
  Reply withHeader(std::string name, std::string value) && {
    headers.emplace_back(std::move(name), std::move(value));
    return std::move(*this);
  }
};

/// Decodes an application/x-www-form-urlencoded body ("+" is a blank, "%XX" a byte).
Fields decodeForm(std::string_view body);

/// The client id and secret of a request's "Authorization: Basic" header, read as an
/// authorization server does: Base64-decoded, split at the one ":", each part form-decoded.
/// Absent without such a header, or when it is malformed.
std::optional<std::pair<std::string, std::string>> basicCredentials(const RecordedRequest& request);

/// The tests' loopback server: a token endpoint on 127.0.0.1 with an ephemeral port, over HTTP or
/// HTTPS (a certificate made at run time), one thread and one request per connection. It records
/// every request and answers as it is told, well-formed or not. Stops in its destructor.
class TokenEndpoint {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  TokenEndpoint();                                     ///< over plain HTTP
  explicit TokenEndpoint(TestCertificate::Kind kind);  ///< over HTTPS, with a certificate of `kind`
  ~TokenEndpoint();
  TokenEndpoint(const TokenEndpoint&) = delete;
  TokenEndpoint& operator=(const TokenEndpoint&) = delete;

  [[nodiscard]] int port() const noexcept { return port_; }
  /// "http(s)://127.0.0.1:PORT" followed by `path`.
  [[nodiscard]] std::string url(std::string_view path = "/token") const;
  /// The certificate of an HTTPS endpoint.
  [[nodiscard]] const TestCertificate& certificate() const { return *certificate_; }

  /// Every later request gets `reply`.
  void setReply(const Reply& reply) {
    setHandler([reply](const RecordedRequest&) { return reply; });
  }
  /// Every later request gets what `handler` decides (called on the connection's thread).
  void setHandler(Handler handler);
  /// The requests received so far, in order of arrival.
  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  /// Caps the TLS versions an HTTPS endpoint offers (an OpenSSL version constant).
  void setMaxTlsVersion(int version);
  /// Makes an HTTPS endpoint ask every client for a certificate, taking any it presents (as a
  /// server that checks the binding, not the issuer, does) and going on without one.
  void requestClientCertificate();
  /// Stops serving and hangs up on every open connection. Called by the destructor.
  void stop();

 private:
  explicit TokenEndpoint(std::optional<TestCertificate> certificate);
  void acceptLoop();
  void serve(int socket);  // one connection, closed by the caller
  // Waits until `until` or the stop; false once stopping.
  bool holdUntil(std::chrono::steady_clock::time_point until);

  std::optional<TestCertificate> certificate_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls_;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // stopping, or a connection ended
  bool stopping_ = false;
  Handler handler_ = [](const RecordedRequest&) { return Reply{}; };
  std::vector<RecordedRequest> requests_;
  // Connections still served, each by a thread of its own. A served thread puts itself among the
  // ended, to be joined: a thread still ending when the process exits would free OpenSSL's
  // thread state while its exit handlers free the same.
  std::set<int> open_;
  std::map<std::uint64_t, std::thread> serving_;
  std::vector<std::thread> ended_;
  std::uint64_t connections_ = 0;
};

}  // namespace tervala::test
