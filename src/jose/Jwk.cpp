#include "jose/Jwk.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <array>
#include <utility>

#include "platform/Base64.hpp"
#include "platform/SecureMemory.hpp"

namespace tervala::jose {
namespace {

using platform::SecretBytes;

struct BnFree {
  void operator()(BIGNUM* number) const noexcept { BN_clear_free(number); }
};
using BnHandle = std::unique_ptr<BIGNUM, BnFree>;
struct ParamBuildFree {
  void operator()(OSSL_PARAM_BLD* build) const noexcept { OSSL_PARAM_BLD_free(build); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* params) const noexcept { OSSL_PARAM_free(params); }
};
struct PkeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const noexcept { EVP_PKEY_CTX_free(context); }
};
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree>;

constexpr int minimumRsaBits = 2048;
constexpr std::size_t ed25519Size = 32;

struct Curve {
  std::string_view jwkName;
  const char* groupName;
  std::size_t size;
};
constexpr std::array<Curve, 2> curves{{{"P-256", "prime256v1", 32}, {"P-384", "secp384r1", 48}}};

const Curve* curveByJwkName(std::string_view name) {
  const auto* found =
      std::find_if(curves.begin(), curves.end(), [&](const Curve& c) { return c.jwkName == name; });
  return found == curves.end() ? nullptr : found;
}

/// A base64url member's bytes: absent when missing, not a string, or not base64url.
std::optional<SecretBytes> member(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_string()) {
    return std::nullopt;
  }
  return platform::decodeBase64Url(found->get_ref<const std::string&>());
}

/// A big-endian integer; private ones in OpenSSL's secure heap when it has one.
BnHandle toBn(const SecretBytes& bytes, bool secret) {
  BnHandle number(secret ? BN_secure_new() : BN_new());
  if (number && BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), number.get()) == nullptr) {
    number.reset();
  }
  return number;
}

PkeyHandle fromData(const char* type, OSSL_PARAM_BLD* build, bool isPrivate) {
  const std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(build));
  const PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params.get()) != 1) {
    return nullptr;
  }
  return PkeyHandle(key);
}

PkeyHandle importRsa(const nlohmann::json& object) {
  const auto n = member(object, "n");
  const auto e = member(object, "e");
  if (!n || !e || n->empty() || e->empty()) {
    return nullptr;
  }
  // The private members come all together, or only d (RFC 7518 section 6.3.2).
  static constexpr std::array<std::pair<const char*, const char*>, 6> privateNames{{
      {"d", OSSL_PKEY_PARAM_RSA_D},
      {"p", OSSL_PKEY_PARAM_RSA_FACTOR1},
      {"q", OSSL_PKEY_PARAM_RSA_FACTOR2},
      {"dp", OSSL_PKEY_PARAM_RSA_EXPONENT1},
      {"dq", OSSL_PKEY_PARAM_RSA_EXPONENT2},
      {"qi", OSSL_PKEY_PARAM_RSA_COEFFICIENT1},
  }};
  std::vector<std::pair<const char*, BnHandle>> secrets;
  for (const auto& [jwkName, paramName] : privateNames) {
    if (!object.contains(jwkName)) {
      continue;
    }
    const auto bytes = member(object, jwkName);
    if (!bytes || bytes->empty()) {
      return nullptr;
    }
    secrets.emplace_back(paramName, toBn(*bytes, true));
  }
  if (object.contains("oth") ||
      (!secrets.empty() && secrets.size() != 1 && secrets.size() != privateNames.size()) ||
      (secrets.size() == 1 && !object.contains("d"))) {
    return nullptr;
  }
  const std::unique_ptr<OSSL_PARAM_BLD, ParamBuildFree> build(OSSL_PARAM_BLD_new());
  const BnHandle modulus = toBn(*n, false);
  const BnHandle exponent = toBn(*e, false);
  if (!build || !modulus || !exponent || BN_num_bits(modulus.get()) < minimumRsaBits ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
    return nullptr;
  }
  for (const auto& [paramName, value] : secrets) {
    if (!value || OSSL_PARAM_BLD_push_BN(build.get(), paramName, value.get()) != 1) {
      return nullptr;
    }
  }
  return fromData("RSA", build.get(), !secrets.empty());
}

PkeyHandle importEc(const nlohmann::json& object, const Curve& curve) {
  const auto x = member(object, "x");
  const auto y = member(object, "y");
  if (!x || !y || x->size() != curve.size || y->size() != curve.size) {
    return nullptr;
  }
  SecretBytes point{0x04};  // the uncompressed point: OpenSSL checks that it lies on the curve
  point.insert(point.end(), x->begin(), x->end());
  point.insert(point.end(), y->begin(), y->end());
  const std::unique_ptr<OSSL_PARAM_BLD, ParamBuildFree> build(OSSL_PARAM_BLD_new());
  if (!build ||
      OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve.groupName, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) !=
          1) {
    return nullptr;
  }
  BnHandle scalar;
  if (object.contains("d")) {
    const auto d = member(object, "d");
    if (!d || d->size() != curve.size || !(scalar = toBn(*d, true)) ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()) != 1) {
      return nullptr;
    }
  }
  return fromData("EC", build.get(), scalar != nullptr);
}

