#include "tokens/LoopbackListener.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

#include "tokens/ConnectionOwner.hpp"

namespace tervala::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A browser's request head is a few hundred bytes; anything longer is no callback of ours.
constexpr std::size_t maxHeadBytes = std::size_t{16} * 1024;
// How long a connection may take to send its request head; a browser sends it at once.
constexpr std::chrono::seconds connectionPatience{5};
// Connections read side by side; past this many the oldest goes, so the descriptors last.
constexpr std::size_t maxPending = 256;

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 60'000));
}

// The request line's method and target of a whole head; absent when it is no HTTP/1.x request.
std::optional<std::pair<std::string, platform::SecretText>> requestLine(std::string_view head) {
  const std::string_view line = head.substr(0, head.find("\r\n"));
  const std::size_t firstBlank = line.find(' ');
  const std::size_t secondBlank = line.find(' ', firstBlank + 1);
  if (firstBlank == std::string_view::npos || secondBlank == std::string_view::npos ||
      !line.substr(secondBlank + 1).starts_with("HTTP/1.")) {
    return std::nullopt;
  }
  const std::string_view target = line.substr(firstBlank + 1, secondBlank - firstBlank - 1);
  return std::pair(std::string(line.substr(0, firstBlank)), platform::secretText(target));
}

}  // namespace

void LoopbackRequest::redirect(std::string_view location) {
  std::string reply = "HTTP/1.1 302 Found\r\nLocation: ";
  reply.append(location).append(
      "\r\nCache-Control: no-store\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  send(reply);
  platform::cleanse(reply);
}

void LoopbackRequest::answer(int status, std::string_view title, std::string_view message) {
  // Fixed texts only: nothing of the request is echoed into the page.
  std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>";
  page.append(title).append("</title></head><body><h1>").append(title).append("</h1><p>");
  page.append(message).append("</p></body></html>\n");
  std::string reply = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Refused") +
                      "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                      "Connection: close\r\nContent-Length: " +
                      std::to_string(page.size()) + "\r\n\r\n" + page;
  send(reply);
}

void LoopbackRequest::send(std::string_view reply) {
  // The connection was read without blocking; the reply is small, so wait for the socket as
  // a blocking one would.
  const int flags = ::fcntl(connection_.get(), F_GETFL);
  ::fcntl(connection_.get(), F_SETFL, flags & ~O_NONBLOCK);
  std::string_view left = reply;
  while (!left.empty()) {
    const ssize_t sent = ::send(connection_.get(), left.data(), left.size(), MSG_NOSIGNAL);
    if (sent <= 0) {
      break;  // the browser went away; nothing else depends on the page
    }
    left.remove_prefix(static_cast<std::size_t>(sent));
  }
  connection_.reset();
}

std::variant<LoopbackListener, std::string> LoopbackListener::open(bool ipv6) {
  FileDescriptor socket(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.valid()) {
    return "no socket: " + std::system_category().message(errno);
  }
  sockaddr_storage address{};
  socklen_t length = 0;
  if (ipv6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    length = sizeof in6;
  } else {
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof in4;
  }
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(socket.get(), SOMAXCONN) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return std::string("cannot listen on ") + (ipv6 ? "[::1]" : "127.0.0.1") + ": " +
           std::system_category().message(errno);
  }
  const int port = ntohs(ipv6 ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                              : reinterpret_cast<const sockaddr_in&>(address).sin_port);
  return LoopbackListener(std::move(socket), ipv6, port);
}

std::string LoopbackListener::origin() const {
  return std::string("http://") + (ipv6_ ? "[::1]" : "127.0.0.1") + ":" + std::to_string(port_);
}

std::optional<LoopbackRequest> LoopbackListener::next(Clock::time_point deadline) {
  std::vector<pollfd> entries;
  while (ready_.empty()) {
    const auto now = Clock::now();
    if (now >= deadline) {
      return std::nullopt;
    }
    std::erase_if(pending_, [&](const Pending& pending) { return pending.deadline <= now; });
    auto wake = deadline;
    entries.assign(1, pollfd{socket_.get(), POLLIN, 0});
    for (const auto& pending : pending_) {
      entries.push_back(pollfd{pending.connection.get(), POLLIN, 0});
      wake = std::min(wake, pending.deadline);
    }
    const int events = ::poll(entries.data(), entries.size(), millisecondsUntil(wake));
    if (events < 0 && errno != EINTR) {
      return std::nullopt;
    }
    if (events <= 0) {
      continue;
    }
    // Backwards, so that erasing keeps the indices of those still to read.
    for (std::size_t at = pending_.size(); at-- > 0;) {
      if (entries[at + 1].revents != 0 && readSome(pending_[at])) {
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(at));
      }
    }
    if (entries[0].revents != 0) {
      acceptWaiting();
    }
  }
  auto request = std::move(ready_.front());
  ready_.erase(ready_.begin());
  return request;
}

void LoopbackListener::acceptWaiting() {
  for (;;) {
    FileDescriptor connection(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!connection.valid()) {
      return;  // none left waiting (or the system is out of descriptors until some close)
    }
    // Another user on this host must not read the redirect's path nor answer in the browser's
    // place; an owner not listed is a connection already gone.
    const auto owner = loopbackPeerOwner(connection.get());
    if (!owner || *owner != ::geteuid()) {
      strangersRefused_ += owner ? 1 : 0;
      continue;
    }
    if (pending_.size() >= maxPending) {
      pending_.erase(pending_.begin());
    }
    pending_.push_back(Pending{std::move(connection), {}, Clock::now() + connectionPatience});
  }
}

bool LoopbackListener::readSome(Pending& pending) {
  std::array<char, 2048> chunk{};
  const ssize_t got = ::recv(pending.connection.get(), chunk.data(),
                             std::min(chunk.size(), maxHeadBytes - pending.head.size()), 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return false;
  }
  if (got <= 0) {
    return true;  // closed, or broken
  }
  pending.head.insert(pending.head.end(), chunk.data(), chunk.data() + got);
  platform::cleanse(chunk.data(), chunk.size());
  const std::string_view head(pending.head.data(), pending.head.size());
  if (head.find("\r\n\r\n") == std::string_view::npos) {
    return head.size() >= maxHeadBytes;
  }
  if (auto line = requestLine(head)) {
    ready_.emplace_back(std::move(pending.connection), std::move(line->first), std::move(line->second));
  }
  return true;
}

}  // namespace tervala::cli
