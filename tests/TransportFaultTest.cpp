// Token requests against a loopback server that misbehaves on purpose: each fault must end in
// exactly one completion carrying a transport error of the right code.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/OAuthContext.hpp>

#include "support/CompletionRecorder.hpp"
#include "support/ScriptedServer.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using namespace std::chrono_literals;
using test::CompletionRecorder;
using test::ScriptedServer;

constexpr std::string_view tokenBody =
    R"({"access_token":"2YotnFZFEjr1zCsicMWpAA","token_type":"bearer","expires_in":3600,)"
    R"("refresh_token":"tGzv3JOkF0XG5Qx2TlKWIA","scope":"read"})";

struct Fault {
  const char* name;
  ScriptedServer::Script script;
  std::int64_t code;  // NSURLErrorDomain
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.name;
}

class TransportFaultTest : public ::testing::TestWithParam<Fault> {
 protected:
  void SetUp() override {
    setDebugSink(nullptr);
    OAuthContext::sharedInstance().timeoutInterval = 1.0;
  }
  void TearDown() override {
    OAuthContext::sharedInstance().timeoutInterval = 30.0;
    resetDebugSink();
  }
};

// Writes `bytes` one at a time, 100 ms apart, until the client gives up.
void drip(ScriptedServer::Connection& connection, std::string_view bytes) {
  for (const char c : bytes) {
    if (!connection.send(std::string_view(&c, 1)) || !connection.pauseFor(100ms)) {
      return;
    }
  }
}

const Fault faults[] = {
    {"ClosedBeforeReply", [](ScriptedServer::Connection&) {}, -1005},
    {"ClosedInStatusLine", [](ScriptedServer::Connection& c) { c.send("HTTP/1.1 20"); }, -1005},
    {"ClosedInHead", [](ScriptedServer::Connection& c) { c.send("HTTP/1.1 200 OK\r\nContent-Ty"); }, -1005},
    {"ClosedInBody",
     [](ScriptedServer::Connection& c) {
       const std::string reply = ScriptedServer::jsonReply(200, tokenBody);
       c.send(std::string_view(reply).substr(0, reply.size() - 20));
     },
     -1005},
    {"ClosedInChunk",
     [](ScriptedServer::Connection& c) {
       c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n{\"access_token\":");
     },
     -1005},
    {"NotHttp", [](ScriptedServer::Connection& c) { c.send("SSH-2.0-OpenSSH_9.2\r\n\r\n"); }, -1},
    {"StatusWithoutCode", [](ScriptedServer::Connection& c) { c.send("HTTP/1.1 OK\r\n\r\n{}"); }, -1},
    {"BadContentLength",
     [](ScriptedServer::Connection& c) { c.send("HTTP/1.1 200 OK\r\nContent-Length: ten\r\n\r\n{}"); }, -1},
    {"BadChunkSize",
     [](ScriptedServer::Connection& c) {
       c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n{}\r\n0\r\n\r\n");
     },
     -1005},  // libcurl reports a broken chunk as a failed receive
    {"BodyDrippedPastTimeout",
     [](ScriptedServer::Connection& c) {
       c.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
              std::to_string(tokenBody.size()) + "\r\n\r\n");
       drip(c, tokenBody);
     },
     -1001},
    {"HeadDrippedPastTimeout",
     [](ScriptedServer::Connection& c) { drip(c, ScriptedServer::jsonReply(200, tokenBody)); }, -1001},
    {"SilentPastTimeout", [](ScriptedServer::Connection& c) { c.pauseFor(5s); }, -1001},
};

