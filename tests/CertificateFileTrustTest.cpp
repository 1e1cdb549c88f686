// The --cacert delegate against leaves signed by the trusted CA for various purposes.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <vector>

// The delegate lives in the command-line tool, which has no library of its own. Its helper types
// sit in an unnamed namespace, which GCC flags in an included file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsubobject-linkage"
#include "../cli/CertificateFileTrust.cpp"  // NOLINT(bugprone-suspicious-include)
#pragma GCC diagnostic pop
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using cli::Certificate;

// A certificate for `subject` signed by `issuerKey` (itself when no issuer is given), with the
// given extensions ("name", "value" as openssl's configuration writes them).
Certificate makeCertificate(const std::string& subject, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                            const std::vector<std::pair<int, std::string>>& extensions) {
  Certificate certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), static_cast<long>(subject.size()) + 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
  X509_NAME* const name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(certificate.get(), key);
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : certificate.get(), certificate.get(), nullptr,
                 nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* const extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    EXPECT_NE(extension, nullptr) << value;
    X509_add_ext(certificate.get(), extension, -1);
    X509_EXTENSION_free(extension);
  }
  EXPECT_GT(X509_sign(certificate.get(), issuerKey, EVP_sha256()), 0);
  return certificate;
}

Data derOf(X509* certificate) {
  unsigned char* bytes = nullptr;
  const int size = i2d_X509(certificate, &bytes);
  Data der(bytes, bytes + std::max(size, 0));
  OPENSSL_free(bytes);
  return der;
}

TEST(CertificateFileTrust, LeafMustBeFitForATlsServer) {
  const test::TemporaryFolder folder;
  const Key caKey(EVP_EC_gen("P-256"));
  const Key leafKey(EVP_EC_gen("P-256"));
  const Certificate ca =
      makeCertificate("Test CA", caKey.get(), nullptr, caKey.get(),
                      {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign"}});
  const auto caFile = folder / "ca.pem";
  {
    const std::unique_ptr<std::FILE, cli::FileCloser> out(std::fopen(caFile.c_str(), "w"));
    ASSERT_TRUE(out && PEM_write_X509(out.get(), ca.get()) == 1);
  }
  const auto trust = cli::CertificateFileTrust::load(caFile.string());
  ASSERT_TRUE(trust);

  const std::vector<std::pair<std::string, ServerTrustDecision>> cases = {
      {"", ServerTrustDecision::accept},
      {"serverAuth", ServerTrustDecision::accept},
      {"clientAuth,serverAuth", ServerTrustDecision::accept},
      {"clientAuth", ServerTrustDecision::reject},
      {"codeSigning", ServerTrustDecision::reject},
      {"emailProtection", ServerTrustDecision::reject}};
  for (const auto& [usage, decision] : cases) {
    std::vector<std::pair<int, std::string>> extensions = {{NID_subject_alt_name, "IP:127.0.0.1"}};
    if (!usage.empty()) {
      extensions.emplace_back(NID_ext_key_usage, usage);
    }
    const Certificate leaf = makeCertificate("leaf", leafKey.get(), ca.get(), caKey.get(), extensions);
    EXPECT_EQ(trust->evaluateServerTrust({derOf(leaf.get())}, "127.0.0.1", false), decision) << usage;
  }
}

}  // namespace
}  // namespace tervala
