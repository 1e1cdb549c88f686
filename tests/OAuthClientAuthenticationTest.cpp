// How the client's id and secret reach a real token endpoint on loopback, by method.
#include <gtest/gtest.h>

#include <tervala/OAuthContext.hpp>

#include "support/BasicCredentials.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

struct AuthenticationCase {
  const char* name;
  ClientAuthentication method;
  std::string clientId;
  std::optional<std::string> secret;
  std::string body;                                          // as sent
  std::optional<std::pair<std::string, std::string>> basic;  // as the server decodes it
};

class ClientAuthenticationTest : public ::testing::TestWithParam<AuthenticationCase> {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override {
    test::resetSharedContext();
    OAuthContext::sharedInstance().clientAuthentication = ClientAuthentication::form;
  }
};

TEST_P(ClientAuthenticationTest, SendsTheCredentialsOfItsMethod) {
  const auto& row = GetParam();
  test::TokenEndpoint endpoint;
  auto& context = OAuthContext::sharedInstance();
  context.clientAuthentication = row.method;
  context.clientSecret = row.secret;
  test::DebugCapture capture;
  const auto result = context.getAccessToken(endpoint.url(), row.clientId, "the-code");
  ASSERT_TRUE(result && !result->hasError()) << result->errorDescription().value_or("");
  const auto requests = endpoint.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].body, row.body);
  EXPECT_EQ(test::basicCredentials(requests[0]), row.basic);
  EXPECT_EQ(requests[0].header("Authorization").has_value(), row.basic.has_value());
  // The header's credentials never reach the debug output.
  const auto header = requests[0].header("Authorization");
  bool maskedLine = false;
  for (const auto& line : capture.lines()) {
    EXPECT_TRUE(!header || line.find(header->substr(6)) == std::string::npos) << line;
    maskedLine = maskedLine || line == "Authorization: Basic ***";
  }
  EXPECT_EQ(maskedLine, row.basic.has_value());
}

const std::string awkwardId = "app:1+/%= \xC3\xA9";  // every character Basic must encode, and é
const std::string awkwardSecret = "s3:cr+t/%=\xE2\x82\xAC";

INSTANTIATE_TEST_SUITE_P(
    Methods, ClientAuthenticationTest,
    ::testing::Values(
        AuthenticationCase{"FormWithSecret", ClientAuthentication::form, "app", "s+&",
                           "client_id=app&client_secret=s%2B%26&code=the-code&grant_type=authorization_code",
                           std::nullopt},
        AuthenticationCase{"FormWithoutSecret", ClientAuthentication::form, "app", "",
                           "client_id=app&code=the-code&grant_type=authorization_code", std::nullopt},
        AuthenticationCase{"BasicEncodesEachPart", ClientAuthentication::basic, awkwardId, awkwardSecret,
                           "code=the-code&grant_type=authorization_code",
                           std::pair(awkwardId, awkwardSecret)},
        AuthenticationCase{"BasicWithoutSecret", ClientAuthentication::basic, "app", std::nullopt,
                           "code=the-code&grant_type=authorization_code",
                           std::pair(std::string("app"), std::string())},
        AuthenticationCase{"NoneNeverSendsTheSecret", ClientAuthentication::none, "app", "secret",
                           "client_id=app&code=the-code&grant_type=authorization_code", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tervala
