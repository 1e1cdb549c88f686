// The exchange with a real token endpoint on loopback: the request on the wire, every kind of
// reply, transport failures from a server that misbehaves on purpose, the debug lines,
// concurrency and exiting with requests in flight.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "ReplyHandler.hpp"
#include "ReplyRedaction.hpp"
#include "platform/FormEncoding.hpp"
#include "support/OAuthProbe.hpp"
#include "support/ScriptedServer.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;
using test::CompletionProbe;
using test::DebugCapture;
using test::Reply;
using test::ScriptedServer;
using test::TokenEndpoint;

const std::string successBody =
    R"({"access_token":"AT-secret","token_type":"bearer","expires_in":3600,"refresh_token":"RT-secret",)"
    R"("scope":"read","id_token":"ID-secret","device_code":"DC-secret"})";

class OAuthExchange : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }

  // The password grant in the asynchronous form, or in the blocking form when `blocking`.
  std::shared_ptr<const OAuthResult> passwordGrant(const std::string& url, const std::string& password = "pw",
                                                   bool blocking = false) {
    if (blocking) {
      auto result = context.getAccessToken(url, "app", "alice", password);
      EXPECT_NE(result, nullptr);
      return result;
    }
    CompletionProbe probe;
    context.getAccessToken(url, "app", "alice", password, probe.completion());
    auto result = probe.wait();
    EXPECT_EQ(probe.calls(), 1);
    EXPECT_NE(probe.thread(), std::this_thread::get_id());
    return result;
  }

  OAuthContext& context = OAuthContext::sharedInstance();
  TokenEndpoint endpoint;
};

TEST_F(OAuthExchange, SendsOnePostWithExactlyTheTwoHeadersAndTheBody) {
  const std::string longValue(3000, 'x');  // long enough that a client would ask "Expect: 100-continue"
  CompletionProbe probe;
  context.getAccessToken(endpoint.url("/oauth/token?tenant=7"), "app", "alice", "pw",
                         OAuthContext::Params{{"padding", longValue}}, probe.completion());
  const auto result = probe.wait();
  ASSERT_TRUE(result && !result->hasError()) << result->errorDescription().value_or("");
  const auto requests = endpoint.requests();
  ASSERT_EQ(requests.size(), 1U);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/oauth/token");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
  EXPECT_FALSE(request.header("Expect"));
  EXPECT_FALSE(request.header("Cookie"));
  EXPECT_FALSE(request.header("Authorization"));
  EXPECT_EQ(request.body,
            "client_id=app&grant_type=password&padding=" + longValue + "&password=pw&username=alice");
}

TEST_F(OAuthExchange, EncodesReservedBlankAndNonAsciiBytesSoTheyArriveUnchanged) {
  const std::string password = "a&b=c+d%e f/\xC3\xBC*-._~\n";
  context.clientSecret = "s&=";
  context.scope = std::vector<std::string>{"r w", "\xE2\x82\xAC"};
  ASSERT_NE(passwordGrant(endpoint.url(), password), nullptr);
  const auto request = endpoint.requests().at(0);
  EXPECT_EQ(request.body,
            "client_id=app&client_secret=s%26%3D&scope=r+w%2C%E2%82%AC&grant_type=password&"
            "password=a%26b%3Dc%2Bd%25e+f%2F%C3%BC*-._%7E%0A&username=alice");
  EXPECT_EQ(request.field("password"), password);
  EXPECT_EQ(request.field("client_secret"), "s&=");
  EXPECT_EQ(request.field("scope"), "r w,\xE2\x82\xAC");
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

// Every reply through both forms of the grant, so they cannot drift.
class OAuthExchangeReply : public OAuthExchange, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(OAuthExchangeReply, BecomesExactlyOneErrorResult) {
  const ReplyCase& replyCase = GetParam();
  endpoint.setReply(replyCase.reply);
  for (const bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "blocking" : "asynchronous");
    const auto result = passwordGrant(endpoint.url(), "pw", blocking);
    ASSERT_TRUE(result && result->hasError());
    EXPECT_EQ(result->error()->domain, replyCase.domain);
    EXPECT_EQ(result->error()->code, replyCase.code);
    EXPECT_NE(result->error()->localizedDescription().find(replyCase.descriptionPart), std::string::npos)
        << result->error()->localizedDescription();
    // Hosts log the description: it never quotes the reply.
    EXPECT_EQ(result->error()->localizedDescription().find("SECRET"), std::string::npos)
        << result->error()->localizedDescription();
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
        ReplyCase{"InvalidUtf8", Reply::answer(200, "{\"access_token\":\"\xFF\"}"), "NSCocoaErrorDomain",
                  3840, "not valid"},
        ReplyCase{"TopLevelArray", Reply::answer(200, R"([{"access_token":"x"}])"), "NSCocoaErrorDomain",
                  3840, "top level of the JSON reply is not an object"},
        ReplyCase{"TooDeep", Reply::answer(200, nested(513)), "NSCocoaErrorDomain", 3840, "deeper than 512"},
        ReplyCase{"DeepButAllowedReachesTheResult", Reply::answer(200, nested(512)), "NSOAuthErrorDomain", -1,
                  ""},
        ReplyCase{"OneMebibyteReachesTheResult", Reply::answer(200, paddedTo(1U << 20U)),
                  "NSOAuthErrorDomain", -1, "Invalid or missing"},
        ReplyCase{"LargerThanOneMebibyte", Reply::answer(200, paddedTo((1U << 20U) + 1)), "NSURLErrorDomain",
                  -1103, "larger than 1048576"}),
    [](const auto& info) { return info.param.name; });

