#include "platform/CurlHandles.hpp"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

namespace tervala::platform {

bool ensureCurlGlobalInit() noexcept {
  // Magic static: once, also when the first requests start on several threads together.
  static const bool initialised = [] {
    // OpenSSL must not tear itself down at exit under a request thread that is still in a
    // handshake; this only takes effect when nothing initialised OpenSSL before.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
    return CurlLibrary::get() != nullptr && libcurl().globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }();
  return initialised;
}

}  // namespace tervala::platform
