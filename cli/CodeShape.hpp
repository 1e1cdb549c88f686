#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include <tervala/HmacAlgorithm.hpp>
#include <tervala/OtpAuthUri.hpp>

#include "Commands.hpp"

namespace tervala::cli {

class Arguments;

/// What the code commands read from the options over a key's own parameters: the code's
/// shape, the TOTP period, the time.
struct CodeShape {
  std::int64_t digits = 6;
  HmacAlgorithm algorithm = HmacAlgorithm::SHA1;
};

/// The shape of `key`'s codes with `--digits` and `--algorithm` over it.
std::variant<CodeShape, UsageError> readShape(const Arguments& arguments, const OtpAuthParameters& key);

/// `key`'s period with `--period` over it (fractions allowed, within the generator's bounds).
std::variant<double, UsageError> readPeriod(const Arguments& arguments, const OtpAuthParameters& key);

/// `--time` (seconds since 1970 or ISO 8601), absent when not given.
std::variant<std::optional<double>, UsageError> readTime(const Arguments& arguments);

}  // namespace tervala::cli