// The six grants, each through both forms: the same body on the wire, the same debug lines, the
// same result; only the asynchronous form calls back, on a thread of its own.
struct GrantCase {
  std::string name;
  std::function<void(const std::string&, OAuthContext::Completion)> async;
  std::function<OAuthContext::Result(const std::string&)> blocking;
};

void PrintTo(const GrantCase& grantCase, std::ostream* out) {
  *out << grantCase.name;
}

class OAuthExchangeForms : public OAuthExchange, public ::testing::WithParamInterface<GrantCase> {};

TEST_P(OAuthExchangeForms, BlockingAndAsynchronousFormsAgree) {
  endpoint.setReply(Reply::answer(200, successBody));
  context.clientSecret = "CS";
  context.scope = std::vector<std::string>{"read"};
  std::vector<std::string> lines[2];
  OAuthContext::Result results[2];
  for (const bool blocking : {false, true}) {
    const DebugCapture capture;
    if (blocking) {
      results[1] = GetParam().blocking(endpoint.url());
    } else {
      CompletionProbe probe;
      GetParam().async(endpoint.url(), probe.completion());
      results[0] = probe.wait();
      EXPECT_EQ(probe.calls(), 1);
      EXPECT_NE(probe.thread(), std::this_thread::get_id());
    }
    lines[blocking ? 1 : 0] = capture.lines();
  }
  ASSERT_TRUE(results[0] && results[1]);
  EXPECT_EQ(results[0]->serializeToJson(), results[1]->serializeToJson());
  EXPECT_FALSE(results[1]->hasError()) << results[1]->errorDescription().value_or("");
  EXPECT_EQ(lines[0], lines[1]);
  const auto requests = endpoint.requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[0].body, requests[1].body);
  EXPECT_EQ(context.getAccessToken("no url", "app", "c")->error()->localizedDescription(), "Invalid url");
}

const OAuthContext::Params extra{{"resource", std::string("api")}};
OAuthContext& shared = OAuthContext::sharedInstance();

INSTANTIATE_TEST_SUITE_P(
    Grants, OAuthExchangeForms,
    ::testing::Values(
        GrantCase{"Password", [](auto& url, auto done) { shared.getAccessToken(url, "app", "u", "p", done); },
                  [](auto& url) { return shared.getAccessToken(url, "app", "u", "p"); }},
        GrantCase{"PasswordParams",
                  [](auto& url, auto done) { shared.getAccessToken(url, "app", "u", "p", extra, done); },
                  [](auto& url) { return shared.getAccessToken(url, "app", "u", "p", extra); }},
        GrantCase{"Code", [](auto& url, auto done) { shared.getAccessToken(url, "app", "c", done); },
                  [](auto& url) { return shared.getAccessToken(url, "app", "c"); }},
        GrantCase{"CodeParams",
                  [](auto& url, auto done) { shared.getAccessToken(url, "app", "c", extra, done); },
                  [](auto& url) { return shared.getAccessToken(url, "app", "c", extra); }},
        GrantCase{"Refresh", [](auto& url, auto done) { shared.refreshAccessToken(url, "app", "r", done); },
                  [](auto& url) { return shared.refreshAccessToken(url, "app", "r"); }},
        GrantCase{"RefreshParams",
                  [](auto& url, auto done) { shared.refreshAccessToken(url, "app", "r", extra, done); },
                  [](auto& url) { return shared.refreshAccessToken(url, "app", "r", extra); }}),
    [](const auto& info) { return info.param.name; });

