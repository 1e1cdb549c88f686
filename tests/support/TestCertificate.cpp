#include "TestCertificate.hpp"

#include <functional>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>

namespace tervala::test {

void requireOrAbort(bool ok, const char* what) {
  if (!ok) {
    std::cerr << "test server: " << what << " failed\n";
    std::abort();
  }
}

namespace {

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  const std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value), X509_EXTENSION_free);
  requireOrAbort(extension && X509_add_ext(certificate, extension.get(), -1) == 1, "adding an extension");
}

}  // namespace

TestCertificate TestCertificate::make(Kind kind) {
  TestCertificate made;
  X509* const certificate = made.certificate_.get();
  static std::atomic<long> serial{1};
  constexpr long day = 24L * 3600;
  const bool wrongHost = kind == Kind::wrongHost;
  const auto* const commonName =
      reinterpret_cast<const unsigned char*>(wrongHost ? "wrong.example.invalid" : "Tervala loopback test");
  X509_NAME* const name = certificate ? X509_get_subject_name(certificate) : nullptr;
  requireOrAbort(made.key_ && name && X509_set_version(certificate, X509_VERSION_3) == 1 &&
                     ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++) == 1 &&
                     X509_gmtime_adj(X509_getm_notBefore(certificate), -day) != nullptr &&
                     X509_gmtime_adj(X509_getm_notAfter(certificate), 30 * day) != nullptr &&
                     X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, commonName, -1, -1, 0) == 1 &&
                     X509_set_issuer_name(certificate, name) == 1 &&
                     X509_set_pubkey(certificate, made.key_.get()) == 1,
                 "making the certificate");
  addExtension(certificate, NID_subject_alt_name,
               wrongHost ? "DNS:wrong.example.invalid" : "IP:127.0.0.1,IP:::1,DNS:localhost");
  addExtension(certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate, NID_key_usage, "critical,digitalSignature,keyCertSign");
  addExtension(certificate, NID_subject_key_identifier, "hash");
  if (kind == Kind::clientOnly) {
    addExtension(certificate, NID_ext_key_usage, "clientAuth");
  }
  requireOrAbort(X509_sign(certificate, made.key_.get(), EVP_sha256()) > 0, "X509_sign");
  return made;
}

Data TestCertificate::der() const {
  const int size = i2d_X509(certificate_.get(), nullptr);
  Data out(static_cast<std::size_t>(std::max(size, 0)));
  unsigned char* cursor = out.data();
  requireOrAbort(size > 0 && i2d_X509(certificate_.get(), &cursor) == size, "i2d_X509");
  return out;
}

void TestCertificate::writePem(const std::string& path) const {
  const std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "w"), BIO_free);
  requireOrAbort(file != nullptr && PEM_write_bio_X509(file.get(), certificate_.get()) == 1,
                 "writing the PEM file");
}

namespace {
std::string memoryPem(const std::function<int(BIO*)>& write) {
  const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  requireOrAbort(bio != nullptr && write(bio.get()) == 1, "writing PEM text");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return {data, static_cast<std::size_t>(length)};
}
}  // namespace

std::string TestCertificate::certificatePem() const {
  return memoryPem([this](BIO* bio) { return PEM_write_bio_X509(bio, certificate_.get()); });
}

std::string TestCertificate::keyPem() const {
  return memoryPem([this](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key_.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
}

}  // namespace tervala::test
