// DPoP-bound tokens end to end on the loopback endpoint, which checks every proof as a server
// does (signature by the key in its header, htm, htu, iat, a jti never seen before, the nonce it
// asked for): the nonce rows with their one retry, the replies of the wrong kind, the refresh of a
// stored bound token with its own key, and the header pair of resource requests.
#include <gtest/gtest.h>

#include <tervala/AuthorizationRequest.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/ProofKey.hpp>
#include <tervala/SettingsStore.hpp>
#include <tervala/TokenSource.hpp>

#include <set>
#include <string>
#include <vector>

#include "jose/Jws.hpp"
#include "platform/Base64.hpp"
#include "platform/PkceMaterial.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using nlohmann::json;

// What the endpoint learnt of one request's proof; `problem` says what a server would refuse.
struct SeenProof {
  std::string problem;
  std::string thumbprint;
  std::optional<std::string> nonce;
  std::optional<std::string> ath;
};

// Checks proofs as an authorization or resource server does; jti values are remembered across
// requests, so a replayed proof is caught.
class ProofChecker {
 public:
  SeenProof check(const std::string& proof, std::string_view method, std::string_view url) {
    SeenProof seen;
    const auto dot = proof.find('.');
    const auto header = platform::decodeBase64Url(std::string_view(proof).substr(0, dot));
    if (dot == std::string::npos || !header) {
      seen.problem = "no JWS";
      return seen;
    }
    const auto parsedHeader = json::parse(header->begin(), header->end(), nullptr, false);
    auto jwk = jose::Jwk::fromJson(parsedHeader.value("jwk", json::object()));
    if (!std::holds_alternative<jose::Jwk>(jwk) || parsedHeader.value("typ", "") != "dpop+jwt") {
      seen.problem = "no dpop+jwt with a jwk";
      return seen;
    }
    const auto verified = jose::verifyCompact(proof, std::get<jose::Jwk>(jwk));
    if (!std::holds_alternative<jose::VerifiedJws>(verified)) {
      seen.problem = "signature";
      return seen;
    }
    const auto& claims = std::get<jose::VerifiedJws>(verified).payload;
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const std::lock_guard lock(mutex_);
    if (claims.value("htm", "") != method || claims.value("htu", "") != url) {
      seen.problem = "htm/htu";
    } else if (std::abs(claims.value("iat", std::int64_t{0}) - now) > 60) {
      seen.problem = "iat";
    } else if (!jtis_.insert(claims.value("jti", "")).second) {
      seen.problem = "jti replayed";
    }
    seen.thumbprint = std::get<jose::Jwk>(jwk).thumbprint();
    if (claims.contains("nonce")) {
      seen.nonce = claims["nonce"].get<std::string>();
    }
    if (claims.contains("ath")) {
      seen.ath = claims["ath"].get<std::string>();
    }
    return seen;
  }

 private:
  std::mutex mutex_;
  std::set<std::string> jtis_;
};

constexpr std::string_view dpopToken =
    R"({"access_token":"bound-access","token_type":"DPoP","expires_in":3600,"refresh_token":"r2",)"
    R"("scope":"read"})";

class DpopBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    context.setProofKey(*ProofKey::generate());
    context.clientAuthentication = ClientAuthentication::form;
    context.clientSecret.reset();
  }
  void TearDown() override {
    context.setProofKey(std::nullopt);
    context.clientAuthentication = ClientAuthentication::form;
    context.clientSecret.reset();
  }

  // Serves token requests: each proof checked (a faulty one fails the test), and a new nonce
  // "n<request number>" demanded when `demands` says so, told whether the proof had the latest.
  void serveDemanding(test::TokenEndpoint& server, std::function<bool(bool)> demands) {
    server.setHandler([this, &server, demands](const test::RecordedRequest& request) {
      const auto proof = request.header("DPoP");
      const auto seen = proofs.check(proof.value_or(""), "POST", server.url());
      EXPECT_EQ(seen.problem, "") << "request " << served;
      std::lock_guard lock(mutex);
      const std::size_t index = served++;
      nonceSeen.push_back(seen.nonce.value_or(""));
      if (demands(latest && seen.nonce == latest)) {
        latest = "n" + std::to_string(index);
        return test::Reply::answer(400, R"({"error":"use_dpop_nonce"})").withHeader("DPoP-Nonce", *latest);
      }
      return test::Reply::answer(200, std::string(dpopToken));
    });
  }

  OAuthContext& context = OAuthContext::sharedInstance();
  test::TokenEndpoint endpoint;
  ProofChecker proofs;
  std::mutex mutex;
  std::size_t served = 0;
  std::vector<std::string> nonceSeen;
  std::optional<std::string> latest;
};

