#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestCertificate.hpp"

namespace httplib {
class Server;
}

namespace tervala::test {

/// One request as the endpoint received it.
struct RecordedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;  ///< names in lower case
  std::string body;
  std::multimap<std::string, std::string> query;  ///< a GET's query, decoded

  /// The first value of header `name` (any case), or absent.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
  /// The body's form fields, decoded, in order.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> form() const;
  /// The first value of form field `name`, or absent.
  [[nodiscard]] std::optional<std::string> field(std::string_view name) const;
};

/// How the endpoint answers a request.
struct Reply {
  enum class Behaviour {
    answer,       ///< status, content type and body after `delay`
    neverAnswer,  ///< keep the connection open without a word until the endpoint stops
  };
  int status = 200;
  std::string body =
      R"({"access_token":"test-access","token_type":"bearer","expires_in":3600,"refresh_token":"test-refresh",)"
      R"("scope":"read"})";
  std::string contentType = "application/json";
  std::chrono::milliseconds delay{0};
  std::vector<std::pair<std::string, std::string>> headers;  ///< extra header lines
  Behaviour behaviour = Behaviour::answer;

  /// Answers `status` with `body`.
  static Reply answer(int status, std::string body, std::string contentType = "application/json") {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.contentType = std::move(contentType);
    return reply;
  }
  /// Never answers.
  static Reply silent() {
    Reply reply;
    reply.behaviour = Behaviour::neverAnswer;
    return reply;
  }
  /// The same reply after `wait`.
  Reply after(std::chrono::milliseconds wait) && {
    delay = wait;
    return std::move(*this);
  }
  /// The same reply with one more header line.
  Reply withHeader(std::string name, std::string value) && {
    headers.emplace_back(std::move(name), std::move(value));
    return std::move(*this);
  }
};

/// Decodes an application/x-www-form-urlencoded body ("+" is a blank, "%XX" a byte).
std::vector<std::pair<std::string, std::string>> decodeForm(std::string_view body);

/// The client id and secret of a request's "Authorization: Basic" header, read as an
/// authorization server does: Base64-decoded, split at the one ":", each part form-decoded.
/// Absent without such a header, or when it is malformed.
std::optional<std::pair<std::string, std::string>> basicCredentials(const RecordedRequest& request);

/// A token endpoint on 127.0.0.1 with an ephemeral port, over HTTP or HTTPS (with a certificate
/// made at run time), that records every request and answers as it is told. Stops in its
/// destructor.
class TokenEndpoint {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  /// A plain HTTP endpoint.
  TokenEndpoint();
  /// An HTTPS endpoint presenting a certificate of `kind`.
  explicit TokenEndpoint(TestCertificate::Kind kind);
  ~TokenEndpoint();
  TokenEndpoint(const TokenEndpoint&) = delete;
  TokenEndpoint& operator=(const TokenEndpoint&) = delete;
  TokenEndpoint(TokenEndpoint&&) = delete;
  TokenEndpoint& operator=(TokenEndpoint&&) = delete;

  [[nodiscard]] int port() const noexcept { return port_; }
  /// "http(s)://127.0.0.1:PORT" followed by `path`.
  [[nodiscard]] std::string url(std::string_view path = "/token") const;
  /// The certificate of an HTTPS endpoint.
  [[nodiscard]] const TestCertificate& certificate() const { return *certificate_; }

  /// Every later request gets `reply`.
  void setReply(Reply reply);
  /// Every later request gets what `handler` decides (called on a server thread).
  void setHandler(Handler handler);
  /// The requests received so far, in order of arrival.
  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  /// Caps the TLS versions an HTTPS endpoint offers (an OpenSSL version constant).
  void setMaxTlsVersion(int version);
  /// Stops serving; also releases requests held by `neverAnswer`. Called by the destructor.
  void stop();

 private:
  void start();

  std::optional<TestCertificate> certificate_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool stopping_ = false;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace tervala::test
