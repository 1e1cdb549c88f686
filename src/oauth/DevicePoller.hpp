#pragma once

#include <chrono>
#include <string_view>

#include <tervala/CancelToken.hpp>
#include <tervala/DeviceAuthorization.hpp>
#include <tervala/OAuthContext.hpp>

#include "oauth/EndpointCall.hpp"

namespace tervala {

/// The polling loop of the device flow. Every wait is `secondLength` times the server's seconds:
/// one real second in the library, a millisecond in the tests, which so never wait out the
/// intervals the protocol asks for.
class DevicePoller {
 public:
  explicit DevicePoller(std::chrono::nanoseconds secondLength = std::chrono::seconds(1)) noexcept
      : secondLength_(secondLength) {}

  [[nodiscard]] OAuthContext::Result poll(std::string_view url, std::string_view clientId,
                                          const DeviceAuthorization& authorization, const CancelToken& cancel,
                                          const EndpointSettings& settings) const;

 private:
  std::chrono::nanoseconds secondLength_;
};

}  // namespace tervala
