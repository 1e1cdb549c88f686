// The authorization server's endpoints beside the grants: discovery, the device flow,
// revocation and introspection, against the loopback endpoint routing by path.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthDiscovery.hpp>

#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::TokenEndpoint;

// A loopback authorization server: each path answers with its reply, any other path with 404.
class Endpoints : public ::testing::Test {
 protected:
  void SetUp() override {
    OAuthContext::sharedInstance().clientSecret.reset();
    OAuthContext::sharedInstance().scope.reset();
    server.setHandler([this](const RecordedRequest& request) {
      const auto found = routes.find(request.path);
      return found == routes.end() ? Reply::answer(404, "not here", "text/plain") : found->second;
    });
  }

  TokenEndpoint server;
  std::map<std::string, Reply> routes;  // set before the requests, read by the server's threads
};

TEST(OAuthDiscoveryUrls, WellKnownPathGoesBetweenHostAndIssuerPath) {
  using Urls = std::optional<std::pair<std::string, std::string>>;
  EXPECT_EQ(OAuthDiscovery::documentUrls("https://a.example"),
            Urls({"https://a.example/.well-known/oauth-authorization-server",
                  "https://a.example/.well-known/openid-configuration"}));
  EXPECT_EQ(OAuthDiscovery::documentUrls("https://a.example:8443/tenant/1/"),
            Urls({"https://a.example:8443/.well-known/oauth-authorization-server/tenant/1",
                  "https://a.example:8443/tenant/1/.well-known/openid-configuration"}));
  for (const char* refused :
       {"https://a.example/?x=1", "https://a.example/#f", "ftp://a.example", "a.example"}) {
    EXPECT_EQ(OAuthDiscovery::documentUrls(refused), std::nullopt) << refused;
  }
}

struct DiscoveryCase {
  const char* name;
  const char* rfc8414Body;  // null: no document there
  const char* openIdBody;
  const char* failure;  // null: success; else a piece of the error's reason or description
};

class Discovery : public Endpoints, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(Discovery, ReadsTheDocumentOrSaysWhatIsWrong) {
  const auto& row = GetParam();
  const std::string issuer = server.url("/tenant");
  const auto fill = [&](const char* body) {
    std::string text(body);
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"ISSUER", issuer},
                                      {"TOKEN", server.url("/token")},
                                      {"DEVICE", server.url("/device")}}) {
      for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
        text.replace(at, mark.size(), value);
      }
    }
    return Reply::answer(200, text);
  };
  if (row.rfc8414Body != nullptr) {
    routes["/.well-known/oauth-authorization-server/tenant"] = fill(row.rfc8414Body);
  }
  if (row.openIdBody != nullptr) {
    routes["/tenant/.well-known/openid-configuration"] = fill(row.openIdBody);
  }
  const auto result = OAuthDiscovery::discover(issuer);
  if (row.failure == nullptr) {
    ASSERT_TRUE(std::holds_alternative<AuthorizationServerMetadata>(result));
    const auto& metadata = std::get<AuthorizationServerMetadata>(result);
    EXPECT_EQ(metadata.issuer, issuer);
    EXPECT_EQ(metadata.tokenEndpoint, server.url("/token"));
    EXPECT_EQ(metadata.deviceAuthorizationEndpoint, server.url("/device"));
    EXPECT_EQ(metadata.revocationEndpoint, std::nullopt);
    return;
  }
  ASSERT_TRUE(std::holds_alternative<Error>(result));
  const auto& error = std::get<Error>(result);
  const std::string said = error.localizedDescription() + " / " + error.localizedFailureReason().value_or("");
  EXPECT_NE(said.find(row.failure), std::string::npos) << said;
}

constexpr const char* good =
    R"({"issuer":"ISSUER","token_endpoint":"TOKEN","device_authorization_endpoint":"DEVICE",)"
    R"("response_types_supported":["code"]})";

INSTANTIATE_TEST_SUITE_P(
    Documents, Discovery,
    ::testing::Values(
        DiscoveryCase{"Rfc8414", good, nullptr, nullptr},
        DiscoveryCase{"OpenIdFallback", nullptr, good, nullptr},
        DiscoveryCase{
            "IssuerMismatch",
            R"({"issuer":"https://evil.example","token_endpoint":"TOKEN","response_types_supported":[]})",
            good, "another issuer"},
        DiscoveryCase{"NoTokenEndpoint", R"({"issuer":"ISSUER","response_types_supported":[]})", nullptr,
                      "token_endpoint"},
        DiscoveryCase{"NoResponseTypes", R"({"issuer":"ISSUER","token_endpoint":"TOKEN"})", nullptr,
                      "response_types_supported"},
        DiscoveryCase{"EndpointNotAUrl",
                      R"({"issuer":"ISSUER","token_endpoint":"javascript:x","response_types_supported":[]})",
                      nullptr, "token_endpoint"},
        DiscoveryCase{"NoDocument", nullptr, nullptr, "no metadata"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tervala
