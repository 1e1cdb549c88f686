// tervala-test-endpoint: a token endpoint on 127.0.0.1 for the demo. It grants the password and
// refresh-token grants, prints its port on one line, and exits on standard input's end or SIGTERM.
// It is an authorization server too: GET /authorize approves at once and redirects to the
// loopback redirect_uri, POST /token redeems the code with its PKCE verifier, and the client
// "demo-service" with secret "demo-secret" gets client-credentials tokens.
#include <pthread.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "support/AuthorizationServer.hpp"
#include "support/TokenEndpoint.hpp"

namespace {

using tervala::test::RecordedRequest;
using tervala::test::Reply;

// Issues tokens and remembers the refresh tokens it gave out, so a refresh must present one.
class Grants {
 public:
  Reply answer(const RecordedRequest& request) {
    const auto grantType = request.field("grant_type").value_or("");
    const std::lock_guard lock(mutex_);
    if (grantType == "password") {
      if (request.field("username").value_or("").empty() || request.field("password").value_or("").empty()) {
        return refusal("invalid_request", "username and password are required");
      }
      return issue();
    }
    if (grantType == "refresh_token") {
      const auto presented = request.field("refresh_token").value_or("");
      if (issued_.erase(presented) == 0) {
        return refusal("invalid_grant", "unknown refresh token");
      }
      return issue();
    }
    return refusal("unsupported_grant_type", "only password and refresh_token are served");
  }

 private:
  Reply issue() {
    ++serial_;
    const std::string refresh = "demo-refresh-" + std::to_string(serial_);
    issued_.insert(refresh);
    return Reply::answer(200, R"({"access_token":"demo-access-)" + std::to_string(serial_) +
                                  R"(","token_type":"bearer","expires_in":3600,"refresh_token":")" + refresh +
                                  R"(","scope":"demo"})");
  }
  static Reply refusal(const std::string& error, const std::string& description) {
    return Reply::answer(400, R"({"error":")" + error + R"(","error_description":")" + description + R"("})");
  }

  std::mutex mutex_;
  int serial_ = 0;
  std::set<std::string> issued_;
};

}  // namespace

int main() {
  // Only the waiting main thread takes the stop signals; every other thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::cerr << "tervala-test-endpoint: cannot block signals\n";
    return 1;
  }

  Grants grants;
  tervala::test::AuthorizationServer endpoint;
  endpoint.setClientSecret("demo-service", "demo-secret");
  endpoint.setFallback([&grants](const RecordedRequest& request) { return grants.answer(request); });
  std::cout << endpoint.port() << std::endl;

  std::thread([] {
    char buffer[256];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    ::kill(::getpid(), SIGTERM);  // end of standard input: stop like on SIGTERM
  }).detach();

  int received = 0;
  sigwait(&stopSignals, &received);
  return 0;
}
