#include "codes/CodeShape.hpp"

#include <sstream>
#include <string>

#include <tervala/TotpGeneratorContext.hpp>

#include "codes/TimeText.hpp"
#include "frame/Arguments.hpp"
#include "frame/Input.hpp"
#include "frame/VisibleText.hpp"

namespace tervala::cli {
namespace {

std::string secondsText(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

}  // namespace

std::variant<std::uint64_t, UsageError> readCounter(const Arguments& arguments, std::uint64_t fallback) {
  const auto text = arguments.value("counter");
  if (!text) {
    return fallback;
  }
  const auto counter = parseNumber<std::uint64_t>(*text);
  if (!counter) {
    return UsageError{"counter must be a whole number from 0 to 18446744073709551615, not '" +
                      visible(*text) + "'"};
  }
  return *counter;
}

std::optional<UsageError> steamShapeConflict(const Arguments& arguments, OtpCodeForm form) {
  // Steam codes have one shape; an option that changes it is a mistake, not a wish.
  if (form == OtpCodeForm::steam &&
      (arguments.value("digits") || arguments.value("algorithm") || arguments.value("period"))) {
    return UsageError{"Steam Guard codes take no --digits, --algorithm or --period"};
  }
  return std::nullopt;
}

std::variant<CodeShape, UsageError> readShape(const Arguments& arguments, const OtpAuthParameters& key) {
  // A Steam key's digit count (5) is its form's; its generator makes the decimal default.
  CodeShape shape{key.form == OtpCodeForm::steam ? CodeShape{}.digits : key.digits, key.algorithm};
  if (const auto text = arguments.value("digits")) {
    const auto digits = parseNumber<std::int64_t>(*text);
    if (!digits || (*digits != 6 && *digits != 8)) {
      return UsageError{"digits must be 6 or 8, not '" + visible(*text) + "'"};
    }
    shape.digits = *digits;
  }
  if (const auto text = arguments.value("algorithm")) {
    const auto algorithm = hmacAlgorithmFromName(*text);
    if (!algorithm) {
      return UsageError{"algorithm must be SHA1, SHA256 or SHA512, not '" + visible(*text) + "'"};
    }
    shape.algorithm = *algorithm;
  }
  return shape;
}

std::variant<double, UsageError> readPeriod(const Arguments& arguments, const OtpAuthParameters& key) {
  const auto text = arguments.value("period");
  if (!text) {
    return static_cast<double>(key.period);
  }
  const auto value = parseNumber<double>(*text);
  if (!value || *value < TotpGeneratorContext::minimumPeriod ||
      *value > TotpGeneratorContext::maximumPeriod) {
    return UsageError{"period must be from " + secondsText(TotpGeneratorContext::minimumPeriod) + " to " +
                      secondsText(TotpGeneratorContext::maximumPeriod) + " seconds, not '" + visible(*text) +
                      "'"};
  }
  return *value;
}

std::variant<std::optional<double>, UsageError> readTime(const Arguments& arguments) {
  const auto text = arguments.value("time");
  if (!text) {
    return std::optional<double>{};
  }
  const auto time = parseTime(*text);
  if (!time) {
    return UsageError{
        "time must be seconds since 1970 or an ISO 8601 date and time with its zone "
        "(2026-12-06T12:00:00Z), not '" +
        visible(*text) + "'"};
  }
  return time;
}

}  // namespace tervala::cli
