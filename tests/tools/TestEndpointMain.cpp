// tervala-test-endpoint: a token endpoint on 127.0.0.1 for the demo. It grants the password and
// refresh-token grants, serves its metadata, the device flow, revocation and introspection, prints
// its port on one line, and exits on standard input's end or SIGTERM. It is an authorization server
// too: GET /authorize approves at once and redirects to the loopback redirect_uri, POST /token
// redeems the code with its PKCE verifier, and the client "demo-service" with secret "demo-secret"
// gets client-credentials tokens.
#include <unistd.h>

#include <array>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "support/AuthorizationServer.hpp"
#include "support/TokenEndpoint.hpp"

namespace {

using tervala::test::RecordedRequest;
using tervala::test::Reply;

// What the authorization server leaves to others. A refresh must present a refresh token given out
// here; each device code is approved at its second poll.
class DemoGrants {
 public:
  explicit DemoGrants(std::string base) : base_(std::move(base)) {}

  Reply answer(const RecordedRequest& request) {
    const std::lock_guard lock(mutex_);
    const auto field = [&](std::string_view name) { return request.field(name).value_or(""); };
    const auto grantType = field("grant_type");
    if (request.method == "GET" && request.path == "/.well-known/oauth-authorization-server") {
      return Reply::answer(200, R"({"issuer":")" + base_ + R"(","authorization_endpoint":")" + base_ +
                                    R"(/authorize","token_endpoint":")" + base_ +
                                    R"(/token","device_authorization_endpoint":")" + base_ +
                                    R"(/device","revocation_endpoint":")" + base_ +
                                    R"(/revoke","introspection_endpoint":")" + base_ +
                                    R"(/introspect","response_types_supported":["code"]})");
    }
    if (request.path == "/device") {
      const std::string serial = std::to_string(++devices_);
      polls_["demo-device-" + serial] = 0;
      return Reply::answer(
          200, R"({"device_code":"demo-device-)" + serial + R"(","user_code":"DEMO-)" + serial +
                   R"(","verification_uri":")" + base_ + R"(/activate","verification_uri_complete":")" +
                   base_ + "/activate?user_code=DEMO-" + serial + R"(","expires_in":300,"interval":1})");
    }
    if (request.path == "/revoke") {
      revoked_.insert(field("token"));
      return Reply::answer(200, "");
    }
    if (request.path == "/introspect") {
      // Every token issued here starts so, the grants' and the device flow's alike.
      const bool active = field("token").starts_with("demo-access-") && !revoked_.contains(field("token"));
      return Reply::answer(
          200, active ? R"({"active":true,"scope":"demo","token_type":"Bearer"})" : R"({"active":false})");
    }
    if (grantType == "urn:ietf:params:oauth:grant-type:device_code") {
      const auto found = polls_.find(field("device_code"));
      if (found == polls_.end()) {
        return Reply::answer(400, R"({"error":"expired_token"})");
      }
      if (found->second++ == 0) {
        return Reply::answer(400, R"({"error":"authorization_pending"})");
      }
      const std::string device = found->first;
      polls_.erase(found);
      return token("demo-access-" + device, "none");
    }
    if (grantType == "password" && (field("username").empty() || field("password").empty())) {
      return refusal("invalid_request", "username and password are required");
    }
    if (grantType == "refresh_token" && issued_.erase(field("refresh_token")) == 0) {
      return refusal("invalid_grant", "unknown refresh token");
    }
    if (grantType == "password" || grantType == "refresh_token") {
      const std::string serial = std::to_string(++serial_);
      issued_.insert("demo-refresh-" + serial);
      return token("demo-access-" + serial, "demo-refresh-" + serial);
    }
    return refusal("unsupported_grant_type", "only password and refresh_token are served");
  }

 private:
  static Reply token(const std::string& access, const std::string& refresh) {
    return Reply::answer(200, R"({"access_token":")" + access +
                                  R"(","token_type":"bearer","expires_in":3600,)" + R"("refresh_token":")" +
                                  refresh + R"(","scope":"demo"})");
  }
  static Reply refusal(const std::string& error, const std::string& description) {
    return Reply::answer(400, R"({"error":")" + error + R"(","error_description":")" + description + R"("})");
  }

  std::mutex mutex_;
  std::string base_;
  int serial_ = 0;
  int devices_ = 0;
  std::set<std::string> issued_;
  std::map<std::string, int> polls_;
  std::set<std::string> revoked_;
};

}  // namespace

int main() {
  tervala::test::AuthorizationServer endpoint;
  endpoint.setClientSecret("demo-service", "demo-secret");
  DemoGrants grants(endpoint.url(""));
  endpoint.setFallback([&grants](const RecordedRequest& request) { return grants.answer(request); });
  std::cout << endpoint.port() << std::endl;
  // Serves until standard input ends; SIGTERM ends it as it ends any program.
  std::array<char, 256> buffer{};
  while (::read(STDIN_FILENO, buffer.data(), buffer.size()) > 0) {
  }
  return 0;
}
