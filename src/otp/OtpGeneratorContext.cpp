#include <tervala/OtpGeneratorContext.hpp>

#include <array>

#include <tervala/Text.hpp>

#include "otp/OtpCodeText.hpp"
#include "platform/DebugLog.hpp"
#include "platform/HmacKey.hpp"
#include "platform/SecureMemory.hpp"
#include "text/Base32Secret.hpp"

namespace tervala {
namespace {

constexpr std::string_view className = "Tervala.OtpGeneratorContext";

}  // namespace

std::optional<OtpGeneratorContext::Parts> OtpGeneratorContext::prepare(std::string_view secret,
                                                                       std::int64_t digits,
                                                                       HmacAlgorithm algorithm) {
  platform::debugLine(className, "init(secret:digits:algorithm:)");
  // The decoded secret lives only until its HMAC key is prepared, and is wiped when it goes.
  const auto decoded = decodeBase32(secret);
  if (!decoded) {
    return std::nullopt;
  }
  if (digits != 6 && digits != 8) {
    return std::nullopt;
  }
  if (!hmacAlgorithmFromRawValue(rawValue(algorithm))) {
    return std::nullopt;
  }
  auto key = platform::HmacKey::make(algorithm, *decoded);
  if (!key) {
    return std::nullopt;
  }
  return Parts{std::move(key), digits, algorithm};
}

std::shared_ptr<OtpGeneratorContext> OtpGeneratorContext::make(std::string_view secret, std::int64_t digits,
                                                               HmacAlgorithm algorithm) {
  try {
    auto parts = prepare(secret, digits, algorithm);
    if (!parts) {
      return nullptr;
    }
    return std::make_shared<OtpGeneratorContext>(ConstructionKey{}, std::move(*parts));
  } catch (...) {
    return nullptr;
  }
}

OtpGeneratorContext::OtpGeneratorContext(ConstructionKey /*key*/, Parts parts) noexcept
    : key_(std::move(parts.key)), digits_(parts.digits), algorithm_(parts.algorithm) {}

OtpGeneratorContext::~OtpGeneratorContext() = default;

std::optional<std::string> OtpGeneratorContext::create(std::uint64_t counter) const {
  platform::debugLine(className, "create");
  const auto truncated = truncatedValue(counter);
  if (!truncated) {
    return std::nullopt;  // the hash itself failed; no code rather than a wrong one
  }
  CodeText text{};
  const std::size_t length = writeDecimalCode(*truncated, digits_, text);
  return std::string(text.data(), length);
}

std::optional<std::uint32_t> OtpGeneratorContext::truncatedValue(std::uint64_t counter) const noexcept {
  std::array<std::uint8_t, 8> message{};
  for (std::size_t i = 0; i < message.size(); ++i) {
    message[7 - i] = static_cast<std::uint8_t>(counter >> (8 * i));
  }
  platform::HmacKey::Digest digest;
  const std::size_t length = key_->sign(message, digest);
  if (length == 0) {
    return std::nullopt;
  }
  const std::size_t offset = digest[length - 1] & 0x0Fu;
  const std::uint32_t truncated = (static_cast<std::uint32_t>(digest[offset] & 0x7Fu) << 24) |
                                  (static_cast<std::uint32_t>(digest[offset + 1]) << 16) |
                                  (static_cast<std::uint32_t>(digest[offset + 2]) << 8) |
                                  static_cast<std::uint32_t>(digest[offset + 3]);
  platform::cleanse(digest.data(), digest.size());
  return truncated;
}

}  // namespace tervala
