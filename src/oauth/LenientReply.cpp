#include "oauth/LenientReply.hpp"

#include <charconv>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/DebugLog.hpp"

namespace tervala {
namespace {

constexpr std::string_view className = "Tervala.OAuthResult";

}  // namespace

LenientReply::LenientReply(std::optional<platform::SecretText> sentRefreshToken,
                           std::optional<std::string> requestedScope)
    : sentRefreshToken_(std::move(sentRefreshToken)), requestedScope_(std::move(requestedScope)) {}

const platform::SecretText* LenientReply::keptRefreshToken() const {
  if (!sentRefreshToken_) {
    platform::debugLine(className, "lenient: no refresh_token in the reply; the token has none");
    return nullptr;
  }
  platform::debugLine(className,
                      "lenient: no refresh_token in the reply; keeping the refresh token that was sent");
  return &*sentRefreshToken_;
}

std::optional<std::string> LenientReply::assumedScope() const {
  if (requestedScope_) {
    platform::debugLine(className, "lenient: no scope in the reply; assuming the requested scope");
  } else {
    platform::debugLine(className, "lenient: no scope in the reply and none requested; scope unknown");
  }
  return requestedScope_;
}

std::variant<double, std::string> LenientReply::lifetimeOf(const nlohmann::json& text) {
  const auto& digits = text.get_ref<const std::string&>();
  // Digits only: from_chars alone would let a sign through, and a blank or a fraction means the
  // server sent something this reading does not know.
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::string(R"("expires_in" is a string that is not a whole number of seconds)");
  }
  std::int64_t seconds = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
  if (error != std::errc() || end != digits.data() + digits.size()) {
    return std::string(R"("expires_in" is a string whose number is too large)");
  }
  platform::debugLine(className,
                      "lenient: expires_in is a text; reading it as " + std::to_string(seconds) + " seconds");
  return static_cast<double>(seconds);
}

void LenientReply::assumeUnknownExpiry() {
  platform::debugLine(className, "lenient: no expires_in in the reply; expiry unknown");
}

}  // namespace tervala
