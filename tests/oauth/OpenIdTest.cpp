// OpenID Connect beside the grants: the ID token's verification with the provider's cached key
// set, UserInfo and pushed authorization requests, against a loopback server that sends what a
// real provider cannot be made to send.
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <tervala/AuthorizationRequest.hpp>
#include <tervala/IdTokenClaims.hpp>
#include <tervala/OAuthContext.hpp>
#include <tervala/OpenIdRequests.hpp>

#include "jose/Jws.hpp"
#include "oauth/JwksCache.hpp"
#include "platform/Base64.hpp"
#include "support/OAuthProbe.hpp"
#include "support/TokenEndpoint.hpp"

namespace tervala {
namespace {

using nlohmann::json;
using test::RecordedRequest;
using test::Reply;

std::string base64Url(std::string_view bytes) {
  const auto text =
      platform::encodeBase64Url({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  return {text.begin(), text.end()};
}

// A provider's signing key, with its kid.
jose::Jwk rsaKey(const std::string& kid) {
  json member = std::get<jose::Jwk>(jose::Jwk::fromKey(jose::PkeyHandle(EVP_RSA_gen(2048)))).toJson(true);
  member["kid"] = kid;
  return std::get<jose::Jwk>(jose::Jwk::fromJson(member));
}

std::string keySet(const std::vector<const jose::Jwk*>& keys) {
  json set{{"keys", json::array()}};
  for (const auto* key : keys) {
    set["keys"].push_back(key->toJson());
  }
  return set.dump();
}

class OpenId : public ::testing::Test {
 protected:
  void SetUp() override {
    test::resetSharedContext();
    server.setHandler([this](const RecordedRequest& request) {
      const std::lock_guard lock(publishing);
      // A provider that says not to keep its keys is still asked once per few minutes at most.
      auto keys = Reply::answer(200, published);
      keys.headers = {{"Cache-Control", "no-cache, max-age=0"}};
      return request.path == "/jwks" ? keys : Reply::answer(404, "{}");
    });
  }
  void TearDown() override { test::resetSharedContext(); }

  [[nodiscard]] std::size_t keySetFetches() const {
    std::size_t count = 0;
    for (const auto& request : server.requests()) {
      count += request.path == "/jwks" ? 1 : 0;
    }
    return count;
  }
  [[nodiscard]] json claims() const {
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return {{"iss", issuer},
            {"sub", "alice"},
            {"aud", "app"},
            {"exp", now + 300},
            {"iat", now - 10},
            {"nonce", "n-1"},
            {"email", "a@example.org"},
            {"at_hash", base64Url("")}};
  }
  [[nodiscard]] std::string sign(const jose::Jwk& key, const json& payload) const {
    return std::get<std::string>(
        jose::signCompact(key, jose::JwsAlgorithm::RS256, {{"kid", *key.kid()}}, payload.dump()));
  }
  [[nodiscard]] IdTokenVerifier::Result verify(const std::string& token) const {
    return IdTokenVerifier::verify(token, {issuer, "app", server.url("/jwks"), "n-1", std::nullopt});
  }

  test::TokenEndpoint server;
  const std::string issuer = "https://id.example";
  jose::Jwk first = rsaKey("k1");
  std::mutex publishing;  // the server's thread reads what the test publishes
  std::string published = keySet({&first});
};

// What a real provider cannot be made to send is refused, each for its own reason.
TEST_F(OpenId, IdTokensAreVerifiedAsOpenIdConnectSays) {
  const auto good = claims();
  const auto with = [&](const char* name, json value) {
    auto changed = good;
    changed[name] = std::move(value);
    return sign(first, changed);
  };
  const auto unsignedToken = [&](const json& header) {
    const std::string input = base64Url(header.dump()) + "." + base64Url(good.dump());
    // HMAC keyed with the public key's own bytes: what a verifier that trusts "alg" accepts.
    const std::string keyBytes = first.toJson().at("n").get<std::string>();
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    unsigned int length = 0;
    HMAC(EVP_sha256(), keyBytes.data(), static_cast<int>(keyBytes.size()),
         reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac.data(), &length);
    return input + "." +
           (header["alg"] == "none" ? "" : base64Url({reinterpret_cast<char*>(mac.data()), length}));
  };
  const auto accessHash = [](const std::string& token) {
    std::array<unsigned char, 32> hash{};
    SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), hash.data());
    return base64Url({reinterpret_cast<char*>(hash.data()), 16});
  };
  auto twoAudiences = good;
  twoAudiences["aud"] = {"app", "other"};
  struct Row {
    const char* name;
    std::string token;
    const char* failure;  // null: verified
    std::optional<std::string> accessToken = std::nullopt;
  };
  for (const auto& row : std::vector<Row>{
           {"Good", sign(first, good), nullptr},
           {"GoodAtHash", with("at_hash", accessHash("access")), nullptr, "access"},
           {"AlgNone", unsignedToken({{"alg", "none"}}), "none"},
           {"Hs256UnderThePublicKey", unsignedToken({{"alg", "HS256"}, {"kid", "k1"}}), "HMAC"},
           {"UnknownKid", sign(rsaKey("k9"), good), "no key"},
           {"Expired", with("exp", good["iat"].get<long>() - 120), "expired"},
           {"IssuedInTheFuture", with("iat", good["exp"].get<long>()), "future"},
           {"OtherAudience", with("aud", "intruder"), "aud"},
           {"OtherIssuer", with("iss", "https://evil.example"), "iss"},
           {"OtherNonce", with("nonce", "n-2"), "nonce"},
           {"NoNonce", with("nonce", nullptr), "nonce"},
           {"BadAtHash", with("at_hash", accessHash("other")), "at_hash", "access"},
           {"TwoAudiencesWithoutAzp", sign(first, twoAudiences), "azp"},
           {"AzpOfAnother", with("azp", "other"), "azp"},
       }) {
    SCOPED_TRACE(row.name);
    const auto result =
        IdTokenVerifier::verify(row.token, {issuer, "app", server.url("/jwks"), "n-1", row.accessToken});
    const auto* error = std::get_if<Error>(&result);
    const std::string said = error == nullptr ? "verified" : error->localizedFailureReason().value_or("");
    EXPECT_EQ(error == nullptr, row.failure == nullptr) << said;
    if (row.failure != nullptr) {
      EXPECT_NE(said.find(row.failure), std::string::npos) << said;
    } else if (error == nullptr) {
      const auto& verified = std::get<IdTokenClaims>(result);
      EXPECT_EQ(verified.subject, "alice");
      EXPECT_EQ(verified.audience, std::vector<std::string>{"app"});
      EXPECT_EQ(verified.email, "a@example.org");
      EXPECT_EQ(json::parse(verified.json).at("nonce"), "n-1");
    }
  }
}

// The set is fetched once for many verifications; a rotated key is fetched once, and a second
// unknown kid within the minute sends no request.
TEST_F(OpenId, KeySetIsCachedAndRefetchedOnceForARotatedKey) {
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(std::holds_alternative<IdTokenClaims>(verify(sign(first, claims()))));
  }
  EXPECT_EQ(keySetFetches(), 1U);
  const auto second = rsaKey("k2");
  {
    const std::lock_guard lock(publishing);
    published = keySet({&first, &second});
  }
  EXPECT_TRUE(std::holds_alternative<IdTokenClaims>(verify(sign(second, claims()))));
  EXPECT_EQ(keySetFetches(), 2U);
  EXPECT_TRUE(std::holds_alternative<Error>(verify(sign(rsaKey("k3"), claims()))));
  EXPECT_EQ(keySetFetches(), 2U);
}

TEST(JwksCache, KeepsASetForItsMaxAgeWithinBounds) {
  using std::chrono::hours, std::chrono::minutes, std::chrono::seconds;
  for (const auto& [said, kept] : {std::pair<std::string, JwksCache::Clock::duration>("", hours(1)),
                                   {"public, max-age=600", seconds(600)},
                                   {"Max-Age=120", minutes(5)},
                                   {"no-store", minutes(5)},
                                   {"max-age=99999999", hours(24)},
                                   {"max-age=999999999999999999999999", hours(24)},
                                   {"max-age=soon", hours(1)}}) {
    EXPECT_EQ(JwksCache::lifetimeOf(said), kept) << said;
  }
}

// The nonce goes with the openid scope only; a pushed request sends the parameters with the
// client's credentials and gives the browser client_id and request_uri alone.
TEST_F(OpenId, PushedRequestsCarryTheParametersAndTheNonce) {
  const auto plain =
      AuthorizationRequest::make(server.url("/authorize"), "app", "http://127.0.0.1/cb", {"read"});
  const auto openId =
      AuthorizationRequest::make(server.url("/authorize"), "app", "http://127.0.0.1/cb", {"openid", "email"});
  EXPECT_TRUE(plain->nonce().empty());
  ASSERT_EQ(openId->nonce().size(), 43U);
  EXPECT_NE(openId->url().find("&nonce=" + openId->nonce()), std::string::npos);
  OAuthContext::sharedInstance().clientSecret = "app-secret";
  for (const auto& [name, reply, failure] :
       {std::tuple("Pushed", Reply::answer(201, R"({"request_uri":"urn:r:1","expires_in":60})"), ""),
        std::tuple("Refused", Reply::answer(400, R"({"error":"invalid_request","error_description":"no"})"),
                   "no"),
        std::tuple("NoReference", Reply::answer(201, R"({"expires_in":60})"), "request_uri")}) {
    SCOPED_TRACE(name);
    server.setReply(reply);
    const auto url =
        OpenIdRequests::pushAuthorization(server.url("/par"), server.url("/authorize"), "app", *openId);
    if (*failure == '\0') {
      EXPECT_EQ(std::get<std::string>(url),
                server.url("/authorize") + "?client_id=app&request_uri=urn%3Ar%3A1");
      const auto pushed = server.requests().back();
      EXPECT_EQ(pushed.field("nonce"), openId->nonce());
      EXPECT_EQ(pushed.field("client_secret"), "app-secret");
      EXPECT_EQ(pushed.field("code_challenge_method"), "S256");
    } else {
      const auto* error = std::get_if<Error>(&url);
      ASSERT_NE(error, nullptr);
      EXPECT_NE((error->localizedDescription() + error->localizedFailureReason().value_or("")).find(failure),
                std::string::npos);
    }
  }
}

// UserInfo is asked with the bearer token, and its "sub" must be the ID token's.
TEST_F(OpenId, UserInfoAnswersForTheIdTokensSubjectOnly) {
  server.setReply(Reply::answer(200, R"({"sub":"alice","email":"a@example.org"})"));
  const auto headers = OpenIdRequests::bearerHeaders("access-1");
  const auto same = OpenIdRequests::userInfo(server.url("/me"), headers, "alice");
  EXPECT_EQ(json::parse(std::get<std::string>(same)).at("email"), "a@example.org");
  EXPECT_EQ(server.requests().back().header("authorization"), "Bearer access-1");
  const auto other = OpenIdRequests::userInfo(server.url("/me"), headers, "mallory");
  ASSERT_TRUE(std::holds_alternative<Error>(other));
  server.setReply(Reply::answer(401, R"({"error":"invalid_token"})"));
  EXPECT_TRUE(std::holds_alternative<Error>(OpenIdRequests::userInfo(server.url("/me"), headers)));
}

}  // namespace
}  // namespace tervala
