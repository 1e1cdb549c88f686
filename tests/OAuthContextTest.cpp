// The shared context and its grants against a real token endpoint on loopback: URL checks, the
// form body each grant builds from its fields, the settings and the client's authentication.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <tervala/OAuthContext.hpp>

#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using test::DebugCapture;
using Call = std::function<OAuthContext::Result(OAuthContext&, const std::string& url)>;

class OAuthContextGrant : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }

  OAuthContext& context = OAuthContext::sharedInstance();
  test::TokenEndpoint endpoint;
};

// Refused endpoint texts: the error arrives on the calling thread before the call returns.
TEST_F(OAuthContextGrant, InvalidUrlIsRefusedAtOnceWithoutARequest) {
  for (const char* url :
       {"", "127.0.0.1/token", "http://127.0.0.1/a b", "http:///token", "http://127.0.0.1:99999/t"}) {
    SCOPED_TRACE(url);
    test::CompletionRecorder recorder;
    context.getAccessToken(url, "app", "user", "secret-pw", recorder.completion());
    const auto grant = recorder.grants().front();
    ASSERT_EQ(grant.calls, 1U);
    EXPECT_EQ(grant.thread, std::this_thread::get_id());
    const auto& result = grant.result;
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->domain, "NSOAuthErrorDomain");
    EXPECT_EQ(result->error()->localizedDescription(), "Invalid url");
  }
  EXPECT_TRUE(endpoint.requests().empty());
  const auto port = std::to_string(endpoint.port());
  for (const std::string& url : {"http://localhost:" + port + "/token", endpoint.url("/t?x=1#f")}) {
    const auto result = context.getAccessToken(url, "app", "code-1");
    EXPECT_FALSE(result->hasError()) << url << ": " << result->errorDescription().value_or("");
  }
}

struct BodyCase {
  const char* name;
  Call call;
  std::string body;
  std::optional<std::string> clientSecret;
  std::optional<std::vector<std::string>> scope;
  ClientAuthentication method = ClientAuthentication::form;
  std::optional<std::pair<std::string, std::string>> basic;  // as the server decodes it
};

void PrintTo(const BodyCase& bodyCase, std::ostream* out) {
  *out << bodyCase.name;
}

class OAuthContextBody : public OAuthContextGrant, public ::testing::WithParamInterface<BodyCase> {};

// The client's fields first, then the grant's and the caller's in key order.
TEST_P(OAuthContextBody, IsBuiltInOrderAndTheClientAuthenticatesByItsMethod) {
  const auto& row = GetParam();
  context.clientSecret = row.clientSecret;
  context.scope = row.scope;
  context.clientAuthentication = row.method;
  const DebugCapture capture;
  ASSERT_NE(row.call(context, endpoint.url()), nullptr);
  const auto requests = endpoint.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].body, row.body);
  EXPECT_EQ(test::basicCredentials(requests[0]), row.basic);
  const auto header = requests[0].header("Authorization");
  EXPECT_EQ(header.has_value(), row.basic.has_value());
  bool maskedLine = false;
  for (const auto& line : capture.lines()) {
    EXPECT_TRUE(!header || line.find(header->substr(6)) == std::string::npos) << line;
    maskedLine = maskedLine || line == "Authorization: Basic ***";
  }
  EXPECT_EQ(maskedLine, row.basic.has_value());
}

Call password(const std::string& user, const std::string& password, const OAuthContext::Params& params = {}) {
  return [=](OAuthContext& c, const std::string& url) {
    return c.getAccessToken(url, "app", user, password, params);
  };
}
Call code(const std::string& clientId, const OAuthContext::Params& params = {}) {
  return
      [=](OAuthContext& c, const std::string& url) { return c.getAccessToken(url, clientId, "c", params); };
}

constexpr const char* awkwardId = "app:1+/%= \xC3\xA9";  // every character Basic must encode, and é
constexpr const char* awkwardSecret = "s3:cr+t/%=\xE2\x82\xAC";

INSTANTIATE_TEST_SUITE_P(
    Grants, OAuthContextBody,
    ::testing::Values(
        BodyCase{"EmptyFields", password("", ""), "client_id=app&grant_type=password&password=&username="},
        BodyCase{"GrantFieldsWinOverParams",
                 password("alice", "pw",
                          {{"grant_type", std::string("client_credentials")},
                           {"username", std::string("mallory")},
                           {"n", std::int64_t{-42}},
                           {"ratio", 0.1},
                           {"big", 1e21},
                           {"flag", true}}),
                 "client_id=app&big=1e%2B21&flag=true&grant_type=password&n=-42&password=pw&ratio=0.1&"
                 "username=alice"},
        BodyCase{"CodeParams",
                 code("app", {{"grant_type", std::string("x")},
                              {"code", std::string("y")},
                              {"refresh_token", std::string("z")}}),
                 "client_id=app&code=c&grant_type=authorization_code&refresh_token=z"},
        BodyCase{"SecretAndScope", code("app"),
                 "client_id=app&client_secret=s3cr+t&scope=read%2Cwrite&code=c&grant_type=authorization_code",
                 "s3cr t", std::vector<std::string>{"read", "write"}},
        BodyCase{"EmptySecretAndScope", code("app"),
                 "client_id=app&scope=&code=c&grant_type=authorization_code", "", std::vector<std::string>{}},
        BodyCase{"ParamsRepeatTheClientFields",
                 code("app", {{"client_id", std::string("other")}, {"scope", std::string("b")}}),
                 "client_id=app&scope=a&client_id=other&code=c&grant_type=authorization_code&scope=b",
                 std::nullopt, std::vector<std::string>{"a"}},
        BodyCase{"BasicEncodesEachPart", code(awkwardId), "code=c&grant_type=authorization_code",
                 awkwardSecret, std::nullopt, ClientAuthentication::basic,
                 std::pair(awkwardId, awkwardSecret)},
        BodyCase{"BasicWithoutSecret", code("app"), "code=c&grant_type=authorization_code", std::nullopt,
                 std::nullopt, ClientAuthentication::basic, std::pair(std::string("app"), std::string())},
        BodyCase{"NoneNeverSendsTheSecret", code("app"), "client_id=app&code=c&grant_type=authorization_code",
                 "secret", std::nullopt, ClientAuthentication::none}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OAuthContextGrant, SettingsAreReadWhenTheRequestIsBuilt) {
  endpoint.setReply(test::Reply().after(std::chrono::milliseconds(200)));
  context.clientSecret = "first";
  test::CompletionRecorder recorder;
  context.getAccessToken(endpoint.url(), "app", "c", recorder.completion());
  context.clientSecret = "second";
  ASSERT_NE(recorder.single().result, nullptr);
  ASSERT_EQ(endpoint.requests().size(), 1U);
  EXPECT_EQ(endpoint.requests()[0].field("client_secret"), "first");
}

}  // namespace
}  // namespace tervala
