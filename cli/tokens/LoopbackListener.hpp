#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/SecureMemory.hpp"
#include "tokens/FileDescriptor.hpp"

namespace tervala::cli {

/// One browser request that reached the listener: its method and target (which may carry an
/// authorization code, so it lives in wiped memory), and the connection to answer on.
class LoopbackRequest {
 public:
  LoopbackRequest(FileDescriptor connection, std::string method, platform::SecretText target)
      : connection_(std::move(connection)), method_(std::move(method)), target_(std::move(target)) {}

  [[nodiscard]] std::string_view method() const noexcept { return method_; }
  /// The request target: the path and the query.
  [[nodiscard]] std::string_view target() const noexcept { return platform::view(target_); }
  /// The path alone.
  [[nodiscard]] std::string_view path() const noexcept { return target().substr(0, target().find('?')); }
  /// Answers with `status` and a short HTML page titled `title`, and closes the connection.
  void answer(int status, std::string_view title, std::string_view message);
  /// Answers 302 to `location` (not cached), and closes the connection.
  void redirect(std::string_view location);

 private:
  void send(std::string_view reply);

  FileDescriptor connection_;
  std::string method_;
  platform::SecretText target_;
};

/// The redirect listener of a native app (RFC 8252 section 7.3): a TCP socket on a loopback
/// address with a port the system picks, serving plain HTTP/1.x requests. Connections are read
/// side by side, so idle ones cannot keep a browser's request out; connections from processes
/// of another user are closed unread.
class LoopbackListener {
 public:
  /// Listens on 127.0.0.1, or [::1] with `ipv6`; the reason when it cannot.
  static std::variant<LoopbackListener, std::string> open(bool ipv6);

  /// "http://127.0.0.1:PORT" (or "http://[::1]:PORT").
  [[nodiscard]] std::string origin() const;
  /// The next request whose head arrived whole before `deadline`; connections that send no
  /// readable request head within a few seconds are dropped. Absent once the deadline has passed.
  std::optional<LoopbackRequest> next(std::chrono::steady_clock::time_point deadline);
  /// How many connections were closed unread because another user's process made them.
  [[nodiscard]] std::size_t strangersRefused() const noexcept { return strangersRefused_; }

 private:
  // A connection whose request head is still arriving.
  struct Pending {
    FileDescriptor connection;
    platform::SecretText head;
    std::chrono::steady_clock::time_point deadline;
  };

  LoopbackListener(FileDescriptor socket, bool ipv6, int port) noexcept
      : socket_(std::move(socket)), ipv6_(ipv6), port_(port) {}
  void acceptWaiting();
  // Reads what `pending` has sent; true when it is done with (a whole head, or dropped).
  bool readSome(Pending& pending);

  FileDescriptor socket_;
  bool ipv6_ = false;
  int port_ = 0;
  std::vector<Pending> pending_;
  std::vector<LoopbackRequest> ready_;
  std::size_t strangersRefused_ = 0;
};

}  // namespace tervala::cli
