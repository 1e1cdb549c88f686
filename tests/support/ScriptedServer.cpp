#include "ScriptedServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace tervala::test {
namespace {

constexpr std::size_t maxRequestBytes = 1 << 20;
constexpr int pollMilliseconds = 20;

// The request's head and, when it announces one, its Content-Length body; stops at the limit.
std::string readRequest(int fd, const std::atomic<bool>& stopping) {
  std::string request;
  std::size_t wanted = std::string::npos;
  char buffer[4096];
  while (!stopping.load() && request.size() < maxRequestBytes) {
    if (wanted == std::string::npos) {
      if (const auto headEnd = request.find("\r\n\r\n"); headEnd != std::string::npos) {
        std::size_t length = 0;
        const auto field = request.find("Content-Length:");
        if (field != std::string::npos && field < headEnd) {
          length = std::strtoul(request.c_str() + field + 15, nullptr, 10);
        }
        wanted = headEnd + 4 + length;
      }
    }
    if (wanted != std::string::npos && request.size() >= wanted) {
      break;
    }
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, pollMilliseconds);
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (ready <= 0) {
      continue;
    }
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      break;
    }
    request.append(buffer, static_cast<std::size_t>(got));
  }
  return request;
}

}  // namespace

bool ScriptedServer::Connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (server_.stopping()) {
      return false;
    }
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool ScriptedServer::Connection::pauseFor(std::chrono::milliseconds pause) {
  const auto until = std::chrono::steady_clock::now() + pause;
  while (!server_.stopping()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return true;
    }
    // A readable socket with nothing to read means the client closed its end.
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long>(left.count(), pollMilliseconds)));
    if (ready > 0) {
      char probe = 0;
      if (::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) {
        return false;
      }
    }
  }
  return false;
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) {
    throw std::runtime_error("ScriptedServer: no socket");
  }
  const int on = 1;
  (void)::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, SOMAXCONN) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(listener_);
    throw std::runtime_error("ScriptedServer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_.store(true);
  acceptor_.join();
  std::vector<std::thread> workers;
  {
    const std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) {
    worker.join();
  }
  ::close(listener_);
}

std::string ScriptedServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/token";
}

std::string ScriptedServer::jsonReply(int status, std::string_view body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " Status\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

void ScriptedServer::acceptLoop() {
  while (!stopping()) {
    pollfd entry{listener_, POLLIN, 0};
    if (::poll(&entry, 1, pollMilliseconds) <= 0) {
      continue;
    }
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    connections_.fetch_add(1);
    const std::lock_guard lock(mutex_);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void ScriptedServer::serve(int fd) {
  Connection connection(fd, *this);
  connection.request_ = readRequest(fd, stopping_);
  if (!stopping()) {
    script_(connection);
  }
  ::close(fd);
}

}  // namespace tervala::test
