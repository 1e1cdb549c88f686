#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include <tervala/Data.hpp>

namespace tervala::test {

/// Aborts the test run, naming `what`, unless `ok`: a test server cannot go on without it.
void requireOrAbort(bool ok, const char* what);

/// A self-signed certificate and its key, made at run time for the loopback servers of the tests.
class TestCertificate {
 public:
  enum class Kind {
    loopback,    ///< valid now, for 127.0.0.1, ::1 and localhost
    wrongHost,   ///< valid now, for another host name only
    clientOnly,  ///< as loopback, but for TLS clients only
  };

  /// Makes a fresh P-256 key and certificate; aborts the test run if OpenSSL fails.
  static TestCertificate make(Kind kind);

  [[nodiscard]] X509* certificate() const noexcept { return certificate_.get(); }
  [[nodiscard]] EVP_PKEY* key() const noexcept { return key_.get(); }
  /// The certificate in DER, as a trust delegate sees it.
  [[nodiscard]] Data der() const;
  /// Writes the certificate in PEM to `path`, as a CA file holds it.
  void writePem(const std::string& path) const;
  /// The certificate and the key in PEM, as a client presenting them holds them.
  [[nodiscard]] std::string certificatePem() const;
  [[nodiscard]] std::string keyPem() const;

 private:
  std::unique_ptr<X509, decltype(&X509_free)> certificate_{X509_new(), X509_free};
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{EVP_EC_gen("P-256"), EVP_PKEY_free};
};

}  // namespace tervala::test
