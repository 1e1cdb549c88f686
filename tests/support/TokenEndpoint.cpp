#include "TokenEndpoint.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>

#include "otp/UriText.hpp"
#include "platform/Base64.hpp"

namespace tervala::test {
namespace {

// The request line and header lines, without the blank line that ends them.
RecordedRequest parseHead(std::string_view head) {
  RecordedRequest request;
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view line = head.substr(0, lineEnd);
  const std::size_t space = line.find(' ');
  request.method = line.substr(0, space);
  const std::string_view target = line.substr(space + 1, line.rfind(' ') - space - 1);
  const std::size_t mark = target.find('?');
  request.path = target.substr(0, mark);
  request.query = decodeForm(mark == std::string_view::npos ? "" : target.substr(mark + 1));
  while (lineEnd != std::string_view::npos) {
    head.remove_prefix(lineEnd + 2);
    lineEnd = head.find("\r\n");
    const std::string_view field = head.substr(0, lineEnd);
    const std::size_t colon = field.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view value = field.substr(colon + 1);
      request.headers.emplace_back(field.substr(0, colon),
                                   value.substr(std::min(value.find_first_not_of(' '), value.size())));
    }
  }
  return request;
}

std::optional<std::string> firstValue(const Fields& fields, std::string_view name, bool anyCase = false) {
  const auto found = std::ranges::find_if(fields, [&](const auto& field) {
    return anyCase ? equalsIgnoringCase(field.first, name) : field.first == name;
  });
  return found == fields.end() ? std::nullopt : std::optional(found->second);
}

std::string httpReply(const Reply& reply) {
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " \r\nConnection: close\r\n";
  if (!reply.contentType.empty()) {
    out += "Content-Type: " + reply.contentType + "\r\n";
  }
  for (const auto& [name, value] : reply.headers) {
    out.append(name).append(": ").append(value).append("\r\n");
  }
  return out + "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body;
}

/// One accepted connection, plain or TLS.
class Link {
 public:
  Link(int socket, SSL_CTX* tls) : socket_(socket), tls_(tls ? SSL_new(tls) : nullptr, SSL_free) {
    healthy_ = !tls_ || (SSL_set_fd(tls_.get(), socket_) == 1 && SSL_accept(tls_.get()) == 1);
  }
  ~Link() {
    if (tls_ && healthy_) {
      SSL_shutdown(tls_.get());  // close_notify, as after any finished reply
    }
  }

  bool send(std::string_view bytes) {
    while (healthy_ && !bytes.empty()) {
      const long sent = tls_ ? SSL_write(tls_.get(), bytes.data(), static_cast<int>(bytes.size()))
                             : ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      healthy_ = sent > 0;
      bytes.remove_prefix(healthy_ ? static_cast<std::size_t>(sent) : bytes.size());
    }
    return healthy_;
  }
  /// The request's head and its Content-Length body; absent when the handshake failed or the
  /// client hangs up first.
  /// The thumbprint of the client's certificate, when it presented one.
  [[nodiscard]] std::optional<std::string> peerThumbprint() const {
    const std::unique_ptr<X509, decltype(&X509_free)> peer(
        tls_ ? SSL_get1_peer_certificate(tls_.get()) : nullptr, X509_free);
    if (!peer) {
      return std::nullopt;
    }
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    X509_digest(peer.get(), EVP_sha256(), digest.data(), &length);
    const auto encoded = platform::encodeBase64Url(digest);
    return std::string(encoded.begin(), encoded.end());
  }
  std::optional<RecordedRequest> receive() {
    std::string data;
    std::optional<RecordedRequest> request;
    std::size_t bodyStart = 0;
    std::size_t wanted = std::string::npos;
    char buffer[16384];
    while (healthy_ && data.size() < wanted && data.size() < (std::size_t{8} << 20U)) {
      const long got =
          tls_ ? SSL_read(tls_.get(), buffer, sizeof buffer) : ::recv(socket_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        healthy_ = false;
        return std::nullopt;
      }
      data.append(buffer, static_cast<std::size_t>(got));
      if (const auto headEnd = data.find("\r\n\r\n"); !request && headEnd != std::string::npos) {
        request = parseHead(std::string_view(data).substr(0, headEnd));
        const auto length = request->header("Content-Length");
        bodyStart = headEnd + 4;
        wanted = bodyStart + (length ? std::strtoul(length->c_str(), nullptr, 10) : 0);
      }
    }
    if (request) {
      request->body = data.substr(bodyStart, wanted - bodyStart);
      request->form = decodeForm(request->body);
    }
    return request;
  }

 private:
  int socket_;
  std::unique_ptr<SSL, decltype(&SSL_free)> tls_;
  bool healthy_ = false;  // no TLS or socket failure so far
};

void joinAll(std::vector<std::thread>& threads) {
  for (auto& thread : threads) {
    thread.join();
  }
}

}  // namespace

Fields decodeForm(std::string_view body) {
  Fields fields;
  for (const auto& [name, value] : splitQuery(body)) {
    fields.emplace_back(percentDecode(name, true).value_or(std::string(name)),
                        percentDecode(value, true).value_or(std::string(value)));
  }
  return fields;
}