TEST_F(OAuthExchange, RefusedConnectionIsCannotConnectWithoutResponseLines) {
  const std::string url = endpoint.url();
  endpoint.stop();
  const DebugCapture capture;
  const auto result = passwordGrant(url);
  ASSERT_TRUE(result && result->hasError());
  EXPECT_EQ(result->error()->domain, "NSURLErrorDomain");
  EXPECT_EQ(result->error()->code, -1004);
  EXPECT_EQ(capture.lines().size(), 4U);  // two grant lines, executeRequest, the body
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.find("OAuth response"), std::string::npos) << line;
  }
}

TEST_F(OAuthExchange, DebugLinesFollowTheRoadInOrderAndHoldNoSecret) {
  endpoint.setReply(Reply::answer(200, successBody));
  context.clientSecret = "CS-secret";
  std::vector<std::string> lines;
  {
    const DebugCapture capture;
    CompletionProbe probe;
    context.refreshAccessToken(endpoint.url(), "app", "RT-old-secret",
                               OAuthContext::Params{{"password", std::string("PW-secret")},
                                                    {"code", std::string("CODE-secret")},
                                                    {"code_verifier", std::string("CV-secret")},
                                                    {"note", std::string("N-secret")},
                                                    {"username", std::string("alice")}},
                               probe.completion());
    const auto result = probe.wait();
    ASSERT_TRUE(result && !result->hasError());
    lines = capture.lines();
  }
  const std::vector<std::string> expected{
      "Tervala.OAuthContext refreshAccessToken(_:_:refreshToken:params:completion:)",
      "Tervala.OAuthContext executeRequest(_:_:params:completion:)",
      std::string("client_id=app&client_secret=***&code=***&code_verifier=***&grant_type=refresh_token&") +
          "note=***&password=***&refresh_token=***&username=alice",
      "OAuth response code: 200",
      std::string(R"(OAuth response body: {"access_token":"***","token_type":"bearer","expires_in":3600,)") +
          R"("refresh_token":"***","scope":"read","id_token":"***","device_code":"***"})",
      "Tervala.OAuthResult parse"};
  EXPECT_EQ(lines, expected);
  for (const auto& line : lines) {
    EXPECT_EQ(line.find("-secret"), std::string::npos) << line;
  }
}

TEST_F(OAuthExchange, ErrorReplyBodyLineMasksSecretsEvenWhenNotJson) {
  endpoint.setReply(Reply::answer(400, "oops {\"refresh_token\" : \"RT-secret\" \xFF"));
  std::vector<std::string> lines;
  {
    const DebugCapture capture;
    ASSERT_NE(passwordGrant(endpoint.url()), nullptr);
    lines = capture.lines();
  }
  ASSERT_EQ(lines.size(), 6U);
  EXPECT_EQ(lines[4], "OAuth response code: 400");
  EXPECT_EQ(lines[5], "OAuth response body: oops {\"refresh_token\" : \"***\" \xEF\xBF\xBD");
}

TEST_F(OAuthExchange, ConcurrentGrantsCompleteExactlyOnceEachWithTheirOwnReply) {
  endpoint.setHandler([](const test::RecordedRequest& request) {
    Reply reply;
    reply.body = R"({"access_token":")" + request.field("username").value_or("?") +
                 R"(","token_type":"bearer","expires_in":60,"refresh_token":"r","scope":""})";
    return reply;
  });
  constexpr std::size_t count = 100;
  test::CompletionRecorder recorder;
  std::vector<OAuthContext::Completion> completions;
  for (std::size_t index = 0; index < count; ++index) {
    completions.push_back(recorder.completion());
  }
  std::vector<std::thread> callers;
  for (std::size_t caller = 0; caller < 4; ++caller) {
    callers.emplace_back([&, caller] {
      for (std::size_t index = caller; index < count; index += 4) {
        context.getAccessToken(endpoint.url(), "app", "user" + std::to_string(index), "pw",
                               completions[index]);
      }
    });
  }
  for (auto& caller : callers) {
    caller.join();
  }
  ASSERT_TRUE(recorder.waitFor(count));
  std::this_thread::sleep_for(50ms);  // a second call would show by now
  EXPECT_EQ(recorder.callsPerGrant(), std::vector<std::size_t>(count, 1));
  const auto results = recorder.results();
  for (std::size_t index = 0; index < count; ++index) {
    ASSERT_TRUE(results[index] && !results[index]->hasError()) << index;
    EXPECT_EQ(results[index]->serializeToToken()->accessToken(), "user" + std::to_string(index));
  }
}