PkeyHandle importEd25519(const nlohmann::json& object) {
  const auto x = member(object, "x");
  if (!x || x->size() != ed25519Size) {
    return nullptr;
  }
  if (!object.contains("d")) {
    return PkeyHandle(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, x->data(), x->size()));
  }
  const auto d = member(object, "d");
  if (!d || d->size() != ed25519Size) {
    return nullptr;
  }
  return PkeyHandle(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, d->data(), d->size()));
}

/// A private key must belong to the public members it came with (an Ed25519 x that is not d's).
bool pairMatches(EVP_PKEY* key, const nlohmann::json& object) {
  if (EVP_PKEY_is_a(key, "ED25519")) {
    std::array<unsigned char, ed25519Size> derived{};
    std::size_t length = derived.size();
    const auto x = member(object, "x");
    return EVP_PKEY_get_raw_public_key(key, derived.data(), &length) == 1 && x &&
           std::equal(derived.begin(), derived.end(), x->begin(), x->end());
  }
  const PkeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  return context && EVP_PKEY_pairwise_check(context.get()) == 1;
}

std::optional<SecretBytes> bnParam(EVP_PKEY* key, const char* name, std::size_t padTo = 0) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
    return std::nullopt;
  }
  const BnHandle number(raw);
  const auto size = std::max<std::size_t>(padTo, static_cast<std::size_t>(BN_num_bytes(number.get())));
  SecretBytes bytes(size);
  if (BN_bn2binpad(number.get(), bytes.data(), static_cast<int>(size)) < 0) {
    return std::nullopt;
  }
  return bytes;
}

std::string urlText(const SecretBytes& bytes) {
  const auto text = platform::encodeBase64Url(bytes);
  return {text.begin(), text.end()};
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* name, bool& wellFormed) {
  const auto found = object.find(name);
  if (found == object.end()) {
    return std::nullopt;
  }
  if (!found->is_string()) {
    wellFormed = false;
    return std::nullopt;
  }
  return found->get<std::string>();
}

}  // namespace

Jwk::Jwk(PkeyHandle key, KeyType type, std::string curve, bool isPrivate)
    : key_(std::move(key)), type_(type), curve_(std::move(curve)), private_(isPrivate) {}

std::variant<Jwk, JoseRefusal> Jwk::fromKey(PkeyHandle key) {
  if (!key) {
    return JoseRefusal::BadKey;
  }
  if (EVP_PKEY_is_a(key.get(), "RSA")) {
    if (EVP_PKEY_get_bits(key.get()) < minimumRsaBits) {
      return JoseRefusal::BadKey;
    }
    const bool isPrivate = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_D).has_value();
    return Jwk(std::move(key), KeyType::Rsa, "", isPrivate);
  }
  if (EVP_PKEY_is_a(key.get(), "EC")) {
    std::array<char, 32> group{};
    if (EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group.data(), group.size(),
                                       nullptr) != 1) {
      return JoseRefusal::BadKey;
    }
    const auto* curve = std::find_if(curves.begin(), curves.end(), [&](const Curve& c) {
      return std::string_view(c.groupName) == group.data();
    });
    if (curve == curves.end()) {
      return JoseRefusal::BadKey;
    }
    const bool isPrivate = bnParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY).has_value();
    return Jwk(std::move(key), KeyType::Ec, std::string(curve->jwkName), isPrivate);
  }
  if (EVP_PKEY_is_a(key.get(), "ED25519")) {
    std::size_t length = 0;
    const bool isPrivate = EVP_PKEY_get_raw_private_key(key.get(), nullptr, &length) == 1;
    return Jwk(std::move(key), KeyType::Okp, "Ed25519", isPrivate);
  }
  return JoseRefusal::BadKey;
}

