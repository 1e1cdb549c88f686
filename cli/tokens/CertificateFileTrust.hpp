#pragma once

#include <memory>
#include <string>

#include <tervala/ServerTrustDelegate.hpp>

namespace tervala::cli {

/// A trust delegate that trusts exactly the certificates of one PEM file: a server is accepted
/// when its chain verifies up to one of them (any of them may be the anchor), names the host and
/// is fit for a TLS server (an extended key usage without serverAuth is refused); the system's
/// CAs play no part.
class CertificateFileTrust : public ServerTrustDelegate {
 public:
  /// Reads the PEM certificates of `path`; null when the file cannot be read or holds none.
  static std::shared_ptr<CertificateFileTrust> load(const std::string& path);

  struct Store;
  /// Used by `load`; `Store` cannot be named outside.
  explicit CertificateFileTrust(std::unique_ptr<Store> store);

  CertificateFileTrust(const CertificateFileTrust&) = delete;
  CertificateFileTrust& operator=(const CertificateFileTrust&) = delete;
  CertificateFileTrust(CertificateFileTrust&&) = delete;
  CertificateFileTrust& operator=(CertificateFileTrust&&) = delete;
  ~CertificateFileTrust() override;

  ServerTrustDecision evaluateServerTrust(const std::vector<Data>& chain, std::string_view host,
                                          bool defaultVerdict) override;

 private:
  std::unique_ptr<Store> store_;
};

}  // namespace tervala::cli
