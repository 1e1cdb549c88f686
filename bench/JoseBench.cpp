// Speed of signed tokens, each beside OpenSSL's own operation on the same bytes with the same key:
//   ES256 compact JWS sign (a DPoP-sized proof): target within 1.3x of EVP_DigestSign
//   a whole DPoP proof (target, jti, claims, ES256): target within 1.3x of EVP_DigestSign of
//     the same signing input
//   RS256 compact JWS verify with a parsed key:  target within 1.3x of EVP_DigestVerify
//   a whole ID token verification with a cached key set: target within 1.3x of EVP_DigestVerify,
//     and one request to the jwks_uri for all of them
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <string>
#include <tervala/Debug.hpp>
#include <tervala/IdTokenClaims.hpp>
#include <vector>

#include "jose/Jws.hpp"
#include "oauth/DpopProof.hpp"
#include "platform/Base64.hpp"
#include "support/TokenEndpoint.hpp"

namespace {

using namespace tervala::jose;
using nlohmann::json;

struct MdContextFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

Jwk generated(const char* type, const char* curve) {
  EVP_PKEY* key = std::string_view(type) == "RSA"
                      ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t{2048})
                      : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve);
  return std::get<Jwk>(Jwk::fromKey(PkeyHandle(key)));
}

const json proofHeader = {{"typ", "dpop+jwt"}};
const std::string proofClaims =
    R"({"htm":"POST","htu":"https://as.example/token","iat":1733600000,"jti":"e1j3V_bKic8-LAEB"})";

std::string signingInputOf(const std::string& token) {
  return token.substr(0, token.rfind('.'));
}

void Es256JwsSign(benchmark::State& state) {
  const Jwk key = generated("EC", "P-256");
  for (auto _ : state) {
    auto token = signCompact(key, JwsAlgorithm::ES256, proofHeader, proofClaims);
    benchmark::DoNotOptimize(token);
  }
}
BENCHMARK(Es256JwsSign);

/// OpenSSL's own ES256 signature of `input`, a fresh digest context each time as the JWS code makes.
void openSslSignEach(benchmark::State& state, EVP_PKEY* key, const std::string& input) {
  std::vector<unsigned char> signature(80);
  for (auto _ : state) {
    const MdContext context(EVP_MD_CTX_new());
    std::size_t length = signature.size();
    EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(context.get(), signature.data(), &length,
                   reinterpret_cast<const unsigned char*>(input.data()), input.size());
    benchmark::DoNotOptimize(signature);
  }
}

void Es256OpenSslSign(benchmark::State& state) {
  const Jwk key = generated("EC", "P-256");
  openSslSignEach(
      state, key.key(),
      signingInputOf(std::get<std::string>(signCompact(key, JwsAlgorithm::ES256, proofHeader, proofClaims))));
}
BENCHMARK(Es256OpenSslSign);

const tervala::DpopTarget dpopTarget{"POST", "https://as.example/token?ignored=1",
                                     "eyJ7S_zG.eyJH0-Z.HX4w-7v"};

void DpopProofEs256(benchmark::State& state) {
  const auto key = std::get<tervala::DpopKey>(tervala::DpopKey::generate());
  for (auto _ : state) {
    auto proof = tervala::makeDpopProof(key, dpopTarget);
    benchmark::DoNotOptimize(proof);
  }
}
BENCHMARK(DpopProofEs256);

void DpopOpenSslEs256(benchmark::State& state) {
  const auto key = std::get<tervala::DpopKey>(tervala::DpopKey::generate());
  openSslSignEach(state, key.jwk().key(),
                  signingInputOf(std::get<std::string>(tervala::makeDpopProof(key, dpopTarget))));
}
BENCHMARK(DpopOpenSslEs256);

struct Rs256Token {
  Jwk publicKey;
  std::string token;
};

Rs256Token rs256Token() {
  const Jwk key = generated("RSA", nullptr);
  auto publicKey = std::get<Jwk>(Jwk::fromJson(key.toJson()));
  const std::string claims =
      R"({"iss":"https://as.example","sub":"alice","aud":"client","exp":1733603600,"iat":1733600000,"nonce":"n-0S6_WzA2Mj"})";
  return {std::move(publicKey),
          std::get<std::string>(signCompact(key, JwsAlgorithm::RS256, {{"kid", "k1"}}, claims))};
}

void Rs256JwsVerify(benchmark::State& state) {
  const auto [key, token] = rs256Token();
  for (auto _ : state) {
    auto verified = verifyCompact(token, key);
    benchmark::DoNotOptimize(verified);
  }
}
BENCHMARK(Rs256JwsVerify);

void Rs256OpenSslVerify(benchmark::State& state) {
  const auto [key, token] = rs256Token();
  const std::string input = signingInputOf(token);
  const auto signature =
      *tervala::platform::decodeBase64Url(std::string_view(token).substr(token.rfind('.') + 1));
  for (auto _ : state) {
    const MdContext context(EVP_MD_CTX_new());
    EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.key());
    const int verified = EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                          reinterpret_cast<const unsigned char*>(input.data()), input.size());
    benchmark::DoNotOptimize(verified);
  }
}
BENCHMARK(Rs256OpenSslVerify);

// A whole ID token verification: the key set from the cache (fetched once from a loopback
// jwks_uri, as the counter shows), the signature, and every claim check.
void IdTokenVerifyCachedKeySet(benchmark::State& state) {
  tervala::setDebugSink(nullptr);
  const Jwk key = generated("RSA", nullptr);
  json published = key.toJson();
  published["kid"] = "k1";
  tervala::test::TokenEndpoint server;
  server.setReply(tervala::test::Reply::answer(200, json{{"keys", {published}}}.dump()));
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const json claims = {{"iss", "https://as.example"}, {"sub", "alice"}, {"aud", "client"},
                       {"exp", now + 86400},          {"iat", now},     {"nonce", "n-0S6_WzA2Mj"}};
  const auto token =
      std::get<std::string>(signCompact(key, JwsAlgorithm::RS256, {{"kid", "k1"}}, claims.dump()));
  const tervala::IdTokenVerifier::Expected expected{"https://as.example", "client", server.url("/jwks"),
                                                    "n-0S6_WzA2Mj", std::nullopt};
  for (auto _ : state) {
    auto verified = tervala::IdTokenVerifier::verify(token, expected);
    benchmark::DoNotOptimize(verified);
  }
  state.counters["keySetRequests"] = static_cast<double>(server.requests().size());
}
BENCHMARK(IdTokenVerifyCachedKeySet);

}  // namespace

BENCHMARK_MAIN();
