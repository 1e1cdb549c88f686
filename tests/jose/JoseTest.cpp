// JOSE: JWK import and export, RFC 7638 thumbprints, compact JWS against the published RFC
// examples and in round trips for every algorithm, JWK set selection, and the refusals that
// always hold (alg none, HMAC against a public key, algorithms that do not fit their key...).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <tuple>
#include <vector>

#include "jose/Jws.hpp"
#include "platform/Base64.hpp"

namespace tervala::jose {
namespace {

using nlohmann::json;

// The RFCs print long values wrapped for display; the wrapping is no part of them.
std::string unwrapped(std::string_view text) {
  std::string value(text);
  std::erase(value, '\n');
  return value;
}

// RFC 7515 appendix A.2's RSA key and A.3's P-256 key; RFC 8037 appendix A.1's Ed25519 key.
const json rfcRsa = json::parse(unwrapped(R"({"kty":"RSA",
"n":"ofgWCuLjybRlzo0tZWJjNiuSfb4p4fAkd_wWJcyQoTbji9k0l8W26mPddxHmfHQp-Vaw-4qPCJrcS2mJPMEzP1Pt0Bm4d4QlL-yRT-SFd
2lZS-pCgNMsD1W_YpRPEwOWvG6b32690r2jZ47soMZo9wGzjb_7OMg0LOL-bSf63kpaSHSXndS5z5rexMdbBYUsLA9e-KXBdQOS-UTo7WTBEMa
2R2CapHg665xsmtdVMTBQY4uDZlxvb3qCo5ZwKh9kG4LT6_I5IhlJH7aGhyxXFvUK-DWNmoudF8NAco9_h9iaGNj8q2ethFkMLs91kzk2PAcDT
W9gb54h4FRWyuXpoQ","e":"AQAB",
"d":"Eq5xpGnNCivDflJsRQBXHx1hdR1k6Ulwe2JZD50LpXyWPEAeP88vLNO97IjlA7_GQ5sLKMgvfTeXZx9SE-7YwVol2NXOoAJe46sui395I
W_GO-pWJ1O0BkTGoVEn2bKVRUCgu-GjBVaYLU6f3l9kJfFNS3E0QbVdxzubSu3Mkqzjkn439X0M_V51gfpRLI9JYanrC4D4qAdGcopV_0ZHHzQ
lBjudU2QvXt4ehNYTCBr6XCLQUShb1juUO1ZdiYoFaFQT5Tw8bGUl_x_jTj3ccPDVZFD9pIuhLhBOneufuBiB4cS98l2SR_RQyGWSeWjnczT0Q
U91p1DhOVRuOopznQ",
"p":"4BzEEOtIpmVdVEZNCqS7baC4crd0pqnRH_5IB3jw3bcxGn6QLvnEtfdUdiYrqBdss1l58BQ3KhooKeQTa9AB0Hw_Py5PJdTJNPY8cQn7o
uZ2KKDcmnPGBY5t7yLc1QlQ5xHdwW1VhvKn-nXqhJTBgIPgtldC-KDV5z-y2XDwGUc",
"q":"uQPEfgmVtjL0Uyyx88GZFF1fOunH3-7cepKmtH4pxhtCoHqpWmT8YAmZxaewHgHAjLYsp1ZSe7zFYHj7C6ul7TjeLQeZD_YwD66t62wDm
pe_HlB-TnBA-njbglfIsRLtXlnDzQkv5dTltRJ11BKBBypeeF6689rjcJIDEz9RWdc",
"dp":"BwKfV3Akq5_MFZDFZCnW-wzl-CCo83WoZvnLQwCTeDv8uzluRSnm71I3QCLdhrqE2e9YkxvuxdBfpT_PI7Yz-FOKnu1R6HsJeDCjn12S
k3vmAktV2zb34MCdy7cpdTh_YVr7tss2u6vneTwrA86rZtu5Mbr1C1XsmvkxHQAdYo0",
"dq":"h_96-mK1R_7glhsum81dZxjTnYynPbZpHziZjeeHcXYsXaaMwkOlODsWa7I9xXDoRwbKgB719rrmI2oKr6N3Do9U0ajaHF-NKJnwgjMd
2w9cjz3_-kyNlxAr2v4IKhGNpmM5iIgOS1VZnOZ68m6_pbLBSp3nssTdlqvd0tIiTHU",
"qi":"IYd7DHOhrWvxkwPQsRM2tOgrjbcrfvtQJipd-DlcxyVuuM9sQLdgjVk2oy26F0EmpScGLq2MowX7fhd_QJQ3ydy5cY7YIBi87w93IKLE
dfnbJtoOPLUW0ITrJReOgo1cq9SbsxYawBgfp_gh6A5603k2-ZQwVK0JKSHuLFkuQ3U"})"));
const json rfcEc = {{"kty", "EC"},
                    {"crv", "P-256"},
                    {"x", "f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU"},
                    {"y", "x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a0"},
                    {"d", "jpsQnnGQmL-YBIffH1136cspYG6-0iY7X1fCE9-E9LI"}};
const json rfcEd25519 = {{"kty", "OKP"},
                         {"crv", "Ed25519"},
                         {"x", "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"},
                         {"d", "nWGxne_9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A"}};

const std::string rfcClaims =
    "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ";
const std::string rfc7515Rs256 = "eyJhbGciOiJSUzI1NiJ9." + rfcClaims + unwrapped(R"(
.cC4hiUPoj9Eetdgtv3hF80EGrhuB__dzERat0XF9g2VtQgr9PJbu3XOiZj5RZmh7AAuHIm4Bh-0Qc_lF5YKt_O8W2Fp5jujGbds9uJdbF9CUA
r7t1dnZcAcQjbKBYNX4BAynRFdiuB--f_nZLgrnbyTyWzO75vRK5h6xBArLIARNPvkSjtQBMHlb1L07Qe7K0GarZRmB_eSN9383LcOLn6_dO--
xi12jzDwusC-eOkHWEsqtFZESc6BfI7noOPqvhJ1phCnvWh6IeYI2w9QOYEUipUTI8np6LbgGY9Fs98rqVt5AXLIhWkWywlVmtVrBp0igcN_Io
ypGlUPQGe77Rw)");
const std::string rfc7515Es256 =
    "eyJhbGciOiJFUzI1NiJ9." + rfcClaims +
    ".DtEhU3ljbEg8L38VWAfUAqOyKAM6-Xx-F4GawxaepmXFCgfTjDxw5djxLa8ISlSApmWQxfKTUJqPP3-Kg6NU1Q";
const std::string rfc8037Ed25519 =
    "eyJhbGciOiJFZERTQSJ9.RXhhbXBsZSBvZiBFZDI1NTE5IHNpZ25pbmc.hgyY0il_MGCjP0JzlnLWG1PPOt7-09PGcvMg3AI"
    "bQR6dWbhijcNR4ki4iylGjg5BhVsPt9g7sVvpAr_MuM0KAg";

Jwk jwk(const json& object) {
  auto key = Jwk::fromJson(object);
  EXPECT_TRUE(std::holds_alternative<Jwk>(key)) << object.dump();
  return std::get<Jwk>(std::move(key));
}

Jwk publicOf(const Jwk& key, const json& extra = json::object()) {
  json object = key.toJson();
  object.update(extra);
  return jwk(object);
}

Jwk generated(const char* curve) {
  return std::get<Jwk>(Jwk::fromKey(PkeyHandle(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve))));
}

std::string url(std::string_view text) {
  const auto encoded =
      platform::encodeBase64Url({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  return {encoded.begin(), encoded.end()};
}

std::string payloadOf(const std::string& token) {
  const auto bytes =
      platform::decodeBase64Url(token.substr(token.find('.') + 1, token.rfind('.') - token.find('.') - 1));
  return {bytes->begin(), bytes->end()};
}

std::string signature(const std::string& token) {
  return token.substr(token.rfind('.'));
}

TEST(JoseTest, PublishedExamplesVerifyAndDeterministicOnesSignToTheirValue) {
  using Row = std::tuple<const char*, const json&, std::string, JwsAlgorithm, bool>;  // deterministic last
  for (const auto& [name, object, token, algorithm, deterministic] :
       std::vector<Row>{{"RFC 7515 A.2", rfcRsa, rfc7515Rs256, JwsAlgorithm::RS256, true},
                        {"RFC 7515 A.3", rfcEc, rfc7515Es256, JwsAlgorithm::ES256, false},
                        {"RFC 8037 A.4", rfcEd25519, rfc8037Ed25519, JwsAlgorithm::EdDSA, true}}) {
    SCOPED_TRACE(name);
    const Jwk key = jwk(object);
    const auto verified = verifyCompact(token, publicOf(key));
    ASSERT_TRUE(std::holds_alternative<VerifiedJws>(verified)) << describe(std::get<JoseRefusal>(verified));
    EXPECT_EQ(std::get<VerifiedJws>(verified).algorithm, algorithm);
    const auto signedAgain = signCompact(key, algorithm, json::object(), payloadOf(token));
    ASSERT_TRUE(std::holds_alternative<std::string>(signedAgain));
    EXPECT_TRUE(!deterministic || std::get<std::string>(signedAgain) == token);
  }
  const auto claims = std::get<VerifiedJws>(verifyCompact(rfc7515Es256, publicOf(jwk(rfcEc)))).payload;
  EXPECT_EQ(claims["iss"], "joe");
  EXPECT_EQ(claims["exp"], 1300819380);
}

TEST(JoseTest, ThumbprintAndExportFollowTheRfcs) {
  // RFC 7638 section 3.1: the optional members do not count.
  const json rfc7638 = json::parse(unwrapped(R"({"kty":"RSA",
"n":"0vx7agoebGcQSuuPiLJXZptN9nndrQmbXEps2aiAFbWhM78LhWx4cbbfAAtVT86zwu1RK7aPFFxuhDR1L6tSoc_BJECPebWKRXjBZCiFV
4n3oknjhMstn64tZ_2W-5JsGY4Hc5n9yBXArwl93lqt7_RN5w6Cf0h4QyQ5v-65YGjQR0_FDW2QvzqY368QQMicAtaSqzs8KJZgnYb9c7d0zgd
AZHzu6qMQvRL5hajrn1n91CbOpbISD08qNLyrdkt-bFTWhAI4vMQFh6WeZu0fM4lFd2NcRwr3XPksINHaQ-G_xBniIqbw0Ls1jF44-csFCur-k
EgU8awapJzKnqDKgw","e":"AQAB","alg":"RS256","kid":"2011-04-29"})"));
  const Jwk key = jwk(rfc7638);
  EXPECT_EQ(key.thumbprint(), "NzbLsXh8uDCcd-6MNwXF4W_7noWXFZAfHkxZsRGC9Xs");
  EXPECT_EQ(key.toJson(), rfc7638);
  // RFC 8037 appendix A.3.
  EXPECT_EQ(jwk(rfcEd25519).thumbprint(), "kPrK_qmxVWaYVA9wwBF6Iuo3vVzz7TxHCTwXBygrS4k");
  // Private members come back exactly as read, and only when asked for.
  for (const json* object : {&rfcRsa, &rfcEc, &rfcEd25519}) {
    EXPECT_EQ(jwk(*object).toJson(true), *object);
    EXPECT_FALSE(jwk(*object).toJson().contains("d"));
  }
}

TEST(JoseTest, EveryAlgorithmRoundTripsThroughExportedKeys) {
  struct Row {
    JwsAlgorithm algorithm;
    Jwk key;
  };
  std::vector<Row> rows;
  rows.push_back({JwsAlgorithm::ES256, generated("P-256")});
  rows.push_back({JwsAlgorithm::ES384, generated("P-384")});
  rows.push_back({JwsAlgorithm::PS256, jwk(rfcRsa)});
  rows.push_back({JwsAlgorithm::RS256, jwk(rfcRsa)});
  rows.push_back({JwsAlgorithm::EdDSA,
                  std::get<Jwk>(Jwk::fromKey(PkeyHandle(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"))))});
  for (const auto& row : rows) {
    SCOPED_TRACE(nameOf(row.algorithm));
    const Jwk reread = jwk(row.key.toJson(true));  // export and import of the private key
    const auto token = signCompact(reread, row.algorithm, {{"typ", "dpop+jwt"}}, R"({"htm":"POST"})");
    ASSERT_TRUE(std::holds_alternative<std::string>(token));
    const auto verified = verifyCompact(std::get<std::string>(token), publicOf(row.key));
    ASSERT_TRUE(std::holds_alternative<VerifiedJws>(verified)) << describe(std::get<JoseRefusal>(verified));
    EXPECT_EQ(std::get<VerifiedJws>(verified).header["typ"], "dpop+jwt");
    EXPECT_EQ(std::get<VerifiedJws>(verified).payload["htm"], "POST");
  }
}

TEST(JoseTest, RefusedAlways) {
  const Jwk rsa = publicOf(jwk(rfcRsa));
  const Jwk ec = publicOf(jwk(rfcEc));
  const std::string claims = "." + rfcClaims;
  const std::string es256Signature = signature(rfc7515Es256);
  const std::string tamperedPayload = "eyJhbGciOiJFUzI1NiJ9." + url(R"({"iss":"eve"})") + es256Signature;
  const std::string header = url(R"({"alg":"ES256","crit":["exp"],"exp":1})");
  const Jwk rsaForRs256 = publicOf(rsa, {{"alg", "RS256"}});
  const Jwk forEncryption = publicOf(ec, {{"use", "enc"}});
  const Jwk signOnly = publicOf(ec, {{"key_ops", json::array({"sign"})}});
  using Row = std::tuple<const char*, std::string, const Jwk&, JoseRefusal>;
  for (const auto& [name, token, key, refusal] : std::vector<Row>{
           {"alg none", url(R"({"alg":"none"})") + claims + ".", rsa, JoseRefusal::AlgorithmNone},
           {"HMAC with a public key", url(R"({"alg":"HS256"})") + claims + signature(rfc7515Rs256), rsa,
            JoseRefusal::AlgorithmConfusion},
           {"RS256 with an EC key", rfc7515Rs256, ec, JoseRefusal::AlgorithmKeyMismatch},
           {"ES384 with a P-256 key", url(R"({"alg":"ES384"})") + claims + es256Signature, ec,
            JoseRefusal::AlgorithmKeyMismatch},
           {"PS256 with a key kept for RS256", url(R"({"alg":"PS256"})") + claims + signature(rfc7515Rs256),
            rsaForRs256, JoseRefusal::AlgorithmKeyMismatch},
           {"unsupported alg", url(R"({"alg":"ES512"})") + claims + es256Signature, ec,
            JoseRefusal::UnsupportedAlgorithm},
           {"key for encryption", rfc7515Es256, forEncryption, JoseRefusal::KeyUseForbidden},
           {"key_ops without verify", rfc7515Es256, signOnly, JoseRefusal::KeyUseForbidden},
           {"over 64 KiB", "eyJhbGciOiJFUzI1NiJ9." + std::string(maximumTokenBytes, 'A') + es256Signature, ec,
            JoseRefusal::TooLarge},
           {"two segments", "eyJhbGciOiJFUzI1NiJ9" + claims, ec, JoseRefusal::Malformed},
           {"four segments", rfc7515Es256 + ".", ec, JoseRefusal::Malformed},
           {"padded base64url", "eyJhbGciOiJFUzI1NiJ9=" + claims + es256Signature, ec,
            JoseRefusal::Malformed},
           {"standard alphabet", "eyJhbGciOiJFUzI1NiJ9" + claims + "+" + es256Signature, ec,
            JoseRefusal::Malformed},
           {"unused bits set", rfc7515Es256.substr(0, rfc7515Es256.size() - 1) + "R", ec,
            JoseRefusal::Malformed},
           {"header not an object", url(R"(["ES256"])") + claims + es256Signature, ec,
            JoseRefusal::Malformed},
           {"NUL after the header", url(std::string("{\"alg\":\"ES256\"}\0{}", 18)) + claims + es256Signature,
            ec, JoseRefusal::Malformed},
           {"header without alg", url(R"({"typ":"JWT"})") + claims + es256Signature, ec,
            JoseRefusal::Malformed},
           {"unknown crit member", header + claims + es256Signature, ec, JoseRefusal::UnknownCritical},
           {"tampered payload", tamperedPayload, ec, JoseRefusal::BadSignature},
           {"short ECDSA signature", "eyJhbGciOiJFUzI1NiJ9" + claims + "." + url(std::string(63, 'x')), ec,
            JoseRefusal::BadSignature}}) {
    SCOPED_TRACE(name);
    const auto result = verifyCompact(token, key);
    ASSERT_TRUE(std::holds_alternative<JoseRefusal>(result));
    EXPECT_EQ(std::get<JoseRefusal>(result), refusal) << describe(std::get<JoseRefusal>(result));
  }
  // Signing: a public key, a key whose key_ops leave out sign.
  EXPECT_EQ(std::get<JoseRefusal>(signCompact(ec, JwsAlgorithm::ES256, json::object(), "x")),
            JoseRefusal::AlgorithmKeyMismatch);
  json verifyOnly = rfcEc;
  verifyOnly["key_ops"] = json::array({"verify"});
  EXPECT_EQ(std::get<JoseRefusal>(signCompact(jwk(verifyOnly), JwsAlgorithm::ES256, json::object(), "x")),
            JoseRefusal::KeyUseForbidden);
  EXPECT_EQ(std::get<JoseRefusal>(signCompact(jwk(rfcEc), JwsAlgorithm::ES384, json::object(), "x")),
            JoseRefusal::AlgorithmKeyMismatch);
}

TEST(JoseTest, KeysThatAreNotKeysAreRefused) {
  auto with = [](json object, const char* name, const json& value) {
    object[name] = value;
    return object;
  };
  auto without = [](json object, const char* name) {
    object.erase(name);
    return object;
  };
  const json publicEc = without(rfcEc, "d");
  const std::vector<std::pair<const char*, json>> rows{
      {"RSA under 2048 bits",
       with(without(without(without(without(without(without(rfcRsa, "d"), "p"), "q"), "dp"), "dq"), "qi"),
            "n", rfcRsa["n"].get<std::string>().substr(0, 170))},
      {"RSA with some CRT members", without(rfcRsa, "qi")},
      {"RSA d of another key", with(rfcRsa, "d", rfcRsa["dp"])},
      {"EC point off the curve", with(publicEc, "y", "x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a1")},
      {"EC coordinate too short", with(publicEc, "x", "f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRV")},
      {"EC d of another key", with(rfcEc, "d", rfcEd25519["d"])},
      {"unknown curve", with(publicEc, "crv", "P-521")},
      {"Ed25519 d of another x", with(rfcEd25519, "x", rfcEc["x"])},
      {"symmetric key", {{"kty", "oct"}, {"k", "AQAB"}}},
      {"padded member", with(publicEc, "x", "f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU=")},
      {"kid not a string", with(publicEc, "kid", 7)},
  };
  for (const auto& [name, object] : rows) {
    SCOPED_TRACE(name);
    const auto key = Jwk::fromJson(object);
    ASSERT_TRUE(std::holds_alternative<JoseRefusal>(key));
    EXPECT_EQ(std::get<JoseRefusal>(key), JoseRefusal::BadKey);
  }
}

TEST(JoseTest, KeySetsSelectByKidOrTheOnlyFittingKey) {
  json rsa = jwk(rfcRsa).toJson();
  rsa["kid"] = "r1";
  json ec = jwk(rfcEc).toJson();
  ec["kid"] = "e1";
  const json x25519 = {
      {"kty", "OKP"}, {"crv", "X25519"}, {"x", "3p7bfXt9wbTTW2HC7OQ1Nz-DQ8hbeGdNrfx-FG-IK08"}};
  const auto set = std::get<JwkSet>(JwkSet::parse(json{{"keys", {rsa, ec, x25519}}}.dump()));
  EXPECT_EQ(set.keys().size(), 2U);  // the X25519 member is left out, not the whole set
  const Jwk signer = jwk(rfcEc);
  const auto withKid = [&](const char* kid) {
    return std::get<std::string>(signCompact(signer, JwsAlgorithm::ES256, {{"kid", kid}}, "{}"));
  };
  using Row = std::tuple<const char*, std::string, std::optional<JoseRefusal>>;
  for (const auto& [name, token, refusal] :
       std::vector<Row>{{"no kid, the only RSA key", rfc7515Rs256, std::nullopt},
                        {"no kid, the only P-256 key", rfc7515Es256, std::nullopt},
                        {"kid names the key", withKid("e1"), std::nullopt},
                        {"kid names no key", withKid("e2"), JoseRefusal::NoMatchingKey},
                        {"kid names a key of another type", withKid("r1"), JoseRefusal::AlgorithmKeyMismatch},
                        {"no kid and no fitting key", rfc8037Ed25519, JoseRefusal::NoMatchingKey}}) {
    SCOPED_TRACE(name);
    const auto result = verifyCompact(token, set);
    EXPECT_EQ(std::holds_alternative<JoseRefusal>(result) ? std::optional(std::get<JoseRefusal>(result))
                                                          : std::nullopt,
              refusal);
  }
  // Two keys of one type and no kid: nothing says which.
  const auto twoEc = std::get<JwkSet>(JwkSet::parse(json{{"keys", {ec, jwk(rfcEc).toJson()}}}.dump()));
  EXPECT_EQ(std::get<JoseRefusal>(verifyCompact(rfc7515Es256, twoEc)), JoseRefusal::NoMatchingKey);
  // The limits: 100 keys, 1 MiB.
  EXPECT_TRUE(std::holds_alternative<JwkSet>(JwkSet::parse(json{{"keys", json::array()}}.dump())));
  EXPECT_EQ(std::get<JoseRefusal>(JwkSet::parse(json{{"keys", std::vector<json>(101, ec)}}.dump())),
            JoseRefusal::TooLarge);
  EXPECT_EQ(std::get<JoseRefusal>(
                JwkSet::parse(R"({"keys":[],"x":")" + std::string(JwkSet::maximumBytes, 'a') + "\"}")),
            JoseRefusal::TooLarge);
  EXPECT_EQ(std::get<JoseRefusal>(JwkSet::parse(R"({"keys":{}})")), JoseRefusal::Malformed);
  EXPECT_EQ(std::get<JoseRefusal>(JwkSet::parse(std::string("{\"keys\":[]}\0x", 13))),
            JoseRefusal::Malformed);
}

}  // namespace
}  // namespace tervala::jose
