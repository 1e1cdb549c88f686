#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tervala/export.hpp>

namespace tervala {

/// A started device authorization (RFC 8628 section 3.2): what the user is shown, and the device
/// code the client polls with. The device code is a secret: it is held in memory that is wiped
/// when the last copy of the authorization goes, and never written to debug output.
class TERVALA_EXPORT DeviceAuthorization {
 public:
  using Clock = std::chrono::steady_clock;

  DeviceAuthorization(std::string_view deviceCode, std::string userCode, std::string verificationUri,
                      std::optional<std::string> verificationUriComplete, std::chrono::seconds expiresIn,
                      std::chrono::seconds interval, Clock::time_point received = Clock::now());

  [[nodiscard]] std::string_view deviceCode() const noexcept;
  /// The code the user types at the verification URI; printable text only.
  [[nodiscard]] const std::string& userCode() const noexcept { return userCode_; }
  /// Where the user goes (an http(s) URL).
  [[nodiscard]] const std::string& verificationUri() const noexcept { return verificationUri_; }
  /// The same with the user code in it, for a QR code or a link, when the server gave one.
  [[nodiscard]] const std::optional<std::string>& verificationUriComplete() const noexcept {
    return verificationUriComplete_;
  }
  /// Lifetime of the codes, counted from `received`.
  [[nodiscard]] std::chrono::seconds expiresIn() const noexcept { return expiresIn_; }
  /// The least wait between two polls.
  [[nodiscard]] std::chrono::seconds interval() const noexcept { return interval_; }
  /// When the reply arrived, on the monotonic clock.
  [[nodiscard]] Clock::time_point received() const noexcept { return received_; }

 private:
  struct Secret;
  std::shared_ptr<const Secret> deviceCode_;
  std::string userCode_;
  std::string verificationUri_;
  std::optional<std::string> verificationUriComplete_;
  std::chrono::seconds expiresIn_;
  std::chrono::seconds interval_;
  Clock::time_point received_;
};

}  // namespace tervala
