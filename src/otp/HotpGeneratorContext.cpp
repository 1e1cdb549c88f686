#include <tervala/HotpGeneratorContext.hpp>

#include <limits>

#include "platform/DebugLog.hpp"
#include "platform/HmacKey.hpp"

namespace tervala {
namespace {

constexpr std::string_view className = "Tervala.HotpGeneratorContext";
constexpr std::uint64_t lastCounter = std::numeric_limits<std::uint64_t>::max();

}  // namespace

std::shared_ptr<HotpGeneratorContext> HotpGeneratorContext::make(std::string_view secret, std::int64_t digits,
                                                                 HmacAlgorithm algorithm,
                                                                 std::uint64_t counter) {
  try {
    platform::debugLine(className, "init(secret:digits:algorithm:counter:)");
    auto parts = prepare(secret, digits, algorithm);
    if (!parts) {
      return nullptr;
    }
    return std::make_shared<HotpGeneratorContext>(ConstructionKey{}, std::move(*parts), counter);
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<HotpGeneratorContext> HotpGeneratorContext::make(std::string_view secret,
                                                                 std::uint64_t counter) {
  return make(secret, 6, HmacAlgorithm::SHA1, counter);
}

HotpGeneratorContext::HotpGeneratorContext(ConstructionKey key, Parts parts, std::uint64_t counter) noexcept
    : OtpGeneratorContext(key, std::move(parts)), counter_(counter) {}

std::optional<std::string> HotpGeneratorContext::create() {
  platform::debugLine(className, "create()");
  // Claim a counter value before using it: each value goes to exactly one call. The last value
  // stays in the counter (it cannot step on) and is claimed through its own flag instead.
  std::uint64_t claimed = counter_.load(std::memory_order_relaxed);
  while (claimed != lastCounter) {
    if (counter_.compare_exchange_weak(claimed, claimed + 1, std::memory_order_relaxed)) {
      return OtpGeneratorContext::create(claimed);
    }
  }
  if (lastUsed_.exchange(true, std::memory_order_relaxed)) {
    return std::nullopt;  // spent
  }
  return OtpGeneratorContext::create(lastCounter);
}

}  // namespace tervala