std::variant<Jwk, JoseRefusal> Jwk::fromJson(const nlohmann::json& object) {
  if (!object.is_object() || !object.contains("kty") || !object["kty"].is_string()) {
    return JoseRefusal::BadKey;
  }
  const auto& kty = object["kty"].get_ref<const std::string&>();
  const auto crv =
      object.contains("crv") && object["crv"].is_string() ? object["crv"].get<std::string>() : "";
  PkeyHandle key;
  if (kty == "RSA") {
    key = importRsa(object);
  } else if (kty == "EC" && curveByJwkName(crv) != nullptr) {
    key = importEc(object, *curveByJwkName(crv));
  } else if (kty == "OKP" && crv == "Ed25519") {
    key = importEd25519(object);
  }
  if (!key || (object.contains("d") && !pairMatches(key.get(), object))) {
    return JoseRefusal::BadKey;
  }
  auto made = fromKey(std::move(key));
  if (auto* jwk = std::get_if<Jwk>(&made)) {
    bool wellFormed = true;
    jwk->kid_ = optionalString(object, "kid", wellFormed);
    jwk->use_ = optionalString(object, "use", wellFormed);
    jwk->alg_ = optionalString(object, "alg", wellFormed);
    if (const auto ops = object.find("key_ops"); ops != object.end()) {
      wellFormed =
          wellFormed && ops->is_array() &&
          std::all_of(ops->begin(), ops->end(), [](const nlohmann::json& op) { return op.is_string(); });
      if (wellFormed) {
        jwk->keyOps_ = ops->get<std::vector<std::string>>();
      }
    }
    if (!wellFormed) {
      return JoseRefusal::BadKey;
    }
  }
  return made;
}

std::vector<std::pair<std::string, std::string>> Jwk::publicMembers() const {
  std::vector<std::pair<std::string, std::string>> members;  // in lexicographic order
  switch (type_) {
    case KeyType::Rsa: {
      const auto n = bnParam(key(), OSSL_PKEY_PARAM_RSA_N);
      const auto e = bnParam(key(), OSSL_PKEY_PARAM_RSA_E);
      members = {{"e", e ? urlText(*e) : ""}, {"kty", "RSA"}, {"n", n ? urlText(*n) : ""}};
      break;
    }
    case KeyType::Ec: {
      const std::size_t size = curveByJwkName(curve_)->size;
      const auto x = bnParam(key(), OSSL_PKEY_PARAM_EC_PUB_X, size);
      const auto y = bnParam(key(), OSSL_PKEY_PARAM_EC_PUB_Y, size);
      members = {{"crv", curve_}, {"kty", "EC"}, {"x", x ? urlText(*x) : ""}, {"y", y ? urlText(*y) : ""}};
      break;
    }
    case KeyType::Okp: {
      SecretBytes x(ed25519Size);
      std::size_t length = x.size();
      EVP_PKEY_get_raw_public_key(key(), x.data(), &length);
      members = {{"crv", curve_}, {"kty", "OKP"}, {"x", urlText(x)}};
      break;
    }
  }
  return members;
}

nlohmann::json Jwk::toJson(bool withPrivate) const {
  nlohmann::json object = nlohmann::json::object();
  for (auto& [name, value] : publicMembers()) {
    object[name] = std::move(value);
  }
  if (withPrivate && private_) {
    auto put = [&](const char* name, const std::optional<SecretBytes>& bytes) {
      if (bytes) {
        object[name] = urlText(*bytes);
      }
    };
    switch (type_) {
      case KeyType::Rsa:
        put("d", bnParam(key(), OSSL_PKEY_PARAM_RSA_D));
        put("p", bnParam(key(), OSSL_PKEY_PARAM_RSA_FACTOR1));
        put("q", bnParam(key(), OSSL_PKEY_PARAM_RSA_FACTOR2));
        put("dp", bnParam(key(), OSSL_PKEY_PARAM_RSA_EXPONENT1));
        put("dq", bnParam(key(), OSSL_PKEY_PARAM_RSA_EXPONENT2));
        put("qi", bnParam(key(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
        break;
      case KeyType::Ec:
        put("d", bnParam(key(), OSSL_PKEY_PARAM_PRIV_KEY, curveByJwkName(curve_)->size));
        break;
      case KeyType::Okp: {
        SecretBytes d(ed25519Size);
        std::size_t length = d.size();
        if (EVP_PKEY_get_raw_private_key(key(), d.data(), &length) == 1) {
          put("d", d);
        }
        break;
      }
    }
  }
  if (kid_) {
    object["kid"] = *kid_;
  }
  if (use_) {
    object["use"] = *use_;
  }
  if (keyOps_) {
    object["key_ops"] = *keyOps_;
  }
  if (alg_) {
    object["alg"] = *alg_;
  }
  return object;
}

std::string Jwk::thumbprint() const {
  // The members are base64url text and fixed names: nothing to escape.
  std::string canonical = "{";
  for (const auto& [name, value] : publicMembers()) {
    canonical.append(canonical.size() > 1 ? ",\"" : "\"")
        .append(name)
        .append("\":\"")
        .append(value)
        .append("\"");
  }
  canonical += "}";
  SecretBytes digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_Digest(canonical.data(), canonical.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  digest.resize(length);
  return urlText(digest);
}

bool Jwk::permits(KeyOperation operation) const {
  if (use_ && *use_ != "sig") {
    return false;
  }
  const std::string_view needed = operation == KeyOperation::Sign ? "sign" : "verify";
  return !keyOps_ || std::find(keyOps_->begin(), keyOps_->end(), needed) != keyOps_->end();
}

}  // namespace tervala::jose
