// The authorization server's endpoints beside the grants: the authorization request with PKCE, its
// redirect and the code exchange, discovery, the device flow, revocation and introspection, against
// loopback servers.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <tervala/AuthorizationRequest.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthDeviceFlow.hpp>
#include <tervala/OAuthDiscovery.hpp>
#include <tervala/OAuthRevocation.hpp>
#include <tervala/OAuthTokenStatus.hpp>

#include "oauth/DevicePoller.hpp"
#include "support/AuthorizationServer.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::TokenEndpoint;

// Checks that `error` is absent when `failure` is null, else that its texts name `failure`.
void expectFailure(const Error* error, const char* failure) {
  const std::string said =
      error == nullptr ? "no error"
                       : error->localizedDescription() + " / " + error->localizedFailureReason().value_or("");
  EXPECT_EQ(error == nullptr, failure == nullptr) << said;
  EXPECT_TRUE(failure == nullptr || said.find(failure) != std::string::npos) << said;
}

// No line names `secret`.
void expectMasked(const test::LineCapture& lines, const std::string& secret) {
  for (const auto& line : lines.lines()) {
    EXPECT_EQ(line.find(secret), std::string::npos) << line;
  }
}

// One row of the tables below: what the server answers and a piece of the error (null: success).
struct Case {
  const char* name;
  Reply reply;
  const char* failure = nullptr;
  friend std::ostream& operator<<(std::ostream& out, const Case& row) { return out << row.name; }
};

// A loopback `Server`, with the shared context reset around each test.
template <typename Server>
class Against : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }

  Server server;
};
using Endpoints = Against<TokenEndpoint>;
using OAuthAuthorization = Against<test::AuthorizationServer>;
using Discovery = Endpoints;
using DevicePolling = Endpoints;

// Accepts every server: the test's certificate is its own.
class TrustingDelegate : public ServerTrustDelegate {
  ServerTrustDecision evaluateServerTrust(const std::vector<Data>&, std::string_view, bool) override {
    return ServerTrustDecision::accept;
  }
};

// A metadata document: the issuer, the token endpoint, then `more` members.
std::string document(std::string_view issuer, std::string_view token,
                     std::string_view more = R"(,"response_types_supported":[])") {
  return std::string(R"({"issuer":")").append(issuer).append(R"(","token_endpoint":")").append(token) + '"' +
         std::string(more) + '}';
}

// A good document whose `kind`_endpoint is plain http: every endpoint of an https issuer, not only
// the token endpoint, must be https.
std::string plainHttp(const std::string& kind) {
  return document("ISSUER", "https://e.x/token",
                  ",\"" + kind + R"(_endpoint":"http://127.0.0.1:9/x","response_types_supported":["code"])");
}

