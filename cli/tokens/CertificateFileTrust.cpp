#include "tokens/CertificateFileTrust.hpp"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace tervala::cli {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    static_cast<void>(std::fclose(file));  // NOLINT(cppcoreguidelines-owning-memory)
  }
};
struct X509Deleter {
  void operator()(X509* value) const noexcept { X509_free(value); }
};
struct StoreDeleter {
  void operator()(X509_STORE* value) const noexcept { X509_STORE_free(value); }
};
struct StoreContextDeleter {
  void operator()(X509_STORE_CTX* value) const noexcept { X509_STORE_CTX_free(value); }
};
struct StackDeleter {
  void operator()(STACK_OF(X509) * value) const noexcept { sk_X509_pop_free(value, X509_free); }
};

using Certificate = std::unique_ptr<X509, X509Deleter>;

Certificate fromDer(const Data& der) {
  const unsigned char* cursor = der.data();
  return Certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
}

}  // namespace

struct CertificateFileTrust::Store {
  std::unique_ptr<X509_STORE, StoreDeleter> anchors{X509_STORE_new()};
};

CertificateFileTrust::CertificateFileTrust(std::unique_ptr<Store> store) : store_(std::move(store)) {}
CertificateFileTrust::~CertificateFileTrust() = default;

std::shared_ptr<CertificateFileTrust> CertificateFileTrust::load(const std::string& path) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return nullptr;
  }
  auto store = std::make_unique<Store>();
  if (!store->anchors) {
    return nullptr;
  }
  int count = 0;
  while (true) {
    const Certificate certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
      break;
    }
    if (X509_STORE_add_cert(store->anchors.get(), certificate.get()) != 1) {
      return nullptr;
    }
    ++count;
  }
  if (count == 0) {
    return nullptr;
  }
  // Every certificate of the file is an anchor of its own, a CA's or a server's.
  if (X509_STORE_set_flags(store->anchors.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1) {
    return nullptr;
  }
  return std::make_shared<CertificateFileTrust>(std::move(store));
}

ServerTrustDecision CertificateFileTrust::evaluateServerTrust(const std::vector<Data>& chain,
                                                              std::string_view host,
                                                              bool /*defaultVerdict*/) {
  if (chain.empty()) {
    return ServerTrustDecision::reject;
  }
  const Certificate leaf = fromDer(chain.front());
  const std::unique_ptr<STACK_OF(X509), StackDeleter> others(sk_X509_new_null());
  if (!leaf || !others) {
    return ServerTrustDecision::reject;
  }
  for (std::size_t index = 1; index < chain.size(); ++index) {
    Certificate certificate = fromDer(chain[index]);
    if (!certificate || sk_X509_push(others.get(), certificate.get()) <= 0) {
      return ServerTrustDecision::reject;
    }
    static_cast<void>(certificate.release());  // now owned by the stack
  }
  const std::unique_ptr<X509_STORE_CTX, StoreContextDeleter> context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), store_->anchors.get(), leaf.get(), others.get()) != 1) {
    return ServerTrustDecision::reject;
  }
  // What curl --cacert checks too: a leaf meant only for clients or code signing is no server.
  if (X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER) != 1) {
    return ServerTrustDecision::reject;
  }
  X509_VERIFY_PARAM* const param = X509_STORE_CTX_get0_param(context.get());
  const std::string name(host);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) != 1 &&
      X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) != 1) {
    return ServerTrustDecision::reject;
  }
  return X509_verify_cert(context.get()) == 1 ? ServerTrustDecision::accept : ServerTrustDecision::reject;
}

}  // namespace tervala::cli
