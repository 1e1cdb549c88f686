#include "jose/Jws.hpp"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <memory>

#include "platform/Base64.hpp"
#include "platform/JsonNesting.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::jose {
namespace {

using platform::SecretBytes;

constexpr std::size_t maximumHeaderNesting = 8;

struct MdContextFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
struct EcdsaSigFree {
  void operator()(ECDSA_SIG* signature) const noexcept { ECDSA_SIG_free(signature); }
};
using EcdsaSig = std::unique_ptr<ECDSA_SIG, EcdsaSigFree>;

const EVP_MD* digestOf(JwsAlgorithm algorithm) {
  switch (algorithm) {
    case JwsAlgorithm::ES384:
      return EVP_sha384();
    case JwsAlgorithm::EdDSA:
      return nullptr;  // Ed25519 hashes the message itself
    default:
      return EVP_sha256();
  }
}

std::size_t coordinateSize(JwsAlgorithm algorithm) {
  return algorithm == JwsAlgorithm::ES384 ? 48 : 32;
}

bool isEcdsa(JwsAlgorithm algorithm) {
  return algorithm == JwsAlgorithm::ES256 || algorithm == JwsAlgorithm::ES384;
}

/// A digest context set up to sign or verify with `key` under `algorithm` (PSS with a salt as
/// long as the hash, RFC 7518 section 3.5).
std::unique_ptr<EVP_MD_CTX, MdContextFree> contextFor(JwsAlgorithm algorithm, EVP_PKEY* key, bool sign) {
  std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* keyContext = nullptr;
  const int started =
      sign ? EVP_DigestSignInit(context.get(), &keyContext, digestOf(algorithm), nullptr, key)
           : EVP_DigestVerifyInit(context.get(), &keyContext, digestOf(algorithm), nullptr, key);
  if (!context || started != 1) {
    return nullptr;
  }
  if (algorithm == JwsAlgorithm::PS256 &&
      (EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) != 1 ||
       EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, RSA_PSS_SALTLEN_DIGEST) != 1)) {
    return nullptr;
  }
  return context;
}

/// OpenSSL writes ECDSA signatures as DER; JWS carries R and S as fixed-size big-endian halves
/// (RFC 7518 section 3.4). OpenSSL's own ECDSA_SIG functions convert between the two.
std::optional<std::vector<unsigned char>> derToRaw(const std::vector<unsigned char>& der, std::size_t size) {
  const unsigned char* cursor = der.data();
  const EcdsaSig signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!signature) {
    return std::nullopt;
  }
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(signature.get(), &r, &s);
  std::vector<unsigned char> raw(2 * size);
  if (BN_bn2binpad(r, raw.data(), static_cast<int>(size)) < 0 ||
      BN_bn2binpad(s, raw.data() + size, static_cast<int>(size)) < 0) {
    return std::nullopt;
  }
  return raw;
}

