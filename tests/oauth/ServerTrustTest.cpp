// Server trust over HTTPS on loopback, with certificates made by the test: the default verdict,
// the host-name check, and a host delegate that accepts, rejects, pins or keeps the default.
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <atomic>
#include <tuple>

#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>

#include "platform/HttpTransfer.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::TestCertificate;
using test::TokenEndpoint;
using Kind = TestCertificate::Kind;

// Answers as told (or accepts exactly the pinned certificate) and remembers the verdict it heard.
struct RecordingDelegate : ServerTrustDelegate {
  explicit RecordingDelegate(ServerTrustDecision answer, std::optional<Data> pinned = std::nullopt)
      : answer(answer), pinned(std::move(pinned)) {}
  ServerTrustDecision evaluateServerTrust(const std::vector<Data>& chain, std::string_view /*host*/,
                                          bool defaultVerdict) override {
    ++calls;
    lastDefaultVerdict = defaultVerdict;
    if (!pinned) {
      return answer;
    }
    return !chain.empty() && chain.front() == *pinned ? ServerTrustDecision::accept
                                                      : ServerTrustDecision::reject;
  }

  const ServerTrustDecision answer;
  const std::optional<Data> pinned;
  std::atomic<int> calls{0};
  std::atomic<bool> lastDefaultVerdict{false};
};

class OAuthServerTrustDelegate : public ::testing::Test {
 protected:
  void SetUp() override { test::resetSharedContext(); }
  void TearDown() override { test::resetSharedContext(); }
};

TEST_F(OAuthServerTrustDelegate, DecidesWhetherTheCredentialsLeave) {
  enum class Asks { nobody, accept, reject, pinItsOwn, pinAnother };
  struct Row {
    const char* name;
    std::optional<Kind> kind;  // absent: plain HTTP
    Asks delegate;
    bool trusted;
  };
  for (const auto& row : std::vector<Row>{{"PlainHttpNeverAsks", std::nullopt, Asks::reject, true},
                                          {"Accepted", Kind::loopback, Asks::accept, true},
                                          {"Rejected", Kind::loopback, Asks::reject, false},
                                          {"Unknown", Kind::loopback, Asks::nobody, false},
                                          {"PinnedForAnotherHost", Kind::wrongHost, Asks::pinItsOwn, true},
                                          {"AnotherPinned", Kind::loopback, Asks::pinAnother, false}}) {
    SCOPED_TRACE(row.name);
    const auto endpoint =
        row.kind ? std::make_unique<TokenEndpoint>(*row.kind) : std::make_unique<TokenEndpoint>();
    const auto delegate = std::make_shared<RecordingDelegate>(
        row.delegate == Asks::accept ? ServerTrustDecision::accept : ServerTrustDecision::reject,
        row.delegate == Asks::pinItsOwn    ? std::optional(endpoint->certificate().der())
        : row.delegate == Asks::pinAnother ? std::optional(TestCertificate::make(Kind::loopback).der())
                                           : std::nullopt);
    auto& context = OAuthContext::sharedInstance();
    context.serverTrustDelegate = row.delegate == Asks::nobody ? nullptr : delegate;
    context.timeoutInterval = 5.0;
    const auto result = context.getAccessToken(endpoint->url(), "app", "alice", "pw");
    ASSERT_TRUE(result);
    EXPECT_EQ(delegate->calls > 0, row.kind && row.delegate != Asks::nobody);
    EXPECT_EQ(endpoint->requests().size(), row.trusted ? 1U : 0U);
    EXPECT_EQ(result->hasError(), !row.trusted) << result->errorDescription().value_or("");
    if (!row.trusted && result->hasError()) {
      EXPECT_EQ(result->error()->domain, "NSURLErrorDomain");
      EXPECT_EQ(result->error()->code, -1202) << result->error()->localizedFailureReason().value_or("");
      EXPECT_EQ(result->error()->localizedDescription().find("trust delegate") != std::string::npos,
                row.delegate != Asks::nobody);
    }
  }
}

// One transfer to `endpoint`, named by `host`, with `caFile` as the CA file the transfer trusts.
platform::HttpReply perform(const TokenEndpoint& endpoint, const std::optional<std::string>& caFile,
                            std::shared_ptr<ServerTrustDelegate> delegate,
                            const std::string& host = "127.0.0.1") {
  const std::string_view text = "grant_type=password";
  const platform::HttpRequest request{"https://" + host + ":" + std::to_string(endpoint.port()) + "/token",
                                      host,
                                      platform::SecretText(text.begin(), text.end()),
                                      5.0,
                                      std::move(delegate),
                                      {}};
  platform::TransferGate::Inside inside;
  return platform::HttpTransfer::perform(request, 1U << 20U, inside, caFile);
}

// A certificate the client trusts (its CA file names it) but issued for another host: only the
// host-name check can refuse it, on the library's own path and in a delegate's default verdict,
// for an address and for a name.
TEST(OAuthServerTrust, TrustedCertificateForAnotherHostIsUntrusted) {
  const test::TemporaryFolder folder;
  for (const auto kind : {Kind::loopback, Kind::wrongHost}) {
    const TokenEndpoint endpoint(kind);
    endpoint.certificate().writePem(folder / "ca.pem");
    for (const bool withDelegate : {false, true}) {
      for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(std::string(withDelegate ? "delegate keeping the default, " : "no delegate, ") + host);
        const auto delegate =
            std::make_shared<RecordingDelegate>(ServerTrustDecision::performDefaultHandling);
        const auto reply =
            perform(endpoint, (folder / "ca.pem").string(), withDelegate ? delegate : nullptr, host);
        // The delegate hears the same verdict, host check included.
        EXPECT_EQ(delegate->lastDefaultVerdict, withDelegate && kind == Kind::loopback);
        if (kind == Kind::loopback) {
          EXPECT_FALSE(reply.transportError) << reply.transportError->localizedFailureReason().value_or("");
        } else {
          ASSERT_TRUE(reply.transportError);
          EXPECT_EQ(reply.transportError->code, -1202);
        }
      }
    }
  }
}

// No CA file at all, as on a machine without one: the delegate still decides. A server offering only
// TLS below 1.2 is refused even when trusted.
TEST(OAuthServerTrust, DelegateDecidesWithoutACaFileButNeverBelowTls12) {
  for (const auto& [caFile, maxTls, answer, code] :
       std::vector<std::tuple<std::optional<std::string>, int, ServerTrustDecision, std::int64_t>>{
           {"/nonexistent/tervala/ca.crt", 0, ServerTrustDecision::accept, 0},
           {"/nonexistent/tervala/ca.crt", 0, ServerTrustDecision::reject, -1202},
           {std::nullopt, TLS1_1_VERSION, ServerTrustDecision::accept, -1200}}) {
    TokenEndpoint endpoint(Kind::loopback);
    if (maxTls != 0) {
      endpoint.setMaxTlsVersion(maxTls);
    }
    const auto reply = perform(endpoint, caFile, std::make_shared<RecordingDelegate>(answer));
    EXPECT_EQ(reply.transportError ? reply.transportError->code : 0, code) << maxTls;
    EXPECT_EQ(reply.statusCode == 200, code == 0);
    EXPECT_EQ(endpoint.requests().size(), code == 0 ? 1U : 0U);
  }
}

}  // namespace
}  // namespace tervala
