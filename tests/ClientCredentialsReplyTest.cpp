// A client-credentials reply carries no refresh token (the server is told to leave it out): the
// grant takes it under either reply profile, and only that grant does.
#include <gtest/gtest.h>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthResult.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/ReplyProfile.hpp>

#include "support/AuthorizationServer.hpp"
#include "support/OAuthProbe.hpp"

namespace tervala {
namespace {

class ClientCredentialsReply : public ::testing::TestWithParam<ReplyProfile> {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override {
    test::resetSharedContext();
    context.replyProfile = ReplyProfile::strict;
  }

  OAuthContext& context = OAuthContext::sharedInstance();
  test::AuthorizationServer server;
};

TEST_P(ClientCredentialsReply, IsTakenWithoutRefreshTokenInBothForms) {
  server.setClientSecret("svc", "s3cret");
  context.clientSecret = "s3cret";
  context.replyProfile = GetParam();
  test::CompletionProbe probe;
  context.getClientAccessToken(server.url("/token"), "svc", probe.completion());
  for (const auto& result : {probe.wait(), context.getClientAccessToken(server.url("/token"), "svc")}) {
    ASSERT_TRUE(result);
    ASSERT_FALSE(result->hasError()) << result->errorDescription().value_or("");
    EXPECT_EQ(result->serializeToToken()->refreshToken(), std::optional<std::string>(""));
  }
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, ClientCredentialsReply,
                         ::testing::Values(ReplyProfile::strict, ReplyProfile::lenient));

}  // namespace
}  // namespace tervala