std::optional<std::vector<unsigned char>> rawToDer(const SecretBytes& raw, std::size_t size) {
  if (raw.size() != 2 * size) {
    return std::nullopt;
  }
  EcdsaSig signature(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(raw.data(), static_cast<int>(size), nullptr);
  BIGNUM* s = BN_bin2bn(raw.data() + size, static_cast<int>(size), nullptr);
  if (!signature || r == nullptr || s == nullptr || ECDSA_SIG_set0(signature.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return std::nullopt;
  }
  const int length = i2d_ECDSA_SIG(signature.get(), nullptr);
  if (length <= 0) {
    return std::nullopt;
  }
  std::vector<unsigned char> der(static_cast<std::size_t>(length));
  unsigned char* cursor = der.data();
  i2d_ECDSA_SIG(signature.get(), &cursor);
  return der;
}

std::string urlText(std::span<const std::uint8_t> bytes) {
  const auto text = platform::encodeBase64Url(bytes);
  return {text.begin(), text.end()};
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// The header and its algorithm, refused before any key is looked at.
struct ParsedHeader {
  nlohmann::json header;
  JwsAlgorithm algorithm;
};

std::variant<ParsedHeader, JoseRefusal> readHeader(std::string_view encoded, const VerifyOptions& options) {
  const auto bytes = platform::decodeBase64Url(encoded);
  if (!bytes) {
    return JoseRefusal::Malformed;
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (platform::jsonNestingExceeds(text, maximumHeaderNesting) || platform::holdsNulByte(text)) {
    return JoseRefusal::Malformed;
  }
  auto header = nlohmann::json::parse(text, nullptr, false);
  if (!header.is_object() || !header.contains("alg") || !header["alg"].is_string()) {
    return JoseRefusal::Malformed;
  }
  const auto& name = header["alg"].get_ref<const std::string&>();
  if (name == "none") {
    return JoseRefusal::AlgorithmNone;
  }
  if (name.starts_with("HS")) {
    return JoseRefusal::AlgorithmConfusion;
  }
  const auto algorithm = algorithmNamed(name);
  if (!algorithm) {
    return JoseRefusal::UnsupportedAlgorithm;
  }
  if (!options.algorithms.empty() && std::find(options.algorithms.begin(), options.algorithms.end(),
                                               *algorithm) == options.algorithms.end()) {
    return JoseRefusal::UnsupportedAlgorithm;
  }
  // RFC 7515 section 4.1.11: a non-empty list of names, each present in the header and each
  // understood; anything else makes the token invalid.
  if (const auto crit = header.find("crit"); crit != header.end()) {
    if (!crit->is_array() || crit->empty()) {
      return JoseRefusal::Malformed;
    }
    for (const auto& entry : *crit) {
      if (!entry.is_string() || !header.contains(entry.get_ref<const std::string&>()) ||
          std::find(options.understoodCritical.begin(), options.understoodCritical.end(),
                    entry.get_ref<const std::string&>()) == options.understoodCritical.end()) {
        return JoseRefusal::UnknownCritical;
      }
    }
  }
  if (header.contains("kid") && !header["kid"].is_string()) {
    return JoseRefusal::Malformed;
  }
  return ParsedHeader{std::move(header), *algorithm};
}

struct Segments {
  std::string_view header;
  std::string_view payload;
  std::string_view signature;
  std::string_view signingInput;
};

std::variant<Segments, JoseRefusal> split(std::string_view token) {
  if (token.size() > maximumTokenBytes) {
    return JoseRefusal::TooLarge;
  }
  const auto first = token.find('.');
  const auto second = first == std::string_view::npos ? first : token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
    return JoseRefusal::Malformed;
  }
  return Segments{token.substr(0, first), token.substr(first + 1, second - first - 1),
                  token.substr(second + 1), token.substr(0, second)};
}

struct ReadToken {
  Segments segments;
  ParsedHeader parsed;
};

/// The token's segments and header, or the refusal that needs no key.
std::variant<ReadToken, JoseRefusal> readToken(std::string_view token, const VerifyOptions& options) {
  auto segments = split(token);
  if (auto* refusal = std::get_if<JoseRefusal>(&segments)) {
    return *refusal;
  }
  auto parsed = readHeader(std::get<Segments>(segments).header, options);
  if (auto* refusal = std::get_if<JoseRefusal>(&parsed)) {
    return *refusal;
  }
  return ReadToken{std::get<Segments>(segments), std::get<ParsedHeader>(std::move(parsed))};
}

std::variant<VerifiedJws, JoseRefusal> verifyWith(const Segments& segments, ParsedHeader parsed,
                                                  const Jwk& key) {
  if (!fits(parsed.algorithm, key)) {
    return JoseRefusal::AlgorithmKeyMismatch;
  }
  if (!key.permits(KeyOperation::Verify)) {
    return JoseRefusal::KeyUseForbidden;
  }
  const auto payload = platform::decodeBase64Url(segments.payload);
  const auto signature = platform::decodeBase64Url(segments.signature);
  if (!payload || !signature || signature->empty()) {
    return JoseRefusal::Malformed;
  }
  std::optional<std::vector<unsigned char>> der;
  if (isEcdsa(parsed.algorithm)) {
    der = rawToDer(*signature, coordinateSize(parsed.algorithm));
    if (!der) {
      return JoseRefusal::BadSignature;
    }
  }
  const auto context = contextFor(parsed.algorithm, key.key(), false);
  const auto input = bytesOf(segments.signingInput);
  const int verified =
      context ? EVP_DigestVerify(context.get(), der ? der->data() : signature->data(),
                                 der ? der->size() : signature->size(), input.data(), input.size())
              : -1;
  if (verified != 1) {
    return JoseRefusal::BadSignature;
  }
  VerifiedJws result{std::move(parsed.header), nullptr, std::string(payload->begin(), payload->end()),
                     parsed.algorithm};
  if (!platform::jsonNestingExceeds(result.payloadBytes, maximumHeaderNesting * 4) &&
      !platform::holdsNulByte(result.payloadBytes)) {
    result.payload = nlohmann::json::parse(result.payloadBytes, nullptr, false);
    if (result.payload.is_discarded()) {
      result.payload = nullptr;
    }
  }
  return result;
}

}  // namespace

std::variant<std::string, JoseRefusal> signCompact(const Jwk& key, JwsAlgorithm algorithm,
                                                   nlohmann::json header, std::string_view payload) {
  if (!header.is_object()) {
    return JoseRefusal::Malformed;
  }
  header["alg"] = nameOf(algorithm);
  return signCompactEncoded(key, algorithm, urlText(bytesOf(header.dump())), payload);
}

std::variant<std::string, JoseRefusal> signCompactEncoded(const Jwk& key, JwsAlgorithm algorithm,
                                                          std::string_view encodedHeader,
                                                          std::string_view payload) {
  if (!key.hasPrivate() || !fits(algorithm, key)) {
    return JoseRefusal::AlgorithmKeyMismatch;
  }
  if (!key.permits(KeyOperation::Sign)) {
    return JoseRefusal::KeyUseForbidden;
  }
  std::string token = std::string(encodedHeader) + '.' + urlText(bytesOf(payload));
  const auto context = contextFor(algorithm, key.key(), true);
  std::size_t length = 0;
  const auto input = bytesOf(token);
  if (!context || EVP_DigestSign(context.get(), nullptr, &length, input.data(), input.size()) != 1) {
    return JoseRefusal::SigningFailed;
  }
  std::vector<unsigned char> signature(length);
  if (EVP_DigestSign(context.get(), signature.data(), &length, input.data(), input.size()) != 1) {
    return JoseRefusal::SigningFailed;
  }
  signature.resize(length);
  if (isEcdsa(algorithm)) {
    auto raw = derToRaw(signature, coordinateSize(algorithm));
    if (!raw) {
      return JoseRefusal::SigningFailed;
    }
    signature = std::move(*raw);
  }
  token += '.';
  token += urlText(signature);
  return token;
}

std::variant<VerifiedJws, JoseRefusal> verifyCompact(std::string_view token, const JwkSet& keys,
                                                     const VerifyOptions& options) {
  auto read = readToken(token, options);
  if (auto* refusal = std::get_if<JoseRefusal>(&read)) {
    return *refusal;
  }
  auto& [segments, parsed] = std::get<ReadToken>(read);
  const auto kid =
      parsed.header.contains("kid") ? std::optional(parsed.header["kid"].get<std::string>()) : std::nullopt;
  const auto selected = keys.select(kid, parsed.algorithm);
  if (const auto* refusal = std::get_if<JoseRefusal>(&selected)) {
    return *refusal;
  }
  return verifyWith(segments, std::move(parsed), *std::get<const Jwk*>(selected));
}

std::variant<VerifiedJws, JoseRefusal> verifyCompact(std::string_view token, const Jwk& key,
                                                     const VerifyOptions& options) {
  auto read = readToken(token, options);
  if (auto* refusal = std::get_if<JoseRefusal>(&read)) {
    return *refusal;
  }
  auto& [segments, parsed] = std::get<ReadToken>(read);
  return verifyWith(segments, std::move(parsed), key);
}

}  // namespace tervala::jose
