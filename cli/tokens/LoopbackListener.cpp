#include "tokens/LoopbackListener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

namespace tervala::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A browser's request head is a few hundred bytes; anything longer is no callback of ours.
constexpr std::size_t maxHeadBytes = std::size_t{16} * 1024;
// One connection may not hold the listener longer than this, so a silent one cannot block
// the real callback.
constexpr std::chrono::seconds connectionPatience{5};

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60'000));
}

bool waitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, millisecondsUntil(deadline));
    if (ready > 0) {
      return true;
    }
    if (ready == 0 ? Clock::now() >= deadline : errno != EINTR) {
      return false;
    }
  }
}

// The request line's method and target, once the head has arrived whole; absent otherwise.
std::optional<std::pair<std::string, platform::SecretText>> readRequestLine(int fd,
                                                                            Clock::time_point deadline) {
  platform::SecretText head;
  head.reserve(maxHeadBytes);
  std::array<char, 2048> chunk{};
  while (std::string_view(head.data(), head.size()).find("\r\n\r\n") == std::string_view::npos) {
    if (head.size() >= maxHeadBytes || !waitReadable(fd, deadline)) {
      platform::cleanse(chunk.data(), chunk.size());
      return std::nullopt;
    }
    const ssize_t got = ::recv(fd, chunk.data(), std::min(chunk.size(), maxHeadBytes - head.size()), 0);
    if (got <= 0) {
      platform::cleanse(chunk.data(), chunk.size());
      return std::nullopt;
    }
    head.insert(head.end(), chunk.data(), chunk.data() + got);
  }
  platform::cleanse(chunk.data(), chunk.size());
  const std::string_view text(head.data(), head.size());
  const std::string_view line = text.substr(0, text.find("\r\n"));
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

void LoopbackRequest::answer(int status, std::string_view title, std::string_view message) {
  // Fixed texts only: nothing of the request is echoed into the page.
  std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>";
  page.append(title).append("</title></head><body><h1>").append(title).append("</h1><p>");
  page.append(message).append("</p></body></html>\n");
  std::string reply = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Refused") +
                      "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                      "Connection: close\r\nContent-Length: " +
                      std::to_string(page.size()) + "\r\n\r\n" + page;
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
  FileDescriptor socket(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
      ::listen(socket.get(), 8) != 0 ||
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
  while (waitReadable(socket_.get(), deadline)) {
    FileDescriptor connection(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) {
      continue;
    }
    auto line = readRequestLine(connection.get(), std::min(deadline, Clock::now() + connectionPatience));
    if (line) {
      return LoopbackRequest(std::move(connection), std::move(line->first), std::move(line->second));
    }
  }
  return std::nullopt;
}

}  // namespace tervala::cli
