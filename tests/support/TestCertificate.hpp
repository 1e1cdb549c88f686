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
    expired,     ///< for 127.0.0.1, ::1 and localhost, but expired yesterday
    clientOnly,  ///< valid now, for 127.0.0.1, ::1 and localhost, but for TLS clients only
  };

  /// Makes a fresh P-256 key and certificate; aborts the test run if OpenSSL fails.
  static TestCertificate make(Kind kind);

  [[nodiscard]] X509* certificate() const noexcept { return certificate_.get(); }
  [[nodiscard]] EVP_PKEY* key() const noexcept { return key_.get(); }
  /// The certificate in DER, as a trust delegate sees it.
  [[nodiscard]] Data der() const;
  /// Writes the certificate in PEM to `path`, as a CA file holds it.
  void writePem(const std::string& path) const;

 private:
  struct X509Deleter {
    void operator()(X509* value) const noexcept { X509_free(value); }
  };
  struct KeyDeleter {
    void operator()(EVP_PKEY* value) const noexcept { EVP_PKEY_free(value); }
  };
  std::unique_ptr<X509, X509Deleter> certificate_;
  std::unique_ptr<EVP_PKEY, KeyDeleter> key_;
};

}  // namespace tervala::test
