#include <tervala/DeviceAuthorization.hpp>

#include "platform/SecureMemory.hpp"

namespace tervala {

struct DeviceAuthorization::Secret {
  platform::SecretText code;
};

DeviceAuthorization::DeviceAuthorization(std::string_view deviceCode, std::string userCode,
                                         std::string verificationUri,
                                         std::optional<std::string> verificationUriComplete,
                                         std::chrono::seconds expiresIn, std::chrono::seconds interval,
                                         Clock::time_point received)
    : deviceCode_(std::make_shared<const Secret>(Secret{platform::secretText(deviceCode)})),
      userCode_(std::move(userCode)),
      verificationUri_(std::move(verificationUri)),
      verificationUriComplete_(std::move(verificationUriComplete)),
      expiresIn_(expiresIn),
      interval_(interval),
      received_(received) {}

std::string_view DeviceAuthorization::deviceCode() const noexcept {
  return deviceCode_ ? platform::view(deviceCode_->code) : std::string_view();  // empty once moved from
}

}  // namespace tervala