TEST_P(TransportFaultTest, EndsInExactlyOneTransportError) {
  const Fault& fault = GetParam();
  CompletionRecorder recorder;
  {
    ScriptedServer server(fault.script);
    OAuthContext::sharedInstance().getAccessToken(server.url(), "app", "alice", "secret",
                                                  recorder.completion());
    ASSERT_TRUE(recorder.waitFor(1));
  }  // the server is gone: every connection of the request has ended
  ASSERT_EQ(recorder.callsPerGrant(), std::vector<std::size_t>{1});
  const auto results = recorder.results();
  ASSERT_TRUE(results[0]->hasError());
  const Error& error = *results[0]->error();
  EXPECT_EQ(error.domain, Error::urlErrorDomain);
  EXPECT_EQ(error.code, fault.code) << error.localizedDescription() << " / "
                                    << error.localizedFailureReason().value_or("no reason");
  EXPECT_EQ(results[0]->serializeToToken(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Faults, TransportFaultTest, ::testing::ValuesIn(faults),
                         [](const auto& info) { return std::string(info.param.name); });

// The control: the same server machinery answering properly gives a token, so the faults above
// fail for their own reason.
TEST(TransportFaultControlTest, WellFormedReplyGivesToken) {
  setDebugSink(nullptr);
  CompletionRecorder recorder;
  {
    ScriptedServer server(
        [](ScriptedServer::Connection& c) { c.send(ScriptedServer::jsonReply(200, tokenBody)); });
    OAuthContext::sharedInstance().getAccessToken(server.url(), "app", "alice", "secret",
                                                  recorder.completion());
    ASSERT_TRUE(recorder.waitFor(1));
  }
  ASSERT_EQ(recorder.callsPerGrant(), std::vector<std::size_t>{1});
  const auto results = recorder.results();
  ASSERT_FALSE(results[0]->hasError()) << results[0]->errorDescription().value_or("");
  resetDebugSink();
}

// A scheme libcurl is not allowed to speak is still the URL's fault, not the server's.
TEST(TransportFaultControlTest, UnsupportedSchemeIsAnUnsupportedUrl) {
  setDebugSink(nullptr);
  CompletionRecorder recorder;
  OAuthContext::sharedInstance().getAccessToken("ftp://127.0.0.1:9/token", "app", "alice", "secret",
                                                recorder.completion());
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_EQ(recorder.callsPerGrant(), std::vector<std::size_t>{1});
  const auto result = recorder.results()[0];
  ASSERT_TRUE(result->hasError());
  EXPECT_EQ(result->error()->domain, Error::urlErrorDomain);
  EXPECT_EQ(result->error()->code, -1002);
  resetDebugSink();
}

// Over HTTPS, a certificate for another host name or one that has expired is refused by the
// default verification: exactly one completion, certificate untrusted.
TEST(TransportFaultTlsTest, WrongHostAndExpiredCertificatesAreUntrusted) {
  setDebugSink(nullptr);
  for (const auto kind : {test::TestCertificate::Kind::wrongHost, test::TestCertificate::Kind::expired}) {
    CompletionRecorder recorder;
    {
      test::TokenEndpoint endpoint(kind);
      OAuthContext::sharedInstance().getAccessToken(endpoint.url(), "app", "alice", "secret",
                                                    recorder.completion());
      ASSERT_TRUE(recorder.waitFor(1));
      EXPECT_TRUE(endpoint.requests().empty()) << "no request reaches an untrusted server";
    }
    ASSERT_EQ(recorder.callsPerGrant(), std::vector<std::size_t>{1});
    const auto result = recorder.results()[0];
    ASSERT_TRUE(result->hasError());
    EXPECT_EQ(result->error()->domain, Error::urlErrorDomain);
    EXPECT_EQ(result->error()->code, -1202) << result->error()->localizedFailureReason().value_or("");
  }
  resetDebugSink();
}

// A body without a length that streams past the 1 MiB limit on an open connection: reading stops
// at the limit and the reply is refused as too large, long before the request's timeout.
TEST(TransportFaultControlTest, EndlessBodyStopsAtTheLimit) {
  setDebugSink(nullptr);
  OAuthContext::sharedInstance().timeoutInterval = 30.0;
  CompletionRecorder recorder;
  {
    ScriptedServer server([](ScriptedServer::Connection& c) {
      const std::string block(64 * 1024, ' ');
      bool open = c.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"access_token\":\"");
      for (int sent = 0; open && sent < 64 * 16 * 4; ++sent) {  // 64 MiB at most
        open = c.send(block);
      }
      c.pauseFor(60s);
    });
    OAuthContext::sharedInstance().getAccessToken(server.url(), "app", "alice", "secret",
                                                  recorder.completion());
    ASSERT_TRUE(recorder.waitFor(1));
  }
  const auto result = recorder.results()[0];
  ASSERT_TRUE(result && result->hasError());
  EXPECT_EQ(result->error()->code, -1103) << result->error()->localizedDescription();
  resetDebugSink();
}

}  // namespace
}  // namespace tervala