TEST_F(Discovery, ReadsTheDocumentOrSaysWhatIsWrong) {
  struct Row {
    const char* name;
    std::string rfc8414Body;  // empty: no document there
    std::string openIdBody;
    const char* failure;  // null: success
    bool https = false;
  };
  TokenEndpoint tls(test::TestCertificate::Kind::loopback);
  OAuthContext::sharedInstance().serverTrustDelegate = std::make_shared<TrustingDelegate>();
  const std::string token = "https://e.x/token";
  const std::string good = document(
      "ISSUER", token,
      R"(,"device_authorization_endpoint":"https://e.x/device","response_types_supported":["code"])");
  for (const auto& row :
       std::vector<Row>{{"Rfc8414", good, "", nullptr},
                        {"OpenIdFallbackOverHttps", "", good, nullptr, true},
                        {"IssuerMismatch", document("https://evil.example", token), good, "another issuer"},
                        {"IssuerOnlyBeginsAlike", document("ISSUER/other", token), "", "another issuer"},
                        {"NoResponseTypes", document("ISSUER", token, ""), "", "response_types_supported"},
                        {"EndpointNotAUrl", document("ISSUER", "javascript:x"), "", "token_endpoint"},
                        {"PlainHttpEndpointOfAnHttpsIssuer", document("ISSUER", "http://127.0.0.1:9/t"), "",
                         "not https", true},
                        {"PlainHttpDeviceEndpoint", plainHttp("device_authorization"), "", "not https", true},
                        {"PlainHttpAuthorizationEndpoint", plainHttp("authorization"), "", "not https", true},
                        {"PlainHttpRevocationEndpoint", plainHttp("revocation"), "", "not https", true},
                        {"PlainHttpIntrospectionEndpoint", plainHttp("introspection"), "", "not https", true},
                        {"NoDocument", "", "", "no metadata"}}) {
    SCOPED_TRACE(row.name);
    TokenEndpoint& at = row.https ? tls : server;
    const std::string issuer = at.url("/tenant");
    at.setHandler([&](const RecordedRequest& request) {
      std::string body = request.path == "/.well-known/oauth-authorization-server/tenant" ? row.rfc8414Body
                         : request.path == "/tenant/.well-known/openid-configuration"     ? row.openIdBody
                                                                                          : "";
      if (const auto found = body.find("ISSUER"); found != std::string::npos) {
        body.replace(found, 6, issuer);
      }
      return body.empty() ? Reply::answer(404, "not here", "text/plain") : Reply::answer(200, body);
    });
    const auto result = OAuthDiscovery::discover(issuer);
    expectFailure(std::get_if<Error>(&result), row.failure);
    if (const auto* metadata = std::get_if<AuthorizationServerMetadata>(&result)) {
      EXPECT_EQ(metadata->issuer, issuer);
      EXPECT_EQ(metadata->tokenEndpoint, token);
      EXPECT_EQ(metadata->deviceAuthorizationEndpoint, "https://e.x/device");
      EXPECT_EQ(metadata->revocationEndpoint, std::nullopt);
    }
  }
}

// One protocol second lasts 20 ms here: slow_down's 5 seconds are 100 ms, an expiry of 10 is 200 ms.
TEST_F(DevicePolling, WaitsWhilePendingAndEndsAsTheServerSays) {
  constexpr const char* pending = R"({"error":"authorization_pending"})";
  constexpr const char* token =
      R"({"access_token":"a","token_type":"bearer","expires_in":60,"refresh_token":"r","scope":"s"})";
  struct Row {
    const char* name;
    std::vector<const char*> answers;  // the token endpoint's replies in turn; the last one repeats
    int expiresIn;
    const char* reason;  // null: a token is the result
    std::size_t mostPolls;
  };
  std::atomic<std::size_t> polls{0};
  for (const auto& row :
       std::vector<Row>{{"PendingThenToken", {pending, pending, token}, 600, nullptr, 3},
                        {"SlowDownWidensTheInterval", {R"({"error":"slow_down"})"}, 10, "expired_token", 2},
                        {"PendingUntilTheCodesExpire", {pending}, 4, "expired_token", 4},
                        {"Denied", {pending, R"({"error":"access_denied"})"}, 600, "access_denied", 2}}) {
    SCOPED_TRACE(row.name);
    polls = 0;
    server.setHandler([&](const RecordedRequest& /*request*/) {
      const char* body = row.answers[std::min(polls++, row.answers.size() - 1)];
      return Reply::answer(std::string(body).find("error") == std::string::npos ? 200 : 400, body);
    });
    const DeviceAuthorization authorization("dev-secret-2", "U", "https://e.x", std::nullopt,
                                            std::chrono::seconds(row.expiresIn), std::chrono::seconds(1));
    const test::LineCapture lines;
    const auto result = DevicePoller(std::chrono::milliseconds(20))
                            .poll(server.url("/token"), "dev-client", authorization, CancelToken(),
                                  EndpointSettings::of(OAuthContext::sharedInstance()));
    ASSERT_NE(result, nullptr);
    EXPECT_LE(polls.load(), row.mostPolls);
    const auto request = server.requests().back();
    EXPECT_EQ(request.field("grant_type"), "urn:ietf:params:oauth:grant-type:device_code");
    EXPECT_EQ(request.field("device_code"), "dev-secret-2");
    expectMasked(lines, "dev-secret-2");
    EXPECT_EQ(result->hasError() ? result->error()->localizedFailureReason() : std::nullopt,
              row.reason ? std::optional<std::string>(row.reason) : std::nullopt);
  }
}

class FormCalls : public Endpoints, public ::testing::WithParamInterface<Case> {};

// Device authorization ("Device" rows), revocation ("Revo") and introspection send their form and
// read the reply; the secret, a device code received or a token sent, never shows in debug output.
TEST_P(FormCalls, SendTheFormAndReadTheReply) {
  const auto& row = GetParam();
  const std::string_view name = row.name;
  server.setReply(row.reply);
  OAuthContext::sharedInstance().scope = std::vector<std::string>{"read", "write"};
  const test::LineCapture lines;
  if (name.starts_with("Device")) {
    const auto started = OAuthDeviceFlow::start(server.url("/device"), "c");
    expectFailure(std::get_if<Error>(&started), row.failure);
    if (const auto* authorization = std::get_if<DeviceAuthorization>(&started)) {
      EXPECT_EQ(authorization->deviceCode(), "tok-secret");
      EXPECT_EQ(authorization->userCode(), "WDJB-MJHT");
      EXPECT_EQ(authorization->expiresIn(), std::chrono::seconds(1800));
      // An interval under a second is raised to one: the client never hammers the server.
      EXPECT_EQ(authorization->interval(), std::chrono::seconds(name == "DeviceIntervalZero" ? 1 : 2));
    }
  } else if (name.starts_with("Revo")) {
    const auto error = OAuthRevocation::revoke(server.url("/revoke"), "c", "tok-secret", "refresh_token");
    expectFailure(error ? &*error : nullptr, row.failure);
  } else {
    const auto result =
        OAuthTokenStatus::query(server.url("/introspect"), "c", "tok-secret", "refresh_token");
    expectFailure(std::get_if<Error>(&result), row.failure);
    if (const auto* read = std::get_if<TokenStatus>(&result)) {
      EXPECT_TRUE(read->active);
      EXPECT_EQ(read->scope, "read write");
      EXPECT_EQ(read->audience, (std::vector<std::string>{"api", "web"}));
      EXPECT_EQ(read->expiresAt, Date(std::chrono::seconds(1'800'000'000)));
      EXPECT_EQ(read->additionalData, (std::map<std::string, std::string>{{"ext", R"({"a":1})"}}));
    }
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].field("client_id"), "c");
  const bool device = name.starts_with("Device");
  EXPECT_EQ(requests[0].field("scope"), device ? std::optional<std::string>("read write") : std::nullopt);
  EXPECT_EQ(requests[0].field("token"), device ? std::nullopt : std::optional<std::string>("tok-secret"));
  EXPECT_EQ(requests[0].field("token_type_hint"),
            device ? std::nullopt : std::optional<std::string>("refresh_token"));
  expectMasked(lines, "tok-secret");
}

// A refusal is read the same way by all three (EndpointCall::refusal).
INSTANTIATE_TEST_SUITE_P(
    Replies, FormCalls,
    ::testing::ValuesIn(std::vector<Case>{
        {"DeviceGood",
         Reply::answer(200, R"({"device_code":"tok-secret","user_code":"WDJB-MJHT",)"
                            R"("verification_uri":"https://e.x","expires_in":1800,"interval":"2"})")},
        {"DeviceIntervalZero",
         Reply::answer(200, R"({"device_code":"tok-secret","user_code":"WDJB-MJHT",)"
                            R"("verification_uri":"https://e.x","expires_in":1800,"interval":0})")},
        {"DeviceRefused", Reply::answer(401, R"({"error":"invalid_client"})"), "invalid_client"},
        {"DeviceNoDeviceCode", Reply::answer(200, R"({"user_code":"A","verification_uri":"https://e.x"})"),
         "device_code"},
        {"DeviceControlInUserCode",
         Reply::answer(200, R"({"device_code":"d","user_code":"A\u001b[2J","verification_uri":)"
                            R"("https://e.x","expires_in":60})"),
         "user_code"},
        {"Revoked", Reply::answer(200, "")},
        {"RevocationUnavailable", Reply::answer(503, "busy", "text/plain"), "status 503"},
        {"Active", Reply::answer(200, R"({"active":true,"scope":"read write","aud":["api","web"],)"
                                      R"("exp":1800000000,"ext":{"a":1},"nbf":null})")},
        {"ActiveNotABoolean", Reply::answer(200, R"({"active":"true"})"), "active"},
        {"MemberOfTheWrongKind", Reply::answer(200, R"({"active":true,"exp":"soon"})"), "exp"}}),
    [](const auto& info) { return std::string(info.param.name); });

std::string verifierOf(const AuthorizationRequest& request) {
  return std::get<std::string>(request.exchangeParams().at("code_verifier"));
}

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

TEST(RedirectReading, BelievesNothingBeforeTheState) {
  const auto request =
      AuthorizationRequest::make("https://as.example/authorize", "app", "http://127.0.0.1:5/cb");
  ASSERT_TRUE(request);
  // The query ("STATE" stands for the request's state), and a word of the error (null: the code "a+b c").
  for (auto [query, failure] : std::vector<std::pair<std::string, const char*>>{
           {"?code=a%2Bb+c&state=STATE#frag", nullptr},
           {"?code=abc&state=STATE0", "state"},
           {"?code=abc", "state"},
           {"?error=access_denied&error_description=no+way&state=STATE", "no way"},
           {"?code=a&code=b&state=STATE", "repeats"},
           {"?state=STATE&code=", "no code"},
           {"?code=%zz&state=STATE", "query"}}) {
    SCOPED_TRACE(query);
    if (const auto at = query.find("STATE"); at != std::string::npos) {
      query.replace(at, 5, request->state());
    }
    const auto redirect = request->parseRedirect("/cb" + query);
    EXPECT_EQ(redirect.code, failure ? std::nullopt : std::optional<std::string>("a+b c"));
    expectFailure(redirect.error ? &*redirect.error->error() : nullptr, failure);
  }
}

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