std::optional<std::pair<std::string, std::string>> basicCredentials(const RecordedRequest& request) {
  const auto header = request.header("Authorization");
  const auto decoded = header && header->starts_with("Basic ")
                           ? platform::decodeBase64(std::string_view(*header).substr(6))
                           : std::nullopt;
  const std::string pair = decoded ? std::string(decoded->begin(), decoded->end()) : std::string();
  const std::size_t colon = pair.find(':');
  if (colon == std::string::npos || pair.find(':', colon + 1) != std::string::npos) {
    return std::nullopt;  // no header, or an unencoded ":" in either part
  }
  auto id = percentDecode(std::string_view(pair).substr(0, colon), true);
  auto secret = percentDecode(std::string_view(pair).substr(colon + 1), true);
  return id && secret ? std::optional(std::pair(std::move(*id), std::move(*secret))) : std::nullopt;
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  return firstValue(headers, name, true);
}

std::optional<std::string> RecordedRequest::field(std::string_view name) const {
  return firstValue(form, name);
}

std::optional<std::string> RecordedRequest::queryField(std::string_view name) const {
  return firstValue(query, name);
}

TokenEndpoint::TokenEndpoint() : TokenEndpoint(std::nullopt) {}

TokenEndpoint::TokenEndpoint(TestCertificate::Kind kind) : TokenEndpoint(TestCertificate::make(kind)) {}

TokenEndpoint::TokenEndpoint(std::optional<TestCertificate> certificate)
    : certificate_(std::move(certificate)),
      tls_(certificate_ ? SSL_CTX_new(TLS_server_method()) : nullptr, SSL_CTX_free) {
  requireOrAbort(
      !certificate_ || (tls_ && SSL_CTX_use_certificate(tls_.get(), certificate_->certificate()) == 1 &&
                        SSL_CTX_use_PrivateKey(tls_.get(), certificate_->key()) == 1),
      "setting up TLS");
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  // A wide backlog: hundreds of clients connecting at once must not see their handshakes dropped.
  requireOrAbort(listener_ >= 0 &&
                     ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::listen(listener_, SOMAXCONN) == 0 &&
                     ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0,
                 "listening on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

TokenEndpoint::~TokenEndpoint() {
  stop();
}

void TokenEndpoint::acceptLoop() {
  // A client that hangs up mid-reply must not end the test run; the workers inherit the mask.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (bool stopping = false; !stopping;) {
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::vector<std::thread> ended;
    {
      const std::lock_guard lock(mutex_);
      ended.swap(ended_);
      stopping = stopping_;
      if (stopping && socket >= 0) {
        ::close(socket);
      } else if (socket >= 0) {
        open_.insert(socket);
        const std::uint64_t number = connections_++;
        serving_.emplace(number, std::thread([this, socket, number] {
                           serve(socket);
                           const std::lock_guard lock(mutex_);
                           open_.erase(socket);
                           ::close(socket);
                           ended_.push_back(std::move(serving_.extract(number).mapped()));
                           changed_.notify_all();
                         }));
      }
    }
    joinAll(ended);
  }
}

bool TokenEndpoint::holdUntil(std::chrono::steady_clock::time_point until) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_until(lock, until, [this] { return stopping_; });
}

void TokenEndpoint::serve(int socket) {
  Link link(socket, tls_.get());
  auto request = link.receive();
  if (!request) {
    return;
  }
  request->clientCertificate = link.peerThumbprint();
  Handler handler;
  {
    const std::lock_guard lock(mutex_);
    requests_.push_back(*request);
    handler = handler_;
  }
  const Reply reply = handler(*request);
  if (!holdUntil(std::chrono::steady_clock::now() + reply.delay) ||
      !link.send(reply.verbatim ? reply.body : httpReply(reply)) || !reply.endlessTail) {
    return;
  }
  const std::string blanks(std::size_t{64} << 10U, ' ');
  for (int sent = 0; sent < 1024 && link.send(blanks); ++sent) {  // 64 MiB at most
  }
  holdUntil(std::chrono::steady_clock::time_point::max());
}

void TokenEndpoint::stop() {
  std::unique_lock lock(mutex_);
  if (stopping_) {
    return;
  }
  stopping_ = true;
  for (const int socket : open_) {
    ::shutdown(socket, SHUT_RDWR);
  }
  changed_.notify_all();
  ::shutdown(listener_, SHUT_RDWR);
  lock.unlock();
  acceptor_.join();
  lock.lock();
  changed_.wait(lock, [this] { return open_.empty(); });
  std::vector<std::thread> ended;
  ended.swap(ended_);
  lock.unlock();
  joinAll(ended);
  ::close(listener_);
}

void TokenEndpoint::requestClientCertificate() {
  requireOrAbort(tls_ != nullptr, "asking for client certificates over plain HTTP");
  SSL_CTX_set_verify(tls_.get(), SSL_VERIFY_PEER, [](int /*ok*/, X509_STORE_CTX* /*chain*/) { return 1; });
}

void TokenEndpoint::setMaxTlsVersion(int version) {
  requireOrAbort(tls_ && SSL_CTX_set_max_proto_version(tls_.get(), version) == 1, "capping the TLS version");
}

std::string TokenEndpoint::url(std::string_view path) const {
  return std::string(certificate_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         std::string(path);
}

void TokenEndpoint::setHandler(Handler handler) {
  const std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> TokenEndpoint::requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace tervala::test
