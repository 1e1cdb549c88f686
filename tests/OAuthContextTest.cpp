// The shared context and its six grants: URL checks, the form body each grant builds, the
// settings, and the debug lines, against a real token endpoint on loopback.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <tervala/OAuthContext.hpp>

#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using test::CompletionProbe;
using test::DebugCapture;
using test::TokenEndpoint;

class OAuthContextGrant : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }

  // Runs `start` with a fresh probe, waits for the result and returns the one body received.
  template <typename Start>
  std::string bodyOf(Start start) {
    CompletionProbe probe;
    start(probe.completion());
    const auto result = probe.wait();
    EXPECT_NE(result, nullptr);
    const auto requests = endpoint.requests();
    EXPECT_EQ(requests.size(), 1U);
    return requests.empty() ? std::string() : requests.back().body;
  }

  OAuthContext& context = OAuthContext::sharedInstance();
  TokenEndpoint endpoint;
};

TEST(OAuthContextInstance, IsOneInstanceWithTheDocumentedDefaults) {
  const auto& context = OAuthContext::sharedInstance();
  EXPECT_EQ(&context, &OAuthContext::sharedInstance());
  EXPECT_EQ(context.serverTrustDelegate, nullptr);
  EXPECT_DOUBLE_EQ(context.timeoutInterval, 30.0);
  EXPECT_FALSE(context.scope.has_value());
  EXPECT_FALSE(context.clientSecret.has_value());
}

// Refused endpoint texts: the "Invalid url" error arrives on the calling thread before the call
// returns, nothing is sent, and only the grant's own lines are written.
TEST(OAuthContextInvalidUrl, IsRefusedSynchronouslyWithoutARequest) {
  for (const char* url : {"", "127.0.0.1/token", "http://127.0.0.1/a b", "http:///token", "http://[::1/x",
                          "http://127.0.0.1:99999/token"}) {
    SCOPED_TRACE(url);
    const DebugCapture capture;
    CompletionProbe probe;
    OAuthContext::sharedInstance().getAccessToken(url, "app", "user", "secret-pw", probe.completion());
    ASSERT_EQ(probe.calls(), 1);
    EXPECT_EQ(probe.thread(), std::this_thread::get_id());
    const auto result = probe.wait();
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->domain, "NSOAuthErrorDomain");
    EXPECT_EQ(result->error()->code, -1);
    EXPECT_EQ(result->error()->localizedDescription(), "Invalid url");
    EXPECT_EQ(result->error()->localizedFailureReason(), "Invalid url");
    EXPECT_EQ(result->error()->userInfo.size(), 2U);
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{
                  "Tervala.OAuthContext getAccessToken(_:_:username:password:completion:)",
                  "Tervala.OAuthContext getAccessToken(_:_:username:password:params:completion:)"}));
  }
}

TEST_F(OAuthContextGrant, AcceptsAbsoluteUrlsWithSchemeAndHost) {
  const auto port = std::to_string(endpoint.port());
  for (const std::string& url :
       {endpoint.url(), "http://localhost:" + port + "/token", endpoint.url("/t?x=1#f")}) {
    CompletionProbe probe;
    context.getAccessToken(url, "app", "code-1", probe.completion());
    const auto result = probe.wait();
    ASSERT_NE(result, nullptr) << url;
    EXPECT_FALSE(result->hasError()) << url << ": " << result->errorDescription().value_or("");
  }
}

TEST_F(OAuthContextGrant, EachGrantSendsClientIdFirstThenItsFieldsInKeyOrder) {
  const std::vector<std::pair<std::function<void(OAuthContext::Completion)>, std::string>> grants{
      {[&](auto done) { context.getAccessToken(endpoint.url(), "app", "alice", "pw", done); },
       "client_id=app&grant_type=password&password=pw&username=alice"},
      {[&](auto done) { context.getAccessToken(endpoint.url(), "", "", "", done); },
       "client_id=&grant_type=password&password=&username="},
      {[&](auto done) { context.getAccessToken(endpoint.url(), "app", "c0de", done); },
       "client_id=app&code=c0de&grant_type=authorization_code"},
      {[&](auto done) { context.refreshAccessToken(endpoint.url(), "app", "r/1", done); },
       "client_id=app&grant_type=refresh_token&refresh_token=r%2F1"}};
  for (const auto& [start, body] : grants) {
    CompletionProbe probe;
    start(probe.completion());
    ASSERT_NE(probe.wait(), nullptr);
    EXPECT_EQ(endpoint.requests().back().body, body);
  }
}

