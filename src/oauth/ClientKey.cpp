#include <tervala/ClientKey.hpp>

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <system_error>

#include "oauth/ClientAssertion.hpp"
#include "platform/Base64.hpp"

namespace tervala {
namespace {

using jose::JwsAlgorithm;
using Made = Checked<ClientKey>;

constexpr std::size_t maximumPemBytes = std::size_t{64} * 1024;
constexpr int minimumRsaBits = 2048;

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using BioHandle = std::unique_ptr<BIO, BioFree>;
struct FileClose {
  void operator()(std::FILE* file) const noexcept {
    std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr owns it
  }
};

// OpenSSL asks for a passphrase only for an encrypted key; none is given, and the question is
// remembered so the refusal can say why.
int refusePassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

BioHandle textBio(std::string_view pem) {
  return BioHandle(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

// Why a text holds no usable private key, worded for the one who gave it.
std::string missingKeyReason(std::string_view pem, bool passphraseAsked) {
  if (passphraseAsked) {
    return "the PEM private key is encrypted; give it unencrypted";
  }
  const auto bio = textBio(pem);
  const jose::PkeyHandle publicKey(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (publicKey || pem.find("-----BEGIN CERTIFICATE-----") != std::string_view::npos ||
      pem.find("PUBLIC KEY-----") != std::string_view::npos) {
    return "the PEM text holds a public key or certificate, not the private key";
  }
  return "no PEM private key found";
}

// The algorithm the key signs with, or why it cannot sign client assertions.
std::variant<JwsAlgorithm, std::string> algorithmFor(EVP_PKEY* key, ClientKey::RsaSignature rsa) {
  if (EVP_PKEY_is_a(key, "RSA")) {
    if (EVP_PKEY_get_bits(key) < minimumRsaBits) {
      return "the RSA key has fewer than " + std::to_string(minimumRsaBits) + " bits";
    }
    return rsa == ClientKey::RsaSignature::ps256 ? JwsAlgorithm::PS256 : JwsAlgorithm::RS256;
  }
  if (EVP_PKEY_is_a(key, "EC")) {
    std::array<char, 64> group{};
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group.data(), group.size(),
                                       nullptr) == 1) {
      const std::string_view name(group.data());
      if (name == "prime256v1") {
        return JwsAlgorithm::ES256;
      }
      if (name == "secp384r1") {
        return JwsAlgorithm::ES384;
      }
    }
    return std::string("the EC key's curve is neither P-256 nor P-384");
  }
  if (EVP_PKEY_is_a(key, "ED25519")) {
    return JwsAlgorithm::EdDSA;
  }
  return std::string("the key is neither RSA, EC P-256/P-384 nor Ed25519");
}

}  // namespace

Made ClientKey::fromPem(std::string_view pem, std::optional<std::string> keyId, RsaSignature rsa) {
  if (pem.size() > maximumPemBytes) {
    return Made::refuse("the PEM text is longer than 64 KiB");
  }
  bool passphraseAsked = false;
  const auto bio = textBio(pem);
  jose::PkeyHandle key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, &passphraseAsked)
                           : nullptr);
  ERR_clear_error();  // what OpenSSL noted on the way belongs to no later call
  if (!key) {
    return Made::refuse(missingKeyReason(pem, passphraseAsked));
  }
  const auto algorithm = algorithmFor(key.get(), rsa);
  if (const auto* reason = std::get_if<std::string>(&algorithm)) {
    return Made::refuse(*reason);
  }
  auto jwk = jose::Jwk::fromKey(std::move(key));
  if (!std::holds_alternative<jose::Jwk>(jwk) || !std::get<jose::Jwk>(jwk).hasPrivate()) {
    return Made::refuse("the PEM key is not a usable private key");
  }
  nlohmann::json header{{"alg", jose::nameOf(std::get<JwsAlgorithm>(algorithm))}};
  if (keyId) {
    header["kid"] = *keyId;
  }
  std::string headerText;
  try {
    headerText = header.dump();
  } catch (const nlohmann::json::type_error&) {
    return Made::refuse("the key id is not UTF-8 text");
  }
  const auto encoded = platform::encodeBase64Url(
      {reinterpret_cast<const std::uint8_t*>(headerText.data()), headerText.size()});
  return Made::accept(ClientKeyAccess::make(std::make_shared<const Held>(
      Held{std::get<jose::Jwk>(std::move(jwk)), std::get<JwsAlgorithm>(algorithm), std::move(keyId),
           std::string(encoded.begin(), encoded.end())})));
}

Made ClientKey::fromPemFile(const std::string& path, std::optional<std::string> keyId, RsaSignature rsa) {
  const std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "re"));
  if (!file) {
    return Made::refuse("the key file cannot be read: " + std::generic_category().message(errno));
  }
  std::setvbuf(file.get(), nullptr, _IONBF, 0);  // no copy of the key left in a stdio buffer
  struct stat status {};
  if (::fstat(::fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
    return Made::refuse("the key file is not a regular file");
  }
  platform::SecretText text(maximumPemBytes + 1);
  const std::size_t got = std::fread(text.data(), 1, text.size(), file.get());
  if (std::ferror(file.get()) != 0) {
    return Made::refuse("the key file cannot be read");
  }
  text.resize(got);
  return fromPem(platform::view(text), std::move(keyId), rsa);
}

std::string_view ClientKey::algorithm() const noexcept {
  return jose::nameOf(held_->algorithm);
}

const std::optional<std::string>& ClientKey::keyId() const noexcept {
  return held_->keyId;
}

std::string ClientKey::publicJwk() const {
  auto jwk = held_->key.toJson();
  jwk["alg"] = algorithm();
  jwk["use"] = "sig";
  if (held_->keyId) {
    jwk["kid"] = *held_->keyId;
  }
  return jwk.dump();
}

}  // namespace tervala