TEST(OAuthExchangeExit, ProcessExitsCleanlyWithRequestsInFlight) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const ScriptedServer silent([](ScriptedServer::Connection& c) { c.pauseFor(60s); });
  const std::string url = silent.url();
  EXPECT_EXIT(
      {
        setDebugSink(nullptr);
        for (int index = 0; index < 20; ++index) {
          OAuthContext::sharedInstance().getAccessToken(url, "app", "u", "p", [](auto) {});
        }
        std::this_thread::sleep_for(200ms);  // let them connect and wait
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(OAuthReplyHandler, ReplyWithoutHttpStatusWritesNilAndStillParses) {
  std::vector<std::string> lines;
  std::shared_ptr<const OAuthResult> result;
  {
    const DebugCapture capture;
    const std::string body = R"({"error":"x"})";
    result = ReplyHandler::resultFromBody(std::nullopt, Data(body.begin(), body.end()));
    lines = capture.lines();
  }
  ASSERT_TRUE(result && result->hasError());
  EXPECT_EQ(result->error()->domain, "NSOAuthErrorDomain");
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines[0], "OAuth response code: nil");
  EXPECT_EQ(lines[1], R"(OAuth response body: {"error":"x"})");
  setDebugSink(nullptr);
}

TEST(OAuthReplyRedaction, ShowsOnlyHarmlessValuesWhereverTheyStand) {
  const std::string longKey = R"(\u0061\u0063\u0063\u0065\u0073\u0073\u005f\u0074\u006f\u006b\u0065\u006e)";
  const std::vector<std::pair<std::string, std::string>> cases{
      {R"({"access_token" :	"a\"b"})", R"({"access_token" :	"***"})"},
      {R"({"access\u005ftoken":"a"})", R"({"access\u005ftoken":"***"})"},
      {"{\"" + longKey + "\":\"AT\"}", "{\"" + longKey + "\":\"***\"}"},
      {R"({"x":{"mac_key":"a","issued_token":"b"},"scope":"access_token"})",
       R"({"x":{"mac_key":"***","issued_token":"***"},"scope":"access_token"})"},
      {R"({"device_secret":1234,"token_type":"access_token","expires_in":60})",
       R"({"device_secret":"***","token_type":"access_token","expires_in":60})"},
      {R"({"sc\u006fpe":"read","error":"e","error_description":"d","error_uri":"u"})",
       R"({"sc\u006fpe":"read","error":"e","error_description":"d","error_uri":"u"})"},
      {R"(["access_token","AT"])", R"(["***","***"])"},
      {R"({"refresh_token":"cut off)", R"({"refresh_token":"***")"},
      {R"({"access_token)", R"({"***")"}};
  for (const auto& [body, redacted] : cases) {
    EXPECT_EQ(redactReplyBody(body), redacted) << body;
  }
}

TEST(OAuthFormEncoding, EveryByteRoundTripsAndOnlySafeCharactersRemain) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) {
    all.push_back(static_cast<char>(byte));
  }
  const std::string encoded(platform::view(platform::formUrlEncode(all)));
  for (const char c : encoded) {
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                std::string_view("*-._+%").find(c) != std::string_view::npos)
        << static_cast<int>(c);
  }
  const auto decoded = test::decodeForm("k=" + encoded);
  ASSERT_EQ(decoded.size(), 1U);
  EXPECT_EQ(decoded[0].second, all);
  EXPECT_EQ(platform::view(platform::formUrlEncode(" +%&=~\xC3\xA9")), "+%2B%25%26%3D%7E%C3%A9");
}

// One password grant against a server running `script` on each connection, with a 1 s timeout
// unless `timeout` says otherwise; null when no result came within 10 s. The server is gone when it
// returns: every connection has ended, so a second completion would have run by then.
std::shared_ptr<const OAuthResult> grantAgainst(ScriptedServer::Script script, double timeout = 1.0) {
  test::resetSharedContext();
  OAuthContext::sharedInstance().timeoutInterval = timeout;
  CompletionProbe probe;
  std::shared_ptr<const OAuthResult> result;
  {
    const ScriptedServer server(std::move(script));
    OAuthContext::sharedInstance().getAccessToken(server.url(), "app", "alice", "secret", probe.completion());
    result = probe.wait();  // while the server lives: closing it would end a transfer that hangs on
  }
  test::resetSharedContext();
  EXPECT_EQ(probe.calls(), 1);
  return result;
}

