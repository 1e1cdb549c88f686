// The authorization server's endpoints beside the grants: discovery, the device flow,
// revocation and introspection, against the loopback endpoint routing by path.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthDeviceFlow.hpp>
#include <tervala/OAuthDiscovery.hpp>
#include <tervala/OAuthRevocation.hpp>
#include <tervala/OAuthTokenStatus.hpp>

#include "DevicePoller.hpp"
#include "support/LineCapture.hpp"
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
    OAuthContext::sharedInstance().clientAuthentication = ClientAuthentication::form;
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
  for (const char* refused : {"https://a.example/?x=1", "https://a.example/#f", "ftp://a.example",
                              "a.example", "https://u:p@a.example"}) {
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

// Device flow -------------------------------------------------------------------------------

constexpr const char* deviceReply =
    R"({"device_code":"dev-secret-1","user_code":"WDJB-MJHT","verification_uri":"https://example.com/device",)"
    R"("verification_uri_complete":"https://example.com/device?user_code=WDJB-MJHT","expires_in":1800,"interval":"2"})";

struct DeviceStartCase {
  const char* name;
  Reply reply;
  const char* failure;  // null: success
};

class DeviceStart : public Endpoints, public ::testing::WithParamInterface<DeviceStartCase> {};

TEST_P(DeviceStart, ReadsTheCodesOrRefusesTheReply) {
  routes["/device"] = GetParam().reply;
  OAuthContext::sharedInstance().scope = std::vector<std::string>{"read", "write"};
  const test::LineCapture lines;
  const auto started = OAuthDeviceFlow::start(server.url("/device"), "dev-client");
  OAuthContext::sharedInstance().scope.reset();
  ASSERT_EQ(server.requests().size(), 1U);
  EXPECT_EQ(server.requests()[0].field("scope"), "read write");
  for (const auto& line : lines.lines()) {
    EXPECT_EQ(line.find("dev-secret-1"), std::string::npos) << line;
  }
  if (GetParam().failure == nullptr) {
    ASSERT_TRUE(std::holds_alternative<DeviceAuthorization>(started));
    const auto& authorization = std::get<DeviceAuthorization>(started);
    EXPECT_EQ(authorization.deviceCode(), "dev-secret-1");
    EXPECT_EQ(authorization.userCode(), "WDJB-MJHT");
    EXPECT_EQ(authorization.verificationUriComplete(), "https://example.com/device?user_code=WDJB-MJHT");
    EXPECT_EQ(authorization.expiresIn(), std::chrono::seconds(1800));
    EXPECT_EQ(authorization.interval(), std::chrono::seconds(2));
    return;
  }
  ASSERT_TRUE(std::holds_alternative<Error>(started));
  const auto& error = std::get<Error>(started);
  const std::string said = error.localizedDescription() + " / " + error.localizedFailureReason().value_or("");
  EXPECT_NE(said.find(GetParam().failure), std::string::npos) << said;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DeviceStart,
    ::testing::Values(
        DeviceStartCase{"Good", Reply::answer(200, deviceReply), nullptr},
        DeviceStartCase{"Refused", Reply::answer(401, R"({"error":"invalid_client"})"), "invalid_client"},
        DeviceStartCase{"NoDeviceCode",
                        Reply::answer(200, R"({"user_code":"A","verification_uri":"https://e.x"})"),
                        "device_code"},
        DeviceStartCase{
            "ControlInUserCode",
            Reply::answer(200, R"({"device_code":"d","user_code":"A\u001b[2J","verification_uri":)"
                               R"("https://e.x","expires_in":60})"),
            "user_code"},
        DeviceStartCase{
            "NoExpiry",
            Reply::answer(200, R"({"device_code":"d","user_code":"A","verification_uri":"https://e.x"})"),
            "expires_in"}),
    [](const auto& info) { return std::string(info.param.name); });

struct PollCase {
  const char* name;
  std::vector<const char*> answers;  // the token endpoint's replies in turn; the last one repeats
  int expiresIn;
  const char* reason;  // null: a token is the result
  std::size_t mostPolls;
};

class DevicePolling : public Endpoints, public ::testing::WithParamInterface<PollCase> {};

// One protocol second lasts 20 ms here: slow_down's 5 seconds are 100 ms, an expiry of 10 is 200 ms.
TEST_P(DevicePolling, WaitsWhilePendingAndEndsAsTheServerSays) {
  const auto& row = GetParam();
  std::atomic<std::size_t> polls{0};
  server.setHandler([&](const RecordedRequest& /*request*/) {
    const std::size_t index = polls++;
    const char* body = row.answers[std::min(index, row.answers.size() - 1)];
    return Reply::answer(std::string(body).find("error") == std::string::npos ? 200 : 400, body);
  });
  const DeviceAuthorization authorization("dev-secret-2", "U", "https://e.x", std::nullopt,
                                          std::chrono::seconds(row.expiresIn), std::chrono::seconds(1));
  const CancelToken cancel;
  const test::LineCapture lines;
  const auto result = DevicePoller(std::chrono::milliseconds(20))
                          .poll(server.url("/token"), "dev-client", authorization, cancel,
                                EndpointSettings::of(OAuthContext::sharedInstance()));
  ASSERT_NE(result, nullptr);
  EXPECT_LE(polls.load(), row.mostPolls);
  const auto request = server.requests().front();
  EXPECT_EQ(request.field("grant_type"), "urn:ietf:params:oauth:grant-type:device_code");
  EXPECT_EQ(request.field("device_code"), "dev-secret-2");
  for (const auto& line : lines.lines()) {
    EXPECT_EQ(line.find("dev-secret-2"), std::string::npos) << line;
  }
  if (row.reason == nullptr) {
    EXPECT_FALSE(result->hasError()) << result->serializeToJson();
  } else {
    ASSERT_TRUE(result->hasError());
    EXPECT_EQ(result->error()->localizedFailureReason(), row.reason);
  }
}

constexpr const char* pending = R"({"error":"authorization_pending"})";
constexpr const char* token =
    R"({"access_token":"a","token_type":"bearer","expires_in":60,"refresh_token":"r","scope":"s"})";

INSTANTIATE_TEST_SUITE_P(
    Scripts, DevicePolling,
    ::testing::Values(
        PollCase{"PendingThenToken", {pending, pending, token}, 600, nullptr, 3},
        PollCase{"SlowDownWidensTheInterval", {R"({"error":"slow_down"})"}, 10, "expired_token", 2},
        PollCase{"PendingUntilTheCodesExpire", {pending}, 4, "expired_token", 4},
        PollCase{"ExpiredAtTheServer", {R"({"error":"expired_token"})"}, 600, "expired_token", 1},
        PollCase{"Denied", {pending, R"({"error":"access_denied"})"}, 600, "access_denied", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Endpoints, CancellingEndsTheWaitAtOnce) {
  server.setReply(Reply::answer(400, pending));
  // Real seconds: a wait that the cancel did not cut short would outlast the test's time limit.
  const DeviceAuthorization authorization("d", "U", "https://e.x", std::nullopt, std::chrono::seconds(600),
                                          std::chrono::seconds(120));
  CancelToken cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancel.cancel();
  });
  const auto result = OAuthDeviceFlow::poll(server.url("/token"), "c", authorization, cancel);
  canceller.join();
  ASSERT_TRUE(result->hasError());
  EXPECT_EQ(result->error()->code, -999);
}

// Revocation and introspection ----------------------------------------------------------------

// Both send the token and its hint in the form, and never show the token in debug output.
void expectTokenSentAndMasked(const TokenEndpoint& server, const test::LineCapture& lines) {
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1U);
  const auto& request = requests[0];
  EXPECT_EQ(request.field("token"), "tok-secret");
  EXPECT_EQ(request.field("token_type_hint"), "refresh_token");
  EXPECT_EQ(request.field("client_id"), "c");
  for (const auto& line : lines.lines()) {
    EXPECT_EQ(line.find("tok-secret"), std::string::npos) << line;
  }
}

struct RevokeCase {
  const char* name;
  Reply reply;
  const char* failure;  // null: revoked
};

class Revocation : public Endpoints, public ::testing::WithParamInterface<RevokeCase> {};

TEST_P(Revocation, SucceedsOnlyOn200) {
  server.setReply(GetParam().reply);
  const test::LineCapture lines;
  const auto error = OAuthRevocation::revoke(server.url("/revoke"), "c", "tok-secret", "refresh_token");
  expectTokenSentAndMasked(server, lines);
  if (GetParam().failure == nullptr) {
    EXPECT_EQ(error, std::nullopt);
  } else {
    ASSERT_TRUE(error.has_value());
    const std::string said =
        error->localizedDescription() + " / " + error->localizedFailureReason().value_or("");
    EXPECT_NE(said.find(GetParam().failure), std::string::npos) << said;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Revocation,
    ::testing::Values(RevokeCase{"Revoked", Reply::answer(200, ""), nullptr},
                      RevokeCase{"Refused", Reply::answer(400, R"({"error":"unsupported_token_type"})"),
                                 "unsupported_token_type"},
                      RevokeCase{"Unavailable", Reply::answer(503, "busy", "text/plain"), "status 503"}),
    [](const auto& info) { return std::string(info.param.name); });

struct IntrospectCase {
  const char* name;
  Reply reply;
  const char* failure;  // null: read
};

class Introspection : public Endpoints, public ::testing::WithParamInterface<IntrospectCase> {};

TEST_P(Introspection, ReadsTheStandardMembers) {
  server.setReply(GetParam().reply);
  const test::LineCapture lines;
  const auto result = OAuthTokenStatus::query(server.url("/introspect"), "c", "tok-secret", "refresh_token");
  expectTokenSentAndMasked(server, lines);
  if (GetParam().failure != nullptr) {
    ASSERT_TRUE(std::holds_alternative<Error>(result));
    const auto& error = std::get<Error>(result);
    const std::string said =
        error.localizedDescription() + " / " + error.localizedFailureReason().value_or("");
    EXPECT_NE(said.find(GetParam().failure), std::string::npos) << said;
    return;
  }
  ASSERT_TRUE(std::holds_alternative<TokenStatus>(result));
  const auto& read = std::get<TokenStatus>(result);
  EXPECT_TRUE(read.active);
  EXPECT_EQ(read.scope, "read write");
  EXPECT_EQ(read.audience, (std::vector<std::string>{"api", "web"}));
  EXPECT_EQ(read.expiresAt, Date(std::chrono::seconds(1'800'000'000)));
  EXPECT_EQ(read.additionalData, (std::map<std::string, std::string>{{"ext", R"({"a":1})"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Introspection,
    ::testing::Values(
        IntrospectCase{"Active",
                       Reply::answer(200, R"({"active":true,"scope":"read write","aud":["api","web"],)"
                                          R"("exp":1800000000,"ext":{"a":1},"nbf":null})"),
                       nullptr},
        IntrospectCase{"ActiveNotABoolean", Reply::answer(200, R"({"active":"true"})"), "active"},
        IntrospectCase{"MemberOfTheWrongKind", Reply::answer(200, R"({"active":true,"exp":"soon"})"), "exp"},
        IntrospectCase{"Refused", Reply::answer(401, R"({"error":"invalid_client"})"), "invalid_client"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Endpoints, BasicCredentialsGoInTheHeaderNeverInDebugLines) {
  server.setReply(Reply::answer(200, R"({"active":false})"));
  auto& context = OAuthContext::sharedInstance();
  context.clientAuthentication = ClientAuthentication::basic;
  context.clientSecret = "s3cret";
  const test::LineCapture lines;
  const auto result = OAuthTokenStatus::query(server.url("/introspect"), "c", "t");
  context.clientAuthentication = ClientAuthentication::form;
  context.clientSecret.reset();
  ASSERT_TRUE(std::holds_alternative<TokenStatus>(result));
  EXPECT_FALSE(std::get<TokenStatus>(result).active);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].header("authorization"), "Basic YzpzM2NyZXQ=");
  EXPECT_EQ(requests[0].field("client_id"), std::nullopt);
  for (const auto& line : lines.lines()) {
    EXPECT_EQ(line.find("YzpzM2NyZXQ"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace tervala
