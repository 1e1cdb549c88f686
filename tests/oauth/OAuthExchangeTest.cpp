// The shared context's grants against a real token endpoint on loopback: URL checks, the form
// body each grant builds and the client's authentication, the request on the wire, every kind of
// reply (transport failures from a server that misbehaves on purpose among them), the lenient
// reading of replies, the debug lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <tuple>

#include <tervala/KeyedArchiver.hpp>
#include <tervala/KeyedUnarchiver.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "oauth/ReplyRedaction.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;
using test::DebugCapture;
using test::Reply;
using Call = std::function<OAuthContext::Result(OAuthContext&, const std::string& url)>;

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
  OAuthContext::Result passwordGrant(const std::string& url, bool blocking = false) {
    if (blocking) {
      return context.getAccessToken(url, "app", "alice", "pw");
    }
    test::CompletionRecorder recorder;
    context.getAccessToken(url, "app", "alice", "pw", recorder.completion());
    const auto grant = recorder.single();
    EXPECT_EQ(grant.calls, 1U);
    EXPECT_NE(grant.thread, std::this_thread::get_id());
    return grant.result;
  }

  // A refresh grant sending "RT-sent", or a password grant, answered with `body`.
  OAuthContext::Result grant(bool refresh, const std::string& body) {
    endpoint.setReply(Reply::answer(200, body));
    return refresh ? context.refreshAccessToken(endpoint.url(), "app", "RT-sent")
                   : context.getAccessToken(endpoint.url(), "app", "alice", "pw");
  }

  OAuthContext& context = OAuthContext::sharedInstance();
  test::TokenEndpoint endpoint;
};
using OAuthContextGrant = OAuthExchange;
using LenientReplies = OAuthExchange;

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
  friend std::ostream& operator<<(std::ostream& out, const ReplyCase& row) { return out << row.name; }
};

class OAuthExchangeReply : public OAuthExchange, public ::testing::WithParamInterface<ReplyCase> {};

// Both forms of the grant, so they cannot drift.
TEST_P(OAuthExchangeReply, BecomesExactlyOneErrorResult) {
  endpoint.setReply(GetParam().reply);
  for (const bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "blocking" : "asynchronous");
    const auto result = passwordGrant(endpoint.url(), blocking);
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
    ::testing::ValuesIn(std::vector<ReplyCase>{
        {"OAuthError400", Reply::answer(400, R"({"error":"invalid_grant","error_description":"Bad pw"})"),
         "NSOAuthErrorDomain", -1, "Bad pw"},
        {"RedirectIsNotFollowed",
         Reply::answer(302, R"({"error":"moved"})").withHeader("Location", "http://127.0.0.1:1/elsewhere"),
         "NSOAuthErrorDomain", -1, "moved"},
        {"EmptyBody", Reply::answer(200, ""), "NSCocoaErrorDomain", 3840, "not valid JSON"},
        {"ControlCharacterInToken", Reply::answer(200, "{\"access_token\":\"AT-SECRET\n\"}"),
         "NSCocoaErrorDomain", 3840, "control character"},
        // The JSON reader stops at a NUL: what follows one must not pass unread.
        {"NulAfterTheObject", Reply::answer(200, std::string(successBody) + '\0' + "{}"),
         "NSCocoaErrorDomain", 3840, "NUL byte"},
        {"TopLevelArray", Reply::answer(200, R"([{"access_token":"x"}])"), "NSCocoaErrorDomain", 3840,
         "not an object"},
        {"TooDeep", Reply::answer(200, nested(513)), "NSCocoaErrorDomain", 3840, "deeper than 512"},
        {"DeepButAllowed", Reply::answer(200, nested(512)), "NSOAuthErrorDomain", -1, ""},
        {"OneMebibyte", Reply::answer(200, paddedTo(1U << 20U)), "NSOAuthErrorDomain", -1,
         "Invalid or missing"},
        {"LargerThanOneMebibyte", Reply::answer(200, paddedTo((1U << 20U) + 1)), "NSURLErrorDomain", -1103,
         "larger than 1048576"},
        // Without a length, on a connection held open: only the transfer's own cap ends it in time.
        {"EndlessBodyStopsAtTheLimit", Reply::endless(), "NSURLErrorDomain", -1103, ""},
        {"SilentPastTimeout", Reply::silent(), "NSURLErrorDomain", -1001, ""},
        {"ClosedBeforeReply", Reply::raw(""), "NSURLErrorDomain", -1005, ""},
        {"ClosedInBody", Reply::raw(truncatedReply()), "NSURLErrorDomain", -1005, ""},
        // libcurl takes a head cut short for a whole reply with an empty body.
        {"ClosedInHead", Reply::raw("HTTP/1.1 200 OK\r\nContent-Ty"), "NSURLErrorDomain", -1005, ""},
        {"StatusWithoutCode", Reply::raw("HTTP/1.1 OK\r\n\r\n{}"), "NSURLErrorDomain", -1, ""},
        {"NotHttp", Reply::raw("SSH-2.0-OpenSSH_9.2\r\n\r\n"), "NSURLErrorDomain", -1, ""},
        {"BadContentLength", Reply::raw("HTTP/1.1 200 OK\r\nContent-Length: ten\r\n\r\n{}"),
         "NSURLErrorDomain", -1, ""}}),
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

  // An error reply's body is masked too, even when it is no JSON at all; what a server sends
  // reaches the line escaped: no byte of it sets a title or clears the screen.
  endpoint.setReply(Reply::answer(400, "{\"error\":\"\x1b]0;title\x07\x1b[2J\xC2\x9B\xE2\x80\xAE\xFF\"}"));
  const DebugCapture errorCapture;
  ASSERT_NE(passwordGrant(endpoint.url()), nullptr);
  const auto lines = errorCapture.lines();
  ASSERT_EQ(lines.size(), 6U);
  // The asynchronous short form writes its own line before the form it calls.
  EXPECT_EQ(lines[0], "Tervala.OAuthContext getAccessToken(_:_:username:password:completion:)");
  EXPECT_EQ(lines[1], "Tervala.OAuthContext getAccessToken(_:_:username:password:params:completion:)");
  EXPECT_EQ(lines[4], "OAuth response code: 400");
  EXPECT_EQ(
      lines[5],
      "OAuth response body: {\"error\":\"\\u001b]0;title\\u0007\\u001b[2J\\u009b\\u202e\xEF\xBF\xBD\"}");
}

