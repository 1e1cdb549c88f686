#include <tervala/ClientCertificate.hpp>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <system_error>
#include <variant>

#include <tervala/OAuthToken.hpp>
#include <tervala/TokenStatus.hpp>

#include "oauth/CertificateBinding.hpp"
#include "platform/Base64.hpp"

namespace tervala {
namespace {

using Made = Checked<ClientCertificate>;

constexpr std::size_t maximumPemBytes = std::size_t{64} * 1024;

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct FileClose {
  void operator()(std::FILE* file) const noexcept {
    std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr owns it
  }
};

std::unique_ptr<BIO, BioFree> textBio(std::string_view pem) {
  return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

int refusePassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

// A file's text in wiped memory, or why it cannot be read; `what` names the file in the reason.
std::variant<platform::SecretText, std::string> readPemFile(const std::string& path, std::string_view what) {
  const std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "re"));
  if (!file) {
    return std::string(what) + " file cannot be read: " + std::generic_category().message(errno);
  }
  std::setvbuf(file.get(), nullptr, _IONBF, 0);  // no copy of a key left in a stdio buffer
  struct stat status {};
  if (::fstat(::fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::string(what) + " file is not a regular file";
  }
  platform::SecretText text(maximumPemBytes + 1);
  const std::size_t got = std::fread(text.data(), 1, text.size(), file.get());
  if (std::ferror(file.get()) != 0) {
    return std::string(what) + " file cannot be read";
  }
  text.resize(got);
  return text;
}

std::optional<std::string> thumbprintOf(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) {
    return std::nullopt;
  }
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestLength = 0;
  const bool hashed = EVP_Digest(der, static_cast<std::size_t>(length), digest.data(), &digestLength,
                                 EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed) {
    return std::nullopt;
  }
  const auto encoded = platform::encodeBase64Url(std::span(digest.data(), digestLength));
  return std::string(encoded.begin(), encoded.end());
}

// The certificates of `pem` alone, written afresh: a file that holds the key too (one file for
// both is common) must not leave the key in memory that is not wiped.
std::optional<std::string> certificatesOnly(std::string_view pem) {
  const auto in = textBio(pem);
  const std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
  if (!in || !out) {
    return std::nullopt;
  }
  int written = 0;
  while (const std::unique_ptr<X509, X509Free> next{PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)}) {
    if (PEM_write_bio_X509(out.get(), next.get()) != 1) {
      return std::nullopt;
    }
    ++written;
  }
  ERR_clear_error();  // the end of the text, as OpenSSL reports it
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  if (written == 0 || length <= 0) {
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(length));
}

std::string subjectOf(X509* certificate) {
  std::array<char, 256> line{};
  X509_NAME_oneline(X509_get_subject_name(certificate), line.data(), static_cast<int>(line.size()));
  return line.data();
}

}  // namespace

Made ClientCertificate::fromPem(std::string_view certificatePem, std::string_view keyPem) {
  if (certificatePem.size() > maximumPemBytes || keyPem.size() > maximumPemBytes) {
    return Made::refuse("the certificate or key PEM text is longer than 64 KiB");
  }
  const auto certificateBio = textBio(certificatePem);
  const std::unique_ptr<X509, X509Free> certificate(
      certificateBio ? PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (!certificate) {
    return Made::refuse("no PEM certificate found");
  }
  bool passphraseAsked = false;
  const auto keyBio = textBio(keyPem);
  const std::unique_ptr<EVP_PKEY, PkeyFree> key(
      keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, refusePassphrase, &passphraseAsked) : nullptr);
  ERR_clear_error();
  if (!key) {
    return Made::refuse(passphraseAsked ? "the PEM private key is encrypted; give it unencrypted"
                                        : "no PEM private key found");
  }
  if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    ERR_clear_error();
    return Made::refuse("the private key is not the certificate's");
  }
  if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0) {
    return Made::refuse("the certificate has expired");
  }
  if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) >= 0) {
    return Made::refuse("the certificate is not valid yet");
  }
  auto thumbprint = thumbprintOf(certificate.get());
  if (!thumbprint) {
    return Made::refuse("the certificate's thumbprint could not be made");
  }
  auto certificates = certificatesOnly(certificatePem);
  if (!certificates) {
    return Made::refuse("the certificates could not be read");
  }
  auto held = std::make_shared<Held>();
  held->certificatePem = std::move(*certificates);
  held->keyPem = platform::secretText(keyPem);
  held->thumbprint = std::move(*thumbprint);
  held->subject = subjectOf(certificate.get());
  return Made::accept(ClientCertificateAccess::make(std::move(held)));
}

Made ClientCertificate::fromPemFiles(const std::string& certificatePath, const std::string& keyPath) {
  const auto certificate = readPemFile(certificatePath, "the certificate");
  if (const auto* reason = std::get_if<std::string>(&certificate)) {
    return Made::refuse(*reason);
  }
  const auto key = readPemFile(keyPath, "the key");
  if (const auto* reason = std::get_if<std::string>(&key)) {
    return Made::refuse(*reason);
  }
  return fromPem(platform::view(std::get<platform::SecretText>(certificate)),
                 platform::view(std::get<platform::SecretText>(key)));
}

const std::string& ClientCertificate::thumbprint() const noexcept {
  return held_->thumbprint;
}

const std::string& ClientCertificate::subject() const noexcept {
  return held_->subject;
}

std::optional<std::string> ClientCertificate::boundThumbprint(const OAuthToken& token) {
  const auto extras = token.additionalData();
  const auto found = extras.find(std::string(confirmationMember));
  return found == extras.end() ? std::nullopt : thumbprintOfConfirmation(found->second);
}

std::optional<std::string> ClientCertificate::boundThumbprint(const TokenStatus& status) {
  const auto found = status.additionalData.find(std::string(confirmationMember));
  return found == status.additionalData.end() ? std::nullopt : thumbprintOfConfirmation(found->second);
}

std::optional<std::string> thumbprintOfConfirmation(std::string_view confirmationJson) {
  const auto parsed = nlohmann::json::parse(confirmationJson, nullptr, false);
  if (!parsed.is_object()) {
    return std::nullopt;
  }
  const auto found = parsed.find(thumbprintMember);
  if (found == parsed.end() || !found->is_string()) {
    return std::nullopt;
  }
  return found->get<std::string>();
}

std::optional<std::string> bindReplyToCertificate(platform::SecretJson& reply, std::string_view thumbprint) {
  if (!reply.is_object() || reply.contains("error") || !reply.contains("access_token")) {
    return std::nullopt;
  }
  const platform::SecretString member(confirmationMember);
  const platform::SecretString thumbprintName(thumbprintMember);
  const platform::SecretString given(thumbprint);
  auto& confirmation = reply[member];
  if (confirmation.is_null()) {
    confirmation = platform::SecretJson::object();
  }
  if (!confirmation.is_object()) {
    return "the token reply's \"cnf\" is malformed";
  }
  auto& named = confirmation[thumbprintName];
  if (named.is_null()) {
    named = given;
    return std::nullopt;
  }
  if (!named.is_string()) {
    return "the token reply's \"cnf\" is malformed";
  }
  if (named.get_ref<const platform::SecretString&>() != given) {
    return "the token is bound to another certificate than the one presented";
  }
  return std::nullopt;
}

}  // namespace tervala
