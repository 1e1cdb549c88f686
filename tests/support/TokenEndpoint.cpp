#include "TokenEndpoint.hpp"

#include <httplib.h>

#include <sys/socket.h>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>

#include "platform/Base64.hpp"

namespace tervala::test {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decodeComponent(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '+') {
      out.push_back(' ');
    } else if (text[at] == '%' && at + 2 < text.size() && hexValue(text[at + 1]) >= 0 &&
               hexValue(text[at + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[at + 1]) * 16 + hexValue(text[at + 2])));
      at += 2;
    } else {
      out.push_back(text[at]);
    }
  }
  return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> decodeForm(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> fields;
  while (!body.empty()) {
    const std::size_t amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    const std::size_t eq = pair.find('=');
    fields.emplace_back(decodeComponent(pair.substr(0, eq)),
                        eq == std::string_view::npos ? std::string() : decodeComponent(pair.substr(eq + 1)));
    if (amp == std::string_view::npos) {
      break;
    }
    body.remove_prefix(amp + 1);
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
  // decodeForm reads a lone "part" as a field name without a value.
  const auto decodePart = [](std::string_view part) {
    return part.empty() ? std::string() : decodeForm(part).front().first;
  };
  return std::pair(decodePart(std::string_view(pair).substr(0, colon)),
                   decodePart(std::string_view(pair).substr(colon + 1)));
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  const auto found = headers.find(lower(name));
  if (found == headers.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::vector<std::pair<std::string, std::string>> RecordedRequest::form() const {
  return decodeForm(body);
}

std::optional<std::string> RecordedRequest::field(std::string_view name) const {
  for (auto& [key, value] : form()) {
    if (key == name) {
      return value;
    }
  }
  return std::nullopt;
}

TokenEndpoint::TokenEndpoint() : server_(std::make_unique<httplib::Server>()) {
  start();
}

TokenEndpoint::TokenEndpoint(TestCertificate::Kind kind) : certificate_(TestCertificate::make(kind)) {
  server_ = std::make_unique<httplib::SSLServer>(certificate_->certificate(), certificate_->key());
  start();
}

TokenEndpoint::~TokenEndpoint() {
  stop();
}

void TokenEndpoint::start() {
  handler_ = [](const RecordedRequest&) { return Reply{}; };
  // Enough workers that a few requests held open never starve the others.
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): the server takes the pool over.
  server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
  server_->set_keep_alive_max_count(1);
  // GET too: the metadata documents and the authorization endpoint are served the same way.
  const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded{request.method, request.path, {}, request.body, {}};
    for (const auto& [name, value] : request.headers) {
      recorded.headers.emplace(lower(name), value);
    }
    if (request.method == "GET") {
      recorded.query.insert(request.params.begin(), request.params.end());
    }
    Handler handler;
    {
      const std::lock_guard lock(mutex_);
      requests_.push_back(recorded);
      handler = handler_;
    }
    const Reply reply = handler(recorded);
    if (reply.behaviour == Reply::Behaviour::neverAnswer || reply.delay.count() > 0) {
      std::unique_lock lock(mutex_);
      if (reply.behaviour == Reply::Behaviour::neverAnswer) {
        released_.wait(lock, [this] { return stopping_; });
        response.status = 503;
        return;
      }
      released_.wait_for(lock, reply.delay, [this] { return stopping_; });
    }
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) {
      response.set_header(name, value);
    }
    response.set_content(reply.body, reply.contentType);
  };
  server_->Post(".*", serve);
  server_->Get(".*", serve);
  int listening = -1;
  server_->set_socket_options([&listening](socket_t sock) {
    listening = sock;
    httplib::default_socket_options(sock);
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  // The library listens with a backlog of 5; hundreds of clients connecting at once would see
  // their handshakes dropped and retried for many seconds, so widen it.
  if (port_ <= 0 || listening < 0 || ::listen(listening, 1024) != 0) {
    std::cerr << "TokenEndpoint: cannot listen on 127.0.0.1\n";
    std::abort();
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TokenEndpoint::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  released_.notify_all();
  if (server_) {
    server_->stop();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TokenEndpoint::setMaxTlsVersion(int version) {
  auto* const tls = dynamic_cast<httplib::SSLServer*>(server_.get());
  if (tls == nullptr || SSL_CTX_set_max_proto_version(tls->ssl_context(), version) != 1) {
    std::cerr << "TokenEndpoint: cannot cap the TLS version\n";
    std::abort();
  }
}

std::string TokenEndpoint::url(std::string_view path) const {
  return std::string(certificate_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         std::string(path);
}

void TokenEndpoint::setReply(Reply reply) {
  setHandler([reply = std::move(reply)](const RecordedRequest&) { return reply; });
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
