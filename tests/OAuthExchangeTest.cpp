// The exchange with a real token endpoint on loopback: the request on the wire, every kind of
// reply (transport failures from a server that misbehaves on purpose among them), the debug lines.
#include <gtest/gtest.h>

#include <thread>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "ReplyRedaction.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;
using test::DebugCapture;
using test::Reply;

constexpr const char* successBody =
    R"({"access_token":"AT-secret","token_type":"bearer","expires_in":3600,"refresh_token":"RT-secret",)"
    R"("scope":"read","id_token":"ID-secret","device_code":"DC-secret"})";

class OAuthExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    test::resetSharedContext();
    context.timeoutInterval = 1.0;
  }
  void TearDown() override { test::resetSharedContext(); }

  // The password grant, asynchronous (checked to call back once, on another thread) or blocking.
  OAuthContext::Result passwordGrant(const std::string& url, const std::string& password = "pw",
                                     bool blocking = false) {
    if (blocking) {
      return context.getAccessToken(url, "app", "alice", password);
    }
    test::CompletionRecorder recorder;
    context.getAccessToken(url, "app", "alice", password, recorder.completion());
    const auto grant = recorder.single();
    EXPECT_EQ(grant.calls, 1U);
    EXPECT_NE(grant.thread, std::this_thread::get_id());
    return grant.result;
  }

  OAuthContext& context = OAuthContext::sharedInstance();
  test::TokenEndpoint endpoint;
};

TEST_F(OAuthExchange, SendsOnePostWithItsTwoHeadersAndAnEncodedBody) {
  const std::string longValue(3000, 'x');  // long enough that a client would ask "Expect: 100-continue"
  context.clientSecret = "s&=";
  context.scope = std::vector<std::string>{"r w", "\xE2\x82\xAC"};
  const std::string password = "a&b=c+d%e f/\xC3\xBC*-._~\n";
  const auto result = context.getAccessToken(endpoint.url("/oauth/token?tenant=7"), "app", "alice", password,
                                             OAuthContext::Params{{"padding", longValue}});
  ASSERT_TRUE(result && !result->hasError()) << result->errorDescription().value_or("");
  const auto requests = endpoint.requests();
  ASSERT_EQ(requests.size(), 1U);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/oauth/token");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_FALSE(request.header("Expect") || request.header("Cookie") || request.header("Authorization"));
  EXPECT_EQ(request.body,
            "client_id=app&client_secret=s%26%3D&scope=r+w%2C%E2%82%AC&grant_type=password&padding=" +
                longValue + "&password=a%26b%3Dc%2Bd%25e+f%2F%C3%BC*-._%7E%0A&username=alice");
  EXPECT_EQ(request.field("password"), password);
}

struct ReplyCase {
  std::string name;
  Reply reply;
  std::string domain;
  std::int64_t code;
  std::string descriptionPart;
};

void PrintTo(const ReplyCase& replyCase, std::ostream* out) {
  *out << replyCase.name;
}

class OAuthExchangeReply : public OAuthExchange, public ::testing::WithParamInterface<ReplyCase> {};

// Both forms of the grant, so they cannot drift.
TEST_P(OAuthExchangeReply, BecomesExactlyOneErrorResult) {
  endpoint.setReply(GetParam().reply);
  for (const bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "blocking" : "asynchronous");
    const auto result = passwordGrant(endpoint.url(), "pw", blocking);
    ASSERT_TRUE(result && result->hasError());
    const std::string said = result->error()->localizedDescription();
    EXPECT_EQ(result->error()->domain, GetParam().domain);
    EXPECT_EQ(result->error()->code, GetParam().code);
    EXPECT_NE(said.find(GetParam().descriptionPart), std::string::npos) << said;
    EXPECT_EQ(said.find("SECRET"), std::string::npos) << said;  // hosts log it: it never quotes the reply
  }
  EXPECT_EQ(endpoint.requests().size(), 2U);  // never retried, never redirected
}

std::string nested(std::size_t depth) {
  return R"({"access_token":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

// A reply of exactly `size` bytes without token fields: it reaches the parser or is refused first.
std::string paddedTo(std::size_t size) {
  return R"({"pad":")" + std::string(size - 10, 'p') + "\"}";
}