TEST(OAuthReplyRedaction, ShowsOnlyHarmlessValuesWhereverTheyStand) {
  const std::string longKey = R"(\u0061\u0063\u0063\u0065\u0073\u0073\u005f\u0074\u006f\u006b\u0065\u006e)";
  for (const auto& [body, redacted] : std::vector<std::pair<std::string, std::string>>{
           {R"({"access_token" :	"a\"b"})", R"({"access_token" : "***"})"},
           // JSON stays JSON on one line: no byte order mark, blanks as spaces, hidden characters
           // (DEL, a tag above U+FFFF) as \u escapes.
           {"\xEF\xBB\xBF{\r\n\"error\":\"a\x7f\xF3\xA0\x80\x81\"}", R"({  "error":"a\u007f\udb40\udc01"})"},
           {"{\"" + longKey + "\":\"AT\"}", "{\"" + longKey + "\":\"***\"}"},
           {R"({"x":{"mac_key":"a"},"scope":"access_token"})",
            R"({"x":{"mac_key":"***"},"scope":"access_token"})"},
           {R"({"device_secret":1234,"expires_in":60})", R"({"device_secret":"***","expires_in":60})"},
           {R"({"sc\u006fpe":"read","error":"e","error_description":"d","error_uri":"u"})",
            R"({"sc\u006fpe":"read","error":"e","error_description":"d","error_uri":"u"})"},
           {R"(["access_token","AT"])", R"(["***","***"])"},
           {R"({"refresh_token":"cut off)", R"({"refresh_token":"***")"},
           {R"({access_token: AT, "scope": [42]})", R"({"***": "***", "scope": ["***"]})"},
           {"oops {\"refresh_token\" : \"RT\"", R"(***)"},
           {"access_token=AT&token_type=bearer&sc%6fpe=read&refresh_token=RT&=x&RT&",
            "access_token=***&token_type=bearer&sc%6fpe=read&refresh_token=***&***&***&"}}) {
    EXPECT_EQ(redactReplyBody(body), redacted) << body;
  }
}

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
  std::optional<std::string> clientSecret = std::nullopt;
  std::optional<std::vector<std::string>> scope = std::nullopt;
  ClientAuthentication method = ClientAuthentication::form;
  std::optional<std::pair<std::string, std::string>> basic = std::nullopt;  // as the server decodes it
  friend std::ostream& operator<<(std::ostream& out, const BodyCase& row) { return out << row.name; }
};

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
    ::testing::ValuesIn(std::vector<BodyCase>{
        {"EmptyFields", password("", ""), "client_id=app&grant_type=password&password=&username="},
        {"GrantFieldsWinOverParams",
         password("alice", "pw",
                  {{"grant_type", std::string("client_credentials")},
                   {"username", std::string("mallory")},
                   {"n", std::int64_t{-42}},
                   {"ratio", 0.1},
                   {"big", 1e21},
                   {"flag", true}}),
         "client_id=app&big=1e%2B21&flag=true&grant_type=password&n=-42&password=pw&ratio=0.1&"
         "username=alice"},
        {"CodeParams",
         code("app", {{"grant_type", std::string("x")},
                      {"code", std::string("y")},
                      {"refresh_token", std::string("z")}}),
         "client_id=app&code=c&grant_type=authorization_code&refresh_token=z"},
        {"EmptySecretAndScope", code("app"), "client_id=app&scope=&code=c&grant_type=authorization_code", "",
         std::vector<std::string>{}},
        {"ParamsRepeatTheClientFields",
         code("app", {{"client_id", std::string("other")}, {"scope", std::string("b")}}),
         "client_id=app&scope=a&client_id=other&code=c&grant_type=authorization_code&scope=b", std::nullopt,
         std::vector<std::string>{"a"}},
        {"BasicEncodesEachPart", code(awkwardId), "code=c&grant_type=authorization_code", awkwardSecret,
         std::nullopt, ClientAuthentication::basic, std::pair(awkwardId, awkwardSecret)},
        {"BasicWithoutSecret", code("app"), "code=c&grant_type=authorization_code", std::nullopt,
         std::nullopt, ClientAuthentication::basic, std::pair(std::string("app"), std::string())},
        {"NoneNeverSendsTheSecret", code("app"), "client_id=app&code=c&grant_type=authorization_code",
         "secret", std::nullopt, ClientAuthentication::none}}),
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

