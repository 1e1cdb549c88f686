#include <tervala/SteamGuard.hpp>

#include "otp/OtpCodeText.hpp"

namespace tervala {
std::optional<std::string> SteamGuard::code(const OtpGeneratorContext& generator, std::uint64_t counter) {
  const auto truncated = OtpCodeAccess::truncated(generator, counter);
  if (!truncated) {
    return std::nullopt;
  }
  CodeText text{};
  const std::size_t length = writeSteamCode(*truncated, text);
  return std::string(text.data(), length);
}

std::optional<std::string> SteamGuard::codeAt(const TotpGeneratorContext& generator, double unixTime) {
  const auto counter = generator.counterAt(unixTime);
  return counter ? code(generator, *counter) : std::nullopt;
}

}  // namespace tervala