std::string truncatedReply() {
  const std::string body(successBody);
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, body.size() - 20);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, OAuthExchangeReply,
    ::testing::Values(
        ReplyCase{"OAuthError400",
                  Reply::answer(400, R"({"error":"invalid_grant","error_description":"Bad pw"})"),
                  "NSOAuthErrorDomain", -1, "Bad pw"},
        ReplyCase{
            "RedirectIsNotFollowed",
            Reply::answer(302, R"({"error":"moved"})").withHeader("Location", "http://127.0.0.1:1/elsewhere"),
            "NSOAuthErrorDomain", -1, "moved"},
        ReplyCase{"EmptyBody", Reply::answer(200, ""), "NSCocoaErrorDomain", 3840, "not valid JSON"},
        ReplyCase{"ControlCharacterInToken", Reply::answer(200, "{\"access_token\":\"AT-SECRET\n\"}"),
                  "NSCocoaErrorDomain", 3840, "control character"},
        ReplyCase{"TopLevelArray", Reply::answer(200, R"([{"access_token":"x"}])"), "NSCocoaErrorDomain",
                  3840, "not an object"},
        ReplyCase{"TooDeep", Reply::answer(200, nested(513)), "NSCocoaErrorDomain", 3840, "deeper than 512"},
        ReplyCase{"DeepButAllowed", Reply::answer(200, nested(512)), "NSOAuthErrorDomain", -1, ""},
        ReplyCase{"OneMebibyte", Reply::answer(200, paddedTo(1U << 20U)), "NSOAuthErrorDomain", -1,
                  "Invalid or missing"},
        ReplyCase{"LargerThanOneMebibyte", Reply::answer(200, paddedTo((1U << 20U) + 1)), "NSURLErrorDomain",
                  -1103, "larger than 1048576"},
        // Without a length, on a connection held open: only the transfer's own cap ends it in time.
        ReplyCase{"EndlessBodyStopsAtTheLimit", Reply::endless(), "NSURLErrorDomain", -1103, ""},
        ReplyCase{"SilentPastTimeout", Reply::silent(), "NSURLErrorDomain", -1001, ""},
        ReplyCase{"ClosedBeforeReply", Reply::raw(""), "NSURLErrorDomain", -1005, ""},
        ReplyCase{"ClosedInBody", Reply::raw(truncatedReply()), "NSURLErrorDomain", -1005, ""},
        // libcurl takes a head cut short for a whole reply with an empty body.
        ReplyCase{"ClosedInHead", Reply::raw("HTTP/1.1 200 OK\r\nContent-Ty"), "NSURLErrorDomain", -1005, ""},
        ReplyCase{"StatusWithoutCode", Reply::raw("HTTP/1.1 OK\r\n\r\n{}"), "NSURLErrorDomain", -1, ""},
        ReplyCase{"NotHttp", Reply::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n"), "NSURLErrorDomain", -1, ""},
        ReplyCase{"BadContentLength", Reply::raw("HTTP/1.1 200 OK\r\nContent-Length: ten\r\n\r\n{}"),
                  "NSURLErrorDomain", -1, ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(OAuthExchange, UrlsThatReachNoEndpointAreUrlErrorsWithoutReplyLines) {
  const std::string url = endpoint.url();
  endpoint.stop();
  for (const auto& [target, code] :
       {std::pair<std::string, std::int64_t>{url, -1004}, {"ftp://127.0.0.1:9/token", -1002}}) {
    const DebugCapture capture;
    const auto result = passwordGrant(target);
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->domain, Error::urlErrorDomain);
    EXPECT_EQ(result->error()->code, code) << target;
    EXPECT_EQ(capture.lines().size(), 4U);  // two grant lines, executeRequest, the body
  }
}

TEST_F(OAuthExchange, DebugLinesFollowTheRoadInOrderAndHoldNoSecret) {
  endpoint.setReply(Reply::answer(200, successBody));
  context.clientSecret = "CS-secret";
  const DebugCapture capture;
  const auto result =
      context.refreshAccessToken(endpoint.url(), "app", "RT-old-secret",
                                 OAuthContext::Params{{"password", std::string("PW-secret")},
                                                      {"code_verifier", std::string("CV-secret")},
                                                      {"note", std::string("N-secret")},
                                                      {"username", std::string("alice")}});
  ASSERT_TRUE(result && !result->hasError());
  const std::vector<std::string> expected{
      "Tervala.OAuthContext refreshAccessToken(_:_:refreshToken:params:completion:)",
      "Tervala.OAuthContext executeRequest(_:_:params:completion:)",
      std::string("client_id=app&client_secret=***&code_verifier=***&grant_type=refresh_token&note=***&") +
          "password=***&refresh_token=***&username=alice",
      "OAuth response code: 200",
      std::string(R"(OAuth response body: {"access_token":"***","token_type":"bearer","expires_in":3600,)") +
          R"("refresh_token":"***","scope":"read","id_token":"***","device_code":"***"})",
      "Tervala.OAuthResult parse"};
  EXPECT_EQ(capture.lines(), expected);

  // An error reply's body is masked too, even when it is no JSON at all.
  endpoint.setReply(Reply::answer(400, "oops {\"refresh_token\" : \"RT-secret\" \xFF"));
  const DebugCapture errorCapture;
  ASSERT_NE(passwordGrant(endpoint.url()), nullptr);
  const auto lines = errorCapture.lines();
  ASSERT_EQ(lines.size(), 6U);
  EXPECT_EQ(lines[4], "OAuth response code: 400");
  EXPECT_EQ(lines[5], "OAuth response body: oops {\"refresh_token\" : \"***\" \xEF\xBF\xBD");
}

TEST(OAuthReplyRedaction, ShowsOnlyHarmlessValuesWhereverTheyStand) {
  const std::string longKey = R"(\u0061\u0063\u0063\u0065\u0073\u0073\u005f\u0074\u006f\u006b\u0065\u006e)";
  for (const auto& [body, redacted] : std::vector<std::pair<std::string, std::string>>{
           {R"({"access_token" :	"a\"b"})", R"({"access_token" :	"***"})"},
           {"{\"" + longKey + "\":\"AT\"}", "{\"" + longKey + "\":\"***\"}"},
           {R"({"x":{"mac_key":"a"},"scope":"access_token"})",
            R"({"x":{"mac_key":"***"},"scope":"access_token"})"},
           {R"({"device_secret":1234,"expires_in":60})", R"({"device_secret":"***","expires_in":60})"},
           {R"({"sc\u006fpe":"read","error":"e","error_description":"d","error_uri":"u"})",
            R"({"sc\u006fpe":"read","error":"e","error_description":"d","error_uri":"u"})"},
           {R"(["access_token","AT"])", R"(["***","***"])"},
           {R"({"refresh_token":"cut off)", R"({"refresh_token":"***")"}}) {
    EXPECT_EQ(redactReplyBody(body), redacted) << body;
  }
}

}  // namespace
}  // namespace tervala