struct Fault {
  const char* name;
  ScriptedServer::Script script;
  std::int64_t code;  // NSURLErrorDomain
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.name;
}

class TransportFaultTest : public ::testing::TestWithParam<Fault> {};

// Writes `bytes` one at a time, 100 ms apart, until the client gives up.
void drip(ScriptedServer::Connection& connection, std::string_view bytes) {
  for (const char c : bytes) {
    if (!connection.send(std::string_view(&c, 1)) || !connection.pauseFor(100ms)) {
      return;
    }
  }
}

TEST_P(TransportFaultTest, EndsInExactlyOneTransportError) {
  const auto result = grantAgainst(GetParam().script);
  ASSERT_TRUE(result && result->hasError());
  EXPECT_EQ(result->error()->domain, Error::urlErrorDomain);
  EXPECT_EQ(result->error()->code, GetParam().code) << result->error()->localizedFailureReason().value_or("");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransportFaultTest,
    ::testing::Values(
        Fault{"ClosedBeforeReply", [](ScriptedServer::Connection&) {}, -1005},
        Fault{"ClosedInHead", [](ScriptedServer::Connection& c) { c.send("HTTP/1.1 200 OK\r\nContent-Ty"); },
              -1005},
        Fault{"ClosedInBody",
              [](ScriptedServer::Connection& c) {
                const std::string reply = ScriptedServer::jsonReply(200, successBody);
                c.send(std::string_view(reply).substr(0, reply.size() - 20));
              },
              -1005},
        Fault{"NotHttp", [](ScriptedServer::Connection& c) { c.send("SSH-2.0-OpenSSH_9.2\r\n\r\n"); }, -1},
        Fault{"StatusWithoutCode", [](ScriptedServer::Connection& c) { c.send("HTTP/1.1 OK\r\n\r\n{}"); },
              -1},
        Fault{
            "BadContentLength",
            [](ScriptedServer::Connection& c) { c.send("HTTP/1.1 200 OK\r\nContent-Length: ten\r\n\r\n{}"); },
            -1},
        Fault{"BodyDrippedPastTimeout",
              [](ScriptedServer::Connection& c) {
                c.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                       std::to_string(successBody.size()) + "\r\n\r\n");
                drip(c, successBody);
              },
              -1001},
        Fault{"SilentPastTimeout", [](ScriptedServer::Connection& c) { c.pauseFor(5s); }, -1001}),
    [](const auto& info) { return std::string(info.param.name); });

// The control: the same server machinery answering properly gives a token, so the faults above
// fail for their own reason; and a body without a length that streams past the 1 MiB limit on an
// open connection stops at the limit, long before the request's timeout.
TEST(TransportFaultControlTest, WellFormedReplyGivesToken) {
  const auto result = grantAgainst(
      [](ScriptedServer::Connection& c) { c.send(ScriptedServer::jsonReply(200, successBody)); });
  ASSERT_TRUE(result && !result->hasError()) << result->errorDescription().value_or("");
}

TEST(TransportFaultControlTest, EndlessBodyStopsAtTheLimit) {
  const auto result = grantAgainst(
      [](ScriptedServer::Connection& c) {
        const std::string block(std::size_t{64} * 1024, ' ');
        bool open = c.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"access_token\":\"");
        for (int sent = 0; open && sent < 64 * 16 * 4; ++sent) {  // 64 MiB at most
          open = c.send(block);
        }
        c.pauseFor(60s);
      },
      30.0);
  ASSERT_TRUE(result && result->hasError());
  EXPECT_EQ(result->error()->code, -1103) << result->error()->localizedDescription();
}

// A scheme libcurl is not allowed to speak is still the URL's fault, not the server's.
TEST_F(OAuthExchange, UnsupportedSchemeIsAnUnsupportedUrl) {
  const auto result = passwordGrant("ftp://127.0.0.1:9/token");
  ASSERT_TRUE(result && result->hasError());
  EXPECT_EQ(result->error()->domain, Error::urlErrorDomain);
  EXPECT_EQ(result->error()->code, -1002);
}

}  // namespace
}  // namespace tervala
