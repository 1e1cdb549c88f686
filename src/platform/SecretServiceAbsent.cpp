// The keyring calls of a build without libsecret: the API stays, and every call says why it
// cannot work.
#include "platform/SecretServiceCalls.hpp"

namespace tervala::platform::secretService {
namespace {

constexpr std::string_view notBuilt =
    "keyring not available: this build of the library has no Secret Service support";

}  // namespace

bool builtIn() noexcept {
  return false;
}

std::optional<std::string> unreachableReason(std::chrono::milliseconds /*timeout*/) {
  return std::string(notBuilt);
}

std::optional<std::string> store(std::string_view /*application*/, std::string_view /*key*/,
                                 std::string_view /*label*/, const Data& /*value*/,
                                 std::chrono::milliseconds /*timeout*/) {
  return std::string(notBuilt);
}

Lookup lookup(std::string_view /*application*/, std::string_view /*key*/,
              std::chrono::milliseconds /*timeout*/) {
  return {std::nullopt, std::string(notBuilt)};
}

std::optional<std::string> clear(std::string_view /*application*/, std::string_view /*key*/,
                                 std::chrono::milliseconds /*timeout*/) {
  return std::string(notBuilt);
}

}  // namespace tervala::platform::secretService
