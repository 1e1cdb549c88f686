// The lenient reading of token endpoint replies against a real endpoint on loopback: each
// assumption with its own debug line, the strict default refusing the same replies and naming the
// field, what stays refused either way, and the client-credentials reply that both profiles take.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "support/LineCapture.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using test::Reply;

class LenientReplies : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }

  // A refresh grant sending "RT-sent", or a password grant.
  OAuthContext::Result grant(bool refresh, const std::string& body) {
    endpoint.setReply(Reply::answer(200, body));
    return refresh ? context.refreshAccessToken(endpoint.url(), "app", "RT-sent")
                   : context.getAccessToken(endpoint.url(), "app", "alice", "pw");
  }

  OAuthContext& context = OAuthContext::sharedInstance();
  test::TokenEndpoint endpoint;
};

// A reply that begins with the access token and its type, then `middle` and `tail`.
std::string reply(std::string_view middle, std::string_view tail = {}) {
  std::string body(R"({"access_token":"AT","token_type":"bearer")");
  body.append(middle).append(tail);
  return body;
}

TEST_F(LenientReplies, EachAssumptionHasItsLineAndStrictRefusesItNamingTheField) {
  struct Row {
    const char* label;
    bool refresh;
    std::optional<std::vector<std::string>> scope;
    std::string body;
    std::string line;  // after "Tervala.OAuthResult lenient: "
    std::string strictProblem;
    std::function<void(const OAuthResult&, const OAuthToken&)> check;
  };
  const Date before = std::chrono::system_clock::now();
  const std::vector<Row> rows{
      {"refresh reply without refresh_token", true, std::nullopt, reply(R"(,"expires_in":60,"scope":"s"})"),
       "no refresh_token in the reply; keeping the refresh token that was sent",
       R"("refresh_token" is missing)",
       [](const OAuthResult&, const OAuthToken& token) { EXPECT_EQ(token.refreshToken(), "RT-sent"); }},
      {"no scope, scope requested", false, std::vector<std::string>{"read", "write"},
       reply(R"(,"expires_in":60,"refresh_token":"RT"})"),
       "no scope in the reply; assuming the requested scope", R"("scope" is missing)",
       [](const OAuthResult&, const OAuthToken& token) {
         EXPECT_EQ(token.scope(), (OAuthToken::Scope{"read", "write"}));
       }},
      {"no scope, none requested", true, std::nullopt, reply(R"(,"expires_in":60,"refresh_token":"RT"})"),
       "no scope in the reply and none requested; scope unknown", R"("scope" is missing)",
       [](const OAuthResult& result, const OAuthToken& token) {
         EXPECT_NE(result.serializeToJson().find(R"("scope":"nil")"), std::string::npos);
         EXPECT_EQ(token.scope(), OAuthToken::Scope{});
       }},
      {"expires_in as a text", false, std::nullopt,
       reply(R"(,"expires_in":"3600","refresh_token":"RT","scope":"s"})"),
       "expires_in is a text; reading it as 3600 seconds", R"("expires_in" is a string, not a number)",
       [before](const OAuthResult&, const OAuthToken& token) {
         EXPECT_GE(*token.expiresOn(), before + std::chrono::seconds(3600));
         EXPECT_LE(*token.expiresOn(), std::chrono::system_clock::now() + std::chrono::seconds(3600));
       }},
      {"no expires_in", false, std::nullopt, reply(R"(,"refresh_token":"RT","scope":"s"})"),
       "no expires_in in the reply; expiry unknown", R"("expires_in" is missing)",
       [](const OAuthResult& result, const OAuthToken& token) {
         EXPECT_NE(result.serializeToJson().find(R"("expires_in":"nil")"), std::string::npos);
         EXPECT_EQ(token.expiresOn(), OAuthToken::unknownExpiry);
         EXPECT_FALSE(token.hasTokenExpired());
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    context.scope = row.scope;
    context.replyProfile = ReplyProfile::strict;
    test::LineCapture strictLines;
    const auto refused = grant(row.refresh, row.body);
    ASSERT_TRUE(refused->hasError());
    EXPECT_EQ(refused->errorDescription(), "Invalid or missing OAuth token data received.");
    EXPECT_EQ(refused->tokenDataProblem(), row.strictProblem);
    for (const auto& line : strictLines.lines()) {
      EXPECT_EQ(line.find("lenient"), std::string::npos) << line;
    }

    context.replyProfile = ReplyProfile::lenient;
    test::LineCapture lenientLines;
    const auto result = grant(row.refresh, row.body);
    ASSERT_FALSE(result->hasError()) << result->serializeToJson();
    const auto lines = lenientLines.lines();
    EXPECT_NE(std::ranges::find(lines, "Tervala.OAuthResult lenient: " + row.line), lines.end());
    const auto token = result->serializeToToken();
    ASSERT_TRUE(token);
    row.check(*result, *token);
    // What is assumed survives the archive: a stored token reads back the same.
    const auto archive = KeyedArchiver::archivedDataWithRootObject(*token);
    ASSERT_TRUE(archive);
    const auto back = KeyedUnarchiver::unarchiveObjectWithData(*archive);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->expiresOn(), std::chrono::floor<std::chrono::microseconds>(*token->expiresOn()));
    EXPECT_EQ(back->refreshToken(), token->refreshToken());
  }
}

TEST_F(LenientReplies, RefusesWhatItCannotAssume) {
  context.replyProfile = ReplyProfile::lenient;
  constexpr std::string_view rest = R"(,"refresh_token":"RT","scope":"s"})";
  for (const auto& [refresh, body, problem] : std::vector<std::tuple<bool, std::string, std::string>>{
           {false, reply(R"(,"expires_in":"+60")", rest),
            R"("expires_in" is a string that is not a whole number of seconds)"},
           {false, reply(R"(,"expires_in":"99999999999999999999")", rest),
            R"("expires_in" is a string whose number is too large)"},
           {false, reply(R"(,"expires_in":true)", rest), R"("expires_in" is a boolean, not a number)"},
           {false, reply(R"(,"expires_in":60,"scope":"s"})"), R"("refresh_token" is missing)"},
           {true, reply(R"(,"expires_in":60,"refresh_token":null,"scope":"s"})"),
            R"("refresh_token" is null)"},
           {true, R"({"token_type":"bearer","expires_in":60})", R"("access_token" is missing)"},
       }) {
    SCOPED_TRACE(body);
    const auto result = grant(refresh, body);
    ASSERT_TRUE(result->hasError());
    EXPECT_EQ(result->errorDescription(), "Invalid or missing OAuth token data received.");
    EXPECT_EQ(result->tokenDataProblem(), problem);
  }
  // An error reply stays an error result, whatever the status, with nothing assumed.
  const auto error = grant(true, R"({"error":"invalid_grant","error_description":"spent"})");
  ASSERT_TRUE(error->hasError());
  EXPECT_EQ(error->errorDescription(), "spent");
  EXPECT_EQ(error->tokenDataProblem(), std::nullopt);
}

// A client-credentials reply carries no refresh token; only that grant takes one without it.
TEST_F(LenientReplies, ClientCredentialsNeedNoRefreshTokenUnderEitherProfile) {
  endpoint.setReply(Reply::answer(200, reply(R"(,"expires_in":60,"scope":"s"})")));
  context.clientSecret = "s3cret";
  for (const auto profile : {ReplyProfile::strict, ReplyProfile::lenient}) {
    context.replyProfile = profile;
    test::CompletionRecorder recorder;
    context.getClientAccessToken(endpoint.url(), "svc", recorder.completion());
    for (const auto& result :
         {recorder.single().result, context.getClientAccessToken(endpoint.url(), "svc")}) {
      ASSERT_TRUE(result);
      ASSERT_FALSE(result->hasError()) << result->errorDescription().value_or("");
      EXPECT_EQ(result->serializeToToken()->refreshToken(), std::optional<std::string>(""));
    }
  }
}

}  // namespace
}  // namespace tervala