// A nonce asked for once is answered by one retry and sent on later requests to the same server;
// a server that wants a new nonce every time gets exactly one retry per grant, never a loop.
TEST_F(DpopBinding, NonceDemandsGetOneRetryAndTheNonceIsRemembered) {
  struct Row {
    const char* name;
    std::function<bool(bool)> demands;  // told whether the proof had the latest nonce
    ClientAuthentication method;
    std::vector<std::string> nonces;  // the nonce each request carried
    bool granted;
  };
  const auto stale = [](bool latestNonce) { return !latestNonce; };
  const std::vector<Row> rows{
      {"once", stale, ClientAuthentication::form, {"", "n0", "n0"}, true},
      {"storm", [](bool) { return true; }, ClientAuthentication::form, {"", "n0", "n1", "n2"}, false},
      {"assertion", stale, ClientAuthentication::clientSecretJwt, {"", "n0", "n0"}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::TokenEndpoint server;  // a server of its own, so no nonce is remembered for it yet
    served = 0;
    nonceSeen.clear();
    latest.reset();
    context.clientAuthentication = row.method;
    context.clientSecret = std::string(32, 's');
    serveDemanding(server, row.demands);
    for (int grant = 0; grant < 2; ++grant) {
      const auto result = context.getClientAccessToken(server.url(), "client");
      EXPECT_EQ(!result->hasError(), row.granted) << result->serializeToJson();
    }
    EXPECT_EQ(nonceSeen, row.nonces);
    const auto requests = server.requests();
    if (row.method == ClientAuthentication::clientSecretJwt) {
      EXPECT_NE(requests[0].field("client_assertion"), requests[1].field("client_assertion"));
    }
  }
}

// A nonce that may not be sent back in a header is not: the refusal is the result.
TEST_F(DpopBinding, ANonceThatMayNotBeSentBackEndsTheGrant) {
  for (const std::string nonce : {"has blank", "quo\"te", ""}) {
    endpoint.setReply(
        test::Reply::answer(400, R"({"error":"use_dpop_nonce"})").withHeader("DPoP-Nonce", nonce));
    const auto before = endpoint.requests().size();
    const auto result = context.getClientAccessToken(endpoint.url(), "client");
    EXPECT_TRUE(result->hasError());
    EXPECT_EQ(endpoint.requests().size(), before + 1) << nonce;
  }
}

// A DPoP token granted without a key is an error (it could never be used); a bearer token
// granted with one is the server's word that it binds nothing, and is kept; a DPoP token has no
// header of its own, and the authorization request names the key.
TEST_F(DpopBinding, TheTokenTypeIsHeldToTheKey) {
  endpoint.setReply(test::Reply::answer(200, std::string(dpopToken)));
  auto token = context.getClientAccessToken(endpoint.url(), "client")->serializeToToken();
  ASSERT_TRUE(token);
  EXPECT_EQ(token->tokenType(), "DPoP");
  EXPECT_EQ(token->createAuthorizationHeader(), std::nullopt);
  const auto request = AuthorizationRequest::make("https://as.example/auth", "client", "http://127.0.0.1/cb");
  EXPECT_NE(request->url().find("&dpop_jkt=" + context.proofKey()->thumbprint()), std::string::npos);

  context.setProofKey(std::nullopt);
  EXPECT_TRUE(context.getClientAccessToken(endpoint.url(), "client")->hasError());
  EXPECT_EQ(endpoint.requests().back().header("DPoP"), std::nullopt);
  context.setProofKey(*ProofKey::generate(ProofKey::Algorithm::eddsa));
  endpoint.setReply(test::Reply{});
  const auto bearer = context.getClientAccessToken(endpoint.url(), "client")->serializeToToken();
  EXPECT_EQ(bearer->createAuthorizationHeader(), "Bearer test-access");
}

// A stored bound token keeps its key in the settings file; its refresh proves the same key and
// the new token stays bound to it. Archives without a key load as before.
TEST_F(DpopBinding, AStoredBoundTokenIsRefreshedWithItsOwnKey) {
  const test::TemporaryFolder folder;
  SettingsStore settings(folder / "settings.sqlite3");
  const auto key = *ProofKey::generate(ProofKey::Algorithm::eddsa);
  OAuthToken expired("old-access", "DPoP", "r1", std::chrono::system_clock::now() - std::chrono::hours(1),
                     "");
  expired.setProofKey(key);
  ASSERT_TRUE(expired.store(settings));
  EXPECT_EQ(OAuthToken::retrieve(settings)->proofKey()->thumbprint(), key.thumbprint());
  std::string thumbprint;
  endpoint.setHandler([&](const test::RecordedRequest& request) {
    const auto seen = proofs.check(request.header("DPoP").value_or(""), "POST", endpoint.url());
    EXPECT_EQ(seen.problem, "");
    thumbprint = seen.thumbprint;
    return test::Reply::answer(200, std::string(dpopToken));
  });
  TokenSource source(endpoint.url(), "client", settings);
  const auto answer = source.token();
  ASSERT_TRUE(answer.token) << answer.error->localizedDescription();
  EXPECT_EQ(thumbprint, key.thumbprint());
  EXPECT_EQ(OAuthToken::retrieve(settings)->proofKey()->thumbprint(), key.thumbprint());
  EXPECT_FALSE(source.authorizationHeader().header);

  OAuthToken bearer("a", "Bearer", "r", std::chrono::system_clock::now(), "");
  ASSERT_TRUE(bearer.store(settings));
  const auto back = OAuthToken::retrieve(settings);
  EXPECT_FALSE(back->proofKey());
  EXPECT_EQ(test::archiveOf(*back), test::archiveOf(bearer));
}

// The header pair of a resource request, and the pair again after a nonce challenge; each row
// a challenge and whether it is one.
TEST_F(DpopBinding, ResourceRequestsGetTheHeaderPairAndAnswerANonceChallenge) {
  OAuthToken token("bound-access", "DPoP", "r", std::chrono::system_clock::now() + std::chrono::hours(1), "");
  const auto key = *ProofKey::generate();
  token.setProofKey(key);
  const OAuthToken copied = token;  // copies keep the key
  const auto pair = copied.createProofHeaders("GET", "https://rs.example/data?q=1#f");
  ASSERT_TRUE(pair) << pair.reason();
  EXPECT_EQ(pair->authorization, "DPoP bound-access");
  const auto seen = proofs.check(pair->dpop, "GET", "https://rs.example/data");
  EXPECT_EQ(seen.problem, "");
  EXPECT_EQ(seen.thumbprint, key.thumbprint());
  EXPECT_EQ(seen.ath, platform::s256Challenge("bound-access"));
  EXPECT_EQ(seen.nonce, std::nullopt);

  struct Row {
    long status;
    std::string_view challenge;
    std::string_view nonce;
    bool answered;
  };
  for (const auto& row : std::vector<Row>{
           {401, R"(DPoP error="use_dpop_nonce", error_description="fresh nonce")", "rs-1", true},
           {401, R"(Bearer realm="x", DPoP algs="ES256", error="use_dpop_nonce")", "rs-2", true},
           {401, R"(dpop error=use_dpop_nonce)", "rs-3", true},
           {401, R"(Bearer error="use_dpop_nonce")", "rs-4", false},
           {401, R"(DPoP error="invalid_token")", "rs-5", false},
           {403, R"(DPoP error="use_dpop_nonce")", "rs-6", false},
           {401, R"(DPoP error="use_dpop_nonce")", "bad nonce", false},
       }) {
    SCOPED_TRACE(row.challenge);
    const auto again =
        token.answerProofChallenge("POST", "https://rs.example/data", row.status, row.challenge, row.nonce);
    ASSERT_EQ(again.ok(), row.answered) << again.reason();
    if (again) {
      EXPECT_EQ(proofs.check(again->dpop, "POST", "https://rs.example/data").nonce, row.nonce);
    }
  }
  OAuthToken bearer("a", "Bearer", "r", std::chrono::system_clock::now(), "");
  EXPECT_FALSE(bearer.createProofHeaders("GET", "https://rs.example/"));
  token.setProofKey(std::nullopt);
  EXPECT_FALSE(token.createProofHeaders("GET", "https://rs.example/"));
}

}  // namespace
}  // namespace tervala