TEST_F(OAuthContextGrant, GrantFieldsOverrideTheCallersParamsWhichStayUnchanged) {
  const OAuthContext::Params params{{"grant_type", std::string("client_credentials")},
                                    {"username", std::string("mallory")},
                                    {"audience", std::string("api")},
                                    {"n", std::int64_t{-42}},
                                    {"ratio", 0.1},
                                    {"big", 1e21},
                                    {"flag", true},
                                    {"off", false}};
  const OAuthContext::Params before = params;
  const auto body =
      bodyOf([&](auto done) { context.getAccessToken(endpoint.url(), "app", "alice", "pw", params, done); });
  EXPECT_EQ(
      body,
      "client_id=app&audience=api&big=1e%2B21&flag=true&grant_type=password&n=-42&off=false&password=pw&"
      "ratio=0.1&username=alice");
  EXPECT_EQ(params, before);
}

TEST_F(OAuthContextGrant, CodeAndRefreshParamsCannotReplaceTheGrantFields) {
  const OAuthContext::Params params{
      {"grant_type", std::string("x")}, {"code", std::string("y")}, {"refresh_token", std::string("z")}};
  EXPECT_EQ(bodyOf([&](auto done) { context.getAccessToken(endpoint.url(), "app", "c", params, done); }),
            "client_id=app&code=c&grant_type=authorization_code&refresh_token=z");
}

TEST_F(OAuthContextGrant, ShortFormAndEmptyParamsBuildTheSameRequestWithOneLineMore) {
  std::vector<std::string> shortLines;
  std::string shortBody;
  {
    const DebugCapture capture;
    shortBody = bodyOf([&](auto done) { context.refreshAccessToken(endpoint.url(), "app", "rt", done); });
    shortLines = capture.lines();
  }
  TokenEndpoint second;
  CompletionProbe probe;
  std::vector<std::string> longLines;
  {
    const DebugCapture capture;
    context.refreshAccessToken(second.url(), "app", "rt", OAuthContext::Params{}, probe.completion());
    ASSERT_NE(probe.wait(), nullptr);
    longLines = capture.lines();
  }
  ASSERT_EQ(second.requests().size(), 1U);
  EXPECT_EQ(second.requests()[0].body, shortBody);
  ASSERT_EQ(shortLines.size(), longLines.size() + 1);
  EXPECT_EQ(shortLines[0], "Tervala.OAuthContext refreshAccessToken(_:_:refreshToken:completion:)");
  EXPECT_EQ(std::vector<std::string>(shortLines.begin() + 1, shortLines.end()), longLines);
}

struct SettingsCase {
  std::optional<std::string> clientSecret;
  std::optional<std::vector<std::string>> scope;
  OAuthContext::Params params;
  std::string body;
};

void PrintTo(const SettingsCase& settingsCase, std::ostream* out) {
  *out << settingsCase.body;
}

class OAuthContextSettings : public OAuthContextGrant, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(OAuthContextSettings, ShapeTheBodyInOrder) {
  context.clientSecret = GetParam().clientSecret;
  context.scope = GetParam().scope;
  EXPECT_EQ(
      bodyOf([&](auto done) { context.getAccessToken(endpoint.url(), "app", "c", GetParam().params, done); }),
      GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OAuthContextSettings,
    ::testing::Values(
        SettingsCase{"", std::nullopt, {}, "client_id=app&code=c&grant_type=authorization_code"},
        SettingsCase{
            "s3cr t",
            std::vector<std::string>{"read", "write"},
            {},
            "client_id=app&client_secret=s3cr+t&scope=read%2Cwrite&code=c&grant_type=authorization_code"},
        SettingsCase{std::nullopt,
                     std::vector<std::string>{},
                     {},
                     "client_id=app&scope=&code=c&grant_type=authorization_code"},
        SettingsCase{std::nullopt,
                     std::vector<std::string>{"a"},
                     {{"client_id", std::string("other")}, {"scope", std::string("b")}},
                     "client_id=app&scope=a&client_id=other&code=c&grant_type=authorization_code&scope=b"}));

TEST_F(OAuthContextGrant, SettingsAreReadWhenTheRequestIsBuilt) {
  endpoint.setReply(test::Reply().after(std::chrono::milliseconds(200)));
  context.clientSecret = "first";
  CompletionProbe probe;
  context.getAccessToken(endpoint.url(), "app", "c", probe.completion());
  context.clientSecret = "second";
  ASSERT_NE(probe.wait(), nullptr);
  ASSERT_EQ(endpoint.requests().size(), 1U);
  EXPECT_EQ(endpoint.requests()[0].field("client_secret"), "first");
}

}  // namespace
}  // namespace tervala
