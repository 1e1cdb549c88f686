// DPoP keys and proofs: each proof verified by the JOSE verifier against the key in its own
// header, its header and claims exactly, the target, nonce and token-hash rows, and the key's
// thumbprint and private JWK against published values.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "jose/Jws.hpp"
#include "oauth/DpopProof.hpp"
#include "platform/Base64.hpp"

namespace tervala {
namespace {

using jose::JoseRefusal;
using jose::JwsAlgorithm;
using nlohmann::json;

// RFC 8037 appendix A.1's Ed25519 key; A.3 gives its thumbprint.
constexpr std::string_view rfc8037Ed25519 =
    R"({"crv":"Ed25519","d":"nWGxne_9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A","kty":"OKP",)"
    R"("x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"})";

DpopKey keyOf(const std::variant<DpopKey, JoseRefusal>& made) {
  EXPECT_TRUE(std::holds_alternative<DpopKey>(made));
  return std::get<DpopKey>(DpopKey::fromPrivateJwk(platform::view(std::get<DpopKey>(made).privateJwk())));
}

/// The proof verified with the key its own header carries.
jose::VerifiedJws verified(const std::string& proof) {
  const auto header = platform::decodeBase64Url(std::string_view(proof).substr(0, proof.find('.')));
  auto result = jose::verifyCompact(
      proof, std::get<jose::Jwk>(jose::Jwk::fromJson(json::parse(header->begin(), header->end())["jwk"])));
  EXPECT_TRUE(std::holds_alternative<jose::VerifiedJws>(result));
  return std::get<jose::VerifiedJws>(std::move(result));
}

TEST(DpopTest, ProofsVerifyWithTheKeyTheyCarryAndHoldExactlyTheirMembers) {
  const auto now = std::chrono::system_clock::time_point(std::chrono::milliseconds(1733600000999));
  for (const auto algorithm : {JwsAlgorithm::ES256, JwsAlgorithm::EdDSA}) {
    SCOPED_TRACE(jose::nameOf(algorithm));
    const DpopKey key = keyOf(DpopKey::generate(algorithm));
    EXPECT_TRUE(!key.publicJwk().contains("d") &&
                json::parse(platform::view(key.privateJwk())).contains("d"));
    std::set<std::string> seen;
    for (int proofs = 0; proofs < 32; ++proofs) {
      const auto proof = makeDpopProof(key, {"POST", "https://as.example/token"}, now);
      ASSERT_TRUE(std::holds_alternative<std::string>(proof));
      const auto checked = verified(std::get<std::string>(proof));
      EXPECT_EQ(checked.header,
                json({{"typ", "dpop+jwt"}, {"alg", jose::nameOf(algorithm)}, {"jwk", key.publicJwk()}}));
      EXPECT_EQ(std::get<jose::Jwk>(jose::Jwk::fromJson(checked.header["jwk"])).thumbprint(),
                key.thumbprint());
      const auto& jti = checked.payload["jti"].get_ref<const std::string&>();
      EXPECT_GE(platform::decodeBase64Url(jti)->size(), 16U);
      EXPECT_TRUE(seen.insert(jti).second) << "a jti came twice";
      EXPECT_EQ(
          checked.payload,
          json({{"htm", "POST"}, {"htu", "https://as.example/token"}, {"iat", 1733600000}, {"jti", jti}}));
    }
  }
}

TEST(DpopTest, TargetNonceAndTokenRows) {
  const DpopKey key = keyOf(DpopKey::generate());
  struct Row {
    const char* name;
    DpopTarget target;
    std::variant<json, DpopRefusal> expected;  // the claims that must be there, or the refusal
  };
  const std::string nonce = "eyJ7S_zG.eyJH0-Z.HX4w-7v";
  const std::vector<Row> rows{
      {"query and fragment",
       {"GET", "https://rs.example/r?x=1&y=2#f"},
       json{{"htu", "https://rs.example/r"}}},
      {"case, default port", {"POST", "HTTPS://AS.Example:443/T"}, json{{"htu", "https://as.example/T"}}},
      {"empty path", {"POST", "https://as.example?x"}, json{{"htu", "https://as.example/"}}},
      {"dot segments", {"POST", "http://127.0.0.1:8080/a/../t"}, json{{"htu", "http://127.0.0.1:8080/t"}}},
      {"IPv6 and another port", {"POST", "https://[::1]:80/token"}, json{{"htu", "https://[::1]:80/token"}}},
      {"another scheme", {"POST", "ftp://as.example/token"}, DpopRefusal::Url},
      {"user information", {"POST", "https://alice:pw@as.example/token"}, DpopRefusal::Url},
      {"BiDi override", {"POST", "https://as.example/\u202Enekot"}, DpopRefusal::Url},
      {"beyond ASCII", {"POST", "https://as.example/t\u00F6ken"}, DpopRefusal::Url},
      {"quote", {"POST", "https://as.example/a\"b"}, DpopRefusal::Url},
      {"method with a blank", {"GE T", "https://as.example/"}, DpopRefusal::Method},
      {"nonce", {"POST", "https://as.example/", nonce}, json{{"nonce", nonce}}},
      {"nonce with a blank", {"POST", "https://as.example/", "a b"}, DpopRefusal::Nonce},
      {"nonce with a quote", {"POST", "https://as.example/", "a\"b"}, DpopRefusal::Nonce},
      {"nonce with a backslash", {"POST", "https://as.example/", "a\\b"}, DpopRefusal::Nonce},
      {"empty nonce", {"POST", "https://as.example/", ""}, DpopRefusal::Nonce},
      {"token hash of the published example",
       {"GET", "https://resource.example.org/protectedresource", std::nullopt,
        "Kz~8mXK1EalYznwH-LC-1fBAo.4Ljp~zsPE_NeO.gxU"},
       json{{"htm", "GET"}, {"ath", "fUHyO2r2Z3DZ53EsNrWBb0xWXoaNy59IiKCAqksmQEo"}}},
      {"empty token", {"GET", "https://rs.example/", std::nullopt, ""}, DpopRefusal::AccessToken},
  };
  for (const auto& [name, target, expected] : rows) {
    SCOPED_TRACE(name);
    const auto proof = makeDpopProof(key, target);
    if (const auto* refusal = std::get_if<DpopRefusal>(&expected)) {
      const auto* made = std::get_if<DpopRefusal>(&proof);
      EXPECT_EQ(made ? std::optional(*made) : std::nullopt, *refusal);
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<std::string>(proof)) << describe(std::get<DpopRefusal>(proof));
    const auto claims = verified(std::get<std::string>(proof)).payload;
    for (const auto& [member, value] : std::get<json>(expected).items()) {
      EXPECT_EQ(claims[member], value) << member;
    }
  }
}

TEST(DpopTest, PrivateJwkRoundTripsAndOnlyOfferedKeysAreRead) {
  const auto known = DpopKey::fromPrivateJwk(rfc8037Ed25519);
  ASSERT_TRUE(std::holds_alternative<DpopKey>(known));
  const auto& key = std::get<DpopKey>(known);
  EXPECT_EQ(key.thumbprint(), "kPrK_qmxVWaYVA9wwBF6Iuo3vVzz7TxHCTwXBygrS4k");
  EXPECT_EQ(key.algorithm(), JwsAlgorithm::EdDSA);
  EXPECT_EQ(platform::view(key.privateJwk()), rfc8037Ed25519);
  // Members beside the key's own are not kept; a key_ops forbidding signatures would be one.
  json extra = json::parse(rfc8037Ed25519);
  extra["key_ops"] = json::array({"verify"});
  const auto reread = DpopKey::fromPrivateJwk(extra.dump());
  EXPECT_EQ(platform::view(std::get<DpopKey>(reread).privateJwk()), rfc8037Ed25519);

  extra.erase("d");
  const auto p384 = jose::Jwk::fromKey(jose::PkeyHandle(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384")));
  for (const auto& [text, refusal] : std::vector<std::pair<std::string, JoseRefusal>>{
           {extra.dump(), JoseRefusal::BadKey},
           {std::get<jose::Jwk>(p384).toJson(true).dump(), JoseRefusal::UnsupportedAlgorithm},
           {"[]", JoseRefusal::Malformed},
           {R"({"kty":{"nested":{}}})", JoseRefusal::Malformed}}) {
    SCOPED_TRACE(text);
    const auto made = DpopKey::fromPrivateJwk(text);
    ASSERT_TRUE(std::holds_alternative<JoseRefusal>(made));
    EXPECT_EQ(std::get<JoseRefusal>(made), refusal);
  }
  EXPECT_EQ(std::get<JoseRefusal>(DpopKey::generate(JwsAlgorithm::RS256)), JoseRefusal::UnsupportedAlgorithm);
}

}  // namespace
}  // namespace tervala
