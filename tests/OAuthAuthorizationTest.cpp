// The authorization request with PKCE, the redirect's reading and the code exchange, against a
// real authorization server on loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <tervala/AuthorizationRequest.hpp>
#include <tervala/OAuthContext.hpp>

#include "support/AuthorizationServer.hpp"
#include "support/OAuthProbe.hpp"

namespace tervala {
namespace {

std::string verifierOf(const AuthorizationRequest& request) {
  return std::get<std::string>(request.exchangeParams().at("code_verifier"));
}

class OAuthAuthorization : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }

  test::AuthorizationServer server;
};

TEST_F(OAuthAuthorization, UrlCarriesFreshStateAndTheS256ChallengeOfAHiddenVerifier) {
  const auto request = AuthorizationRequest::make(server.url("/authorize?tenant=7"), "app id",
                                                  "http://127.0.0.1:5/cb", {"read", "write"});
  ASSERT_TRUE(request);
  const auto verifier = verifierOf(*request);
  const auto fields = test::decodeForm(request->url().substr(request->url().find('?') + 1));
  const std::map<std::string, std::string> query(fields.begin(), fields.end());
  EXPECT_TRUE(
      request->url().starts_with(server.url("/authorize?tenant=7&response_type=code&client_id=app+id")));
  EXPECT_EQ(query.at("redirect_uri"), "http://127.0.0.1:5/cb");
  EXPECT_EQ(query.at("scope"), "read write");
  EXPECT_EQ(query.at("state"), request->state());
  EXPECT_EQ(query.at("code_challenge"), AuthorizationRequest::challengeOf(verifier));
  EXPECT_EQ(query.at("code_challenge_method"), "S256");
  EXPECT_EQ(request->url().find(verifier), std::string::npos);
  for (const auto& random : {verifier, request->state()}) {
    EXPECT_EQ(random.size(), 43U);
    EXPECT_EQ(random.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"),
              std::string::npos);
  }
  const auto other = AuthorizationRequest::make(server.url("/authorize"), "app", "");
  ASSERT_TRUE(other);
  EXPECT_NE(other->state(), request->state());
  EXPECT_NE(verifierOf(*other), verifier);
  EXPECT_FALSE(AuthorizationRequest::make("https://as.example/authorize#frag", "app", ""));
  EXPECT_FALSE(AuthorizationRequest::make("not a url", "app", ""));
  // RFC 7636 appendix B.
  EXPECT_EQ(AuthorizationRequest::challengeOf("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

struct RedirectCase {
  const char* name;
  std::string query;  // "STATE" stands for the request's state
  std::optional<std::string> code;
  std::string error;  // a word of the error's description or reason
  friend std::ostream& operator<<(std::ostream& out, const RedirectCase& row) { return out << row.name; }
};

class RedirectReading : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(RedirectReading, BelievesNothingBeforeTheState) {
  const auto request =
      AuthorizationRequest::make("https://as.example/authorize", "app", "http://127.0.0.1:5/cb");
  ASSERT_TRUE(request);
  std::string query = GetParam().query;
  if (const auto at = query.find("STATE"); at != std::string::npos) {
    query.replace(at, 5, request->state());
  }
  const auto redirect = request->parseRedirect("/cb" + query);
  EXPECT_EQ(redirect.code, GetParam().code);
  ASSERT_EQ(redirect.error != nullptr, !GetParam().code);
  if (redirect.error) {
    const auto& error = *redirect.error->error();
    EXPECT_NE((error.localizedDescription() + " " + error.localizedFailureReason().value_or(""))
                  .find(GetParam().error),
              std::string::npos)
        << error.localizedDescription();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RedirectReading,
    ::testing::Values(RedirectCase{"Code", "?code=a%2Bb+c&state=STATE#frag", "a+b c", ""},
                      RedirectCase{"WrongState", "?code=abc&state=STATE0", std::nullopt, "state"},
                      RedirectCase{"NoState", "?code=abc", std::nullopt, "state"},
                      RedirectCase{"Error", "?error=access_denied&error_description=no+way&state=STATE",
                                   std::nullopt, "no way"},
                      RedirectCase{"RepeatedCode", "?code=a&code=b&state=STATE", std::nullopt, "repeats"},
                      RedirectCase{"NoCode", "?state=STATE&code=", std::nullopt, "no code"},
                      RedirectCase{"BadEscape", "?code=%zz&state=STATE", std::nullopt, "query"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OAuthAuthorization, CodeExchangeProvesTheVerifierAndMasksIt) {
  const auto request = AuthorizationRequest::make(server.url("/authorize"), "app", "http://127.0.0.1:5/cb");
  ASSERT_TRUE(request);
  httplib::Client browser("127.0.0.1", server.port());  // approves at once and redirects
  const auto approval = browser.Get(request->url().substr(request->url().find("/authorize")));
  ASSERT_TRUE(approval && approval->status == 302);
  const auto redirect = request->parseRedirect(approval->get_header_value("Location"));
  ASSERT_TRUE(redirect.code);
  test::DebugCapture capture;
  const auto result = OAuthContext::sharedInstance().getAccessToken(
      server.url("/token"), "app", *redirect.code, request->exchangeParams());
  ASSERT_TRUE(result && !result->hasError()) << result->errorDescription().value_or("");
  EXPECT_EQ(capture.lines().at(2),
            "client_id=app&code=***&code_verifier=***&grant_type=authorization_code&"
            "redirect_uri=http%3A%2F%2F127.0.0.1%3A5%2Fcb");
}

}  // namespace
}  // namespace tervala
