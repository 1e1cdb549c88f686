// tervala-test-endpoint: a token endpoint on 127.0.0.1 for the demo. It grants the password and
// refresh-token grants, serves its metadata, the device flow, revocation and introspection, prints
// its port on one line, and exits on standard input's end or SIGTERM. It is an authorization server
// too: GET /authorize approves at once and redirects to the loopback redirect_uri, POST /token
// redeems the code with its PKCE verifier, and the client "demo-service" with secret "demo-secret"
// gets client-credentials tokens.
#include <pthread.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
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

// The authorization server's other endpoints for the demo: its metadata, the device flow (each
// device code is approved at its second poll), revocation and introspection of the tokens it
// issued. Answers only the requests it serves.
class EndpointRoutes {
 public:
  explicit EndpointRoutes(std::string base) : base_(std::move(base)) {}

  std::optional<Reply> answer(const RecordedRequest& request) {
    const std::lock_guard lock(mutex_);
    if (request.method == "GET" && request.path == "/.well-known/oauth-authorization-server") {
      return Reply::answer(200, R"({"issuer":")" + base_ + R"(","authorization_endpoint":")" + base_ +
                                    R"(/authorize","token_endpoint":")" + base_ +
                                    R"(/token","device_authorization_endpoint":")" + base_ +
                                    R"(/device","revocation_endpoint":")" + base_ +
                                    R"(/revoke","introspection_endpoint":")" + base_ +
                                    R"(/introspect","response_types_supported":["code"]})");
    }
    if (request.path == "/device") {
      const std::string serial = std::to_string(++serial_);
      polls_["demo-device-" + serial] = 0;
      return Reply::answer(
          200, R"({"device_code":"demo-device-)" + serial + R"(","user_code":"DEMO-)" + serial +
                   R"(","verification_uri":")" + base_ + R"(/activate","verification_uri_complete":")" +
                   base_ + "/activate?user_code=DEMO-" + serial + R"(","expires_in":300,"interval":1})");
    }
    if (request.field("grant_type") == "urn:ietf:params:oauth:grant-type:device_code") {
      const auto found = polls_.find(request.field("device_code").value_or(""));
      if (found == polls_.end()) {
        return Reply::answer(400, R"({"error":"expired_token"})");
      }
      if (found->second++ == 0) {
        return Reply::answer(400, R"({"error":"authorization_pending"})");
      }
      const std::string token = "demo-access-" + found->first;
      polls_.erase(found);
      return Reply::answer(200, R"({"access_token":")" + token +
                                    R"(","token_type":"bearer","expires_in":3600,)"
                                    R"("refresh_token":"none","scope":"demo"})");
    }
    if (request.path == "/revoke") {
      revoked_.insert(request.field("token").value_or(""));
      return Reply::answer(200, "");
    }
    if (request.path == "/introspect") {
      // Every token this program issues starts so, the grants' and the device flow's alike.
      const auto token = request.field("token").value_or("");
      const bool active = token.starts_with("demo-access-") && !revoked_.contains(token);
      return Reply::answer(
          200, active ? R"({"active":true,"scope":"demo","token_type":"Bearer"})" : R"({"active":false})");
    }
    return std::nullopt;
  }

 private:
  std::mutex mutex_;
  std::string base_;
  int serial_ = 0;
  std::map<std::string, int> polls_;
  std::set<std::string> revoked_;
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
  EndpointRoutes routes(endpoint.url(""));
  endpoint.setFallback([&grants, &routes](const RecordedRequest& request) {
    auto reply = routes.answer(request);
    return reply ? std::move(*reply) : grants.answer(request);
  });
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
