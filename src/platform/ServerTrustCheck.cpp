#include "platform/ServerTrustCheck.hpp"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <optional>
#include <vector>

#include "platform/CurlLibrary.hpp"

namespace tervala::platform {
namespace {

std::optional<Data> derOf(X509* certificate) {
  const int size = i2d_X509(certificate, nullptr);
  if (size <= 0) {
    return std::nullopt;
  }
  Data der(static_cast<std::size_t>(size));
  unsigned char* out = der.data();
  if (i2d_X509(certificate, &out) != size) {
    return std::nullopt;
  }
  return der;
}

// The chain as the server presented it, leaf first.
std::vector<Data> presentedChain(X509_STORE_CTX* store) {
  std::vector<Data> chain;
  X509* const leaf = X509_STORE_CTX_get0_cert(store);
  if (leaf != nullptr) {
    if (auto der = derOf(leaf)) {
      chain.push_back(std::move(*der));
    }
  }
  STACK_OF(X509)* const untrusted = X509_STORE_CTX_get0_untrusted(store);
  const int count = untrusted != nullptr ? sk_X509_num(untrusted) : 0;
  for (int index = 0; index < count; ++index) {
    X509* const certificate = sk_X509_value(untrusted, index);
    if (certificate == leaf || (leaf != nullptr && X509_cmp(certificate, leaf) == 0)) {
      continue;
    }
    if (auto der = derOf(certificate)) {
      chain.push_back(std::move(*der));
    }
  }
  return chain;
}

bool setExpectedHost(X509_STORE_CTX* store, const std::string& host) {
  X509_VERIFY_PARAM* const param = X509_STORE_CTX_get0_param(store);
  if (param == nullptr) {
    return false;
  }
  // An address is checked against the certificate's IP entries, a name against its DNS entries.
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1) {
    return true;
  }
  return X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
}

// The CA bundle libcurl loads when told nothing else; empty when it was built without one.
std::string builtInCaFile() {
  const curl_version_info_data* const info = libcurl().versionInfo(CURLVERSION_NOW);
  return info != nullptr && info->cainfo != nullptr ? std::string(info->cainfo) : std::string();
}

}  // namespace

ServerTrustCheck::ServerTrustCheck(std::shared_ptr<ServerTrustDelegate> delegate, std::string host)
    : delegate_(std::move(delegate)), host_(std::move(host)) {}

bool ServerTrustCheck::install(CURL* handle, const std::optional<std::string>& givenCaFile) {
  const std::string caFile = givenCaFile.value_or(builtInCaFile());
  // libcurl fails the handshake before the delegate is asked when the CA file it was told to
  // load is missing. The delegate decides here, so a machine without the file gets an empty
  // default store (default verdict: untrusted) instead of an error.
  if (!caFile.empty() && ::access(caFile.c_str(), R_OK) != 0 &&
      libcurl().easySetopt(handle, CURLOPT_CAINFO, nullptr) != CURLE_OK) {
    return false;
  }
  // The host name is checked inside the verify callback, so the delegate can overrule it too;
  // the peer check stays on and follows the callback's verdict.
  return libcurl().easySetopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
         libcurl().easySetopt(handle, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK &&
         libcurl().easySetopt(handle, CURLOPT_SSL_CTX_FUNCTION, &ServerTrustCheck::onSslContext) ==
             CURLE_OK &&
         libcurl().easySetopt(handle, CURLOPT_SSL_CTX_DATA, this) == CURLE_OK;
}

CURLcode ServerTrustCheck::onSslContext(CURL* /*handle*/, void* sslContext, void* self) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), &ServerTrustCheck::verify, self);
  return CURLE_OK;
}

int ServerTrustCheck::verify(X509_STORE_CTX* store, void* self) {
  auto& check = *static_cast<ServerTrustCheck*>(self);
  const bool hostSet = setExpectedHost(store, check.host_);
  const bool defaultVerdict = hostSet && X509_verify_cert(store) == 1;

  ServerTrustDecision decision = ServerTrustDecision::reject;
  try {
    decision = check.delegate_->evaluateServerTrust(presentedChain(store), check.host_, defaultVerdict);
  } catch (...) {
    decision = ServerTrustDecision::reject;  // a delegate that fails trusts nothing
  }

  switch (decision) {
    case ServerTrustDecision::accept:
      // libcurl reads the verification result again after the handshake: clear it as well.
      X509_STORE_CTX_set_error(store, X509_V_OK);
      return 1;
    case ServerTrustDecision::reject:
      check.delegateRejected_ = true;
      X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
      return 0;
    case ServerTrustDecision::performDefaultHandling:
      break;
  }
  if (defaultVerdict) {
    return 1;
  }
  if (X509_STORE_CTX_get_error(store) == X509_V_OK) {
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
  }
  return 0;
}

}  // namespace tervala::platform
