#include "platform/SecureMemory.hpp"

#include <openssl/crypto.h>

namespace tervala::platform {

void cleanse(void* data, std::size_t size) noexcept {
  OPENSSL_cleanse(data, size);
}

}  // namespace tervala::platform