// A reply that begins with the access token and its type, then `middle` and `tail`.
std::string reply(std::string_view middle, std::string_view tail = {}) {
  std::string body(R"({"access_token":"AT","token_type":"bearer")");
  body.append(middle).append(tail);
  return body;
}

TEST_F(LenientReplies, EachAssumptionHasItsLineAndStrictRefusesItNamingTheField) {
  using Scope = OAuthToken::Scope;
  struct Row {
    bool refresh;
    std::optional<std::vector<std::string>> requested;
    std::string body;
    std::string line;  // after "Tervala.OAuthResult lenient: "
    std::string strictProblem;
    std::string refreshToken;
    Scope scope;
    std::optional<std::chrono::seconds> expiresIn;  // absent: unknown
  };
  const Date before = std::chrono::system_clock::now();
  for (const auto& row : std::vector<Row>{
           {true, std::nullopt, reply(R"(,"expires_in":60,"scope":"s"})"),
            "no refresh_token in the reply; keeping the refresh token that was sent",
            R"("refresh_token" is missing)", "RT-sent", Scope{"s"}, 60s},
           {false, std::nullopt, reply(R"(,"expires_in":60,"scope":"s"})"),
            "no refresh_token in the reply; the token has none", R"("refresh_token" is missing)", "",
            Scope{"s"}, 60s},
           {false, std::vector<std::string>{"read", "write"},
            reply(R"(,"expires_in":60,"refresh_token":"RT"})"),
            "no scope in the reply; assuming the requested scope", R"("scope" is missing)", "RT",
            Scope{"read", "write"}, 60s},
           {true, std::nullopt, reply(R"(,"expires_in":60,"refresh_token":"RT"})"),
            "no scope in the reply and none requested; scope unknown", R"("scope" is missing)", "RT", Scope{},
            60s},
           {false, std::nullopt, reply(R"(,"expires_in":"3600","refresh_token":"RT","scope":"s"})"),
            "expires_in is a text; reading it as 3600 seconds", R"("expires_in" is a string, not a number)",
            "RT", Scope{"s"}, 3600s},
           {false, std::nullopt, reply(R"(,"refresh_token":"RT","scope":"s"})"),
            "no expires_in in the reply; expiry unknown", R"("expires_in" is missing)", "RT", Scope{"s"},
            std::nullopt},
       }) {
    SCOPED_TRACE(row.line);
    context.scope = row.requested;
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
    EXPECT_EQ(token->refreshToken(), row.refreshToken);
    EXPECT_EQ(token->scope(), row.scope);
    if (row.expiresIn) {
      EXPECT_GE(*token->expiresOn(), before + *row.expiresIn);
      EXPECT_LE(*token->expiresOn(), std::chrono::system_clock::now() + *row.expiresIn);
    } else {
      EXPECT_EQ(token->expiresOn(), OAuthToken::unknownExpiry);
      EXPECT_FALSE(token->hasTokenExpired());
    }
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
