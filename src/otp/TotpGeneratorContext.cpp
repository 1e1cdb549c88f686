#include <tervala/TotpGeneratorContext.hpp>

#include <chrono>
#include <cmath>

#include "platform/DebugLog.hpp"
#include "platform/HmacKey.hpp"

namespace tervala {
namespace {

constexpr std::string_view className = "Tervala.TotpGeneratorContext";
constexpr double twoTo64 = 18446744073709551616.0;
constexpr double twoTo63 = 9223372036854775808.0;

}  // namespace

std::shared_ptr<TotpGeneratorContext> TotpGeneratorContext::make(std::string_view secret, std::int64_t digits,
                                                                 HmacAlgorithm algorithm, double period) {
  try {
    platform::debugLine(className, "init(secret:digits:algorithm:period:)");
    auto parts = prepare(secret, digits, algorithm);
    if (!parts) {
      return nullptr;
    }
    // Written so that NaN, which compares false with everything, is refused too.
    if (!(period >= minimumPeriod && period <= maximumPeriod)) {
      return nullptr;
    }
    return std::make_shared<TotpGeneratorContext>(ConstructionKey{}, std::move(*parts), period);
  } catch (...) {
    return nullptr;
  }
}

TotpGeneratorContext::TotpGeneratorContext(ConstructionKey key, Parts parts, double period) noexcept
    : OtpGeneratorContext(key, std::move(parts)), period_(period) {}

std::optional<std::string> TotpGeneratorContext::create(double unixTime) const {
  platform::debugLine(className, "create");
  const auto counter = counterAt(unixTime);
  if (!counter) {
    return std::nullopt;
  }
  return OtpGeneratorContext::create(*counter);
}

std::optional<std::uint64_t> TotpGeneratorContext::counterAt(double unixTime) const noexcept {
  const double quotient = unixTime / period_;
  // Only a quotient in [0, 2^64) has a counter value; this also refuses NaN and infinities.
  if (!(quotient >= 0.0 && quotient < twoTo64)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(quotient);
}

std::optional<std::string> TotpGeneratorContext::create() const {
  return create(currentUnixTime());
}

std::optional<std::int64_t> TotpGeneratorContext::remainingTime(double period) {
  return remainingTime(period, currentUnixTime());
}

std::optional<std::int64_t> TotpGeneratorContext::remainingTime(double period, double now) {
  platform::debugLine(className, "remainingTime");
  // Periods that do not fit a 64-bit integer have no whole-second count either.
  if (!(period >= 1.0 && period < twoTo63)) {
    return std::nullopt;
  }
  if (!(now >= 0.0 && std::isfinite(now))) {
    return std::nullopt;
  }
  const auto elapsed = static_cast<std::int64_t>(std::fmod(now, period));
  return static_cast<std::int64_t>(period) - elapsed;
}

double TotpGeneratorContext::currentUnixTime() noexcept {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count();
}

}  // namespace tervala
