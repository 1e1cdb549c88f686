#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tervala::test {

/// A loopback TCP server for replies no well-behaved HTTP server sends: it reads one request per
/// connection (head and Content-Length body) and then runs the test's script on the connection,
/// which writes raw bytes, pauses, and closes early as it likes.
class ScriptedServer {
 public:
  /// One accepted connection, as the script sees it.
  class Connection {
   public:
    Connection(int fd, ScriptedServer& server) : fd_(fd), server_(server) {}
    /// The request as received (head and body).
    [[nodiscard]] const std::string& request() const { return request_; }
    /// Writes all of `bytes`; false once the client has gone or the server is stopping.
    bool send(std::string_view bytes);
    /// Waits `pause`; false when the client closed the connection or the server is stopping.
    bool pauseFor(std::chrono::milliseconds pause);
    /// The server that accepted the connection.
    [[nodiscard]] ScriptedServer& server() const { return server_; }

   private:
    friend class ScriptedServer;
    int fd_;
    ScriptedServer& server_;
    std::string request_;
  };

  using Script = std::function<void(Connection&)>;

  /// Listens on 127.0.0.1 at a free port and runs `script` for each connection.
  explicit ScriptedServer(Script script);
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  /// Stops accepting, wakes every paused script, and joins all threads.
  ~ScriptedServer();

  /// "http://127.0.0.1:PORT/token".
  [[nodiscard]] std::string url() const;
  /// Connections accepted so far.
  [[nodiscard]] std::size_t connections() const { return connections_.load(); }

  /// A complete HTTP/1.1 reply with a JSON body and "Connection: close".
  static std::string jsonReply(int status, std::string_view body);

 private:
  void acceptLoop();
  void serve(int fd);
  [[nodiscard]] bool stopping() const { return stopping_.load(); }

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> connections_{0};
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace tervala::test
